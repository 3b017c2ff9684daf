// System paths (UTF-16, '/' or '\' separators, names compared without case) mapped onto the
// native file system, whose names are case-sensitive UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "qzobj/types.h"

namespace qzo::platform {

constexpr bool IsSeparator(WCHAR c) {
    return c == u'/' || c == u'\\';
}
constexpr bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// True for a path that starts with a drive ("C:"), which has no meaning on this platform.
constexpr bool HasDrivePrefix(std::u16string_view path) {
    return path.size() >= 2 && path[1] == u':' &&
           ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
}

// Maps a system path to a native one. Both separators are accepted and runs of them count as
// one; a relative path stays relative (the current directory). Each component that exists is
// found first by its exact spelling, then by a case-insensitive scan of its folder (the
// byte-wise smallest of several candidates wins); the first component that does not exist and
// everything after it keep the caller's spelling (that is how new names are created). A
// trailing separator is kept. Fails with ERROR_INVALID_PARAMETER for a null or empty path,
// with ERROR_FILENAME_EXCED_RANGE for 260 characters or more (a path is never truncated), with
// ERROR_INVALID_NAME for an embedded terminator and with ERROR_PATH_NOT_FOUND for a drive
// prefix. Success says nothing about whether the path exists.
bool ResolvePath(const WCHAR* path, std::string& native);
bool ResolvePath(std::u16string_view path, std::string& native);

// The native path of `name` inside the native folder `folder`: an entry whose name equals
// `name` without case when one exists, else `name` as given.
std::string ResolveNameInFolder(const std::string& folder, std::string_view name);

// The system form of a native path: UTF-16 with '/' separators.
std::u16string FromNativePath(std::string_view native);

}  // namespace qzo::platform
