// System paths (UTF-16, '/' or '\' separators, names compared without case) mapped onto the
// native file system, whose names are case-sensitive UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "qzobj/types.h"

namespace qzo::platform {

constexpr bool IsSeparator(WCHAR c) { return c == u'/' || c == u'\\'; }
constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Maps a system path to a native one. Both separators are accepted. Each component that exists
// is found first by its exact spelling, then by a case-insensitive scan of its folder; the first
// component that does not exist and everything after it keep the caller's spelling (that is how
// new names are created). Fails with ERROR_INVALID_PARAMETER for a null or empty path and with
// ERROR_FILENAME_EXCED_RANGE for 260 characters or more; a path is never truncated.
bool ResolvePath(const WCHAR* path, std::string& native);
bool ResolvePath(std::u16string_view path, std::string& native);

// The system form of a native path: UTF-16 with '/' separators.
std::u16string FromNativePath(std::string_view native);

}  // namespace qzo::platform
