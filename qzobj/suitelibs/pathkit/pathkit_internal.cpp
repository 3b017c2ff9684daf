// Argument checks, path splitting, wildcard matching and the folder walk shared by the pathkit
// functions.
#include "qzobj/suitelibs/pathkit/pathkit_internal.h"

#include <cstring>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"

namespace qzo::pathkit {

using platform::IsSeparator;

BOOL Fail(DWORD error) {
    platform::SetLastError(error);
    return FALSE;
}

WCHAR FoldCase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return WCHAR(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return WCHAR(c - 32);
    if (c == 0xFF) return 0x178;
    return c;
}

size_t RootLength(std::u16string_view path) {
    if (platform::HasDrivePrefix(path)) return path.size() > 2 && IsSeparator(path[2]) ? 3 : 2;
    size_t leading = 0;
    while (leading < path.size() && leading < 2 && IsSeparator(path[leading])) ++leading;
    return leading;
}

SplitPath SplitAtLastSeparator(std::u16string_view path) {
    size_t last = path.find_last_of(u"/\\");
    if (last != std::u16string_view::npos)
        return {std::u16string(path.substr(0, last + 1)), std::u16string(path.substr(last + 1))};
    if (platform::HasDrivePrefix(path))
        return {std::u16string(path.substr(0, 2)), std::u16string(path.substr(2))};
    return {std::u16string(), std::u16string(path)};
}

bool ReadPathArgument(const WCHAR* path, std::u16string& out) {
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    size_t length = text::BoundedLength(path, MAX_PATH);
    if (length >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE);
    out.assign(path, length);
    return true;
}

bool ResolveFolder(std::u16string_view folder, std::string& native) {
    if (folder.empty()) {
        native = ".";
        return true;
    }
    return platform::ResolvePath(folder, native);
}

bool HasWildcards(std::u16string_view name) {
    return name.find_first_of(u"*?") != std::u16string_view::npos;
}

namespace {

bool MatchPlain(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0;
    size_t star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;  // let the last '*' swallow one more character
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace

bool MatchWildcard(std::u16string_view pattern, std::u16string_view name) {
    if (MatchPlain(pattern, name)) return true;
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
        name.find(u'.') == std::u16string_view::npos)
        return MatchPlain(pattern.substr(0, pattern.size() - 2), name);
    return false;
}

bool AttributesSelected(DWORD attributes, DWORD mask) {
    constexpr DWORD kSpecial =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    return (attributes & kSpecial & ~mask) == 0;
}

std::u16string JoinSystem(std::u16string_view folder, std::u16string_view name) {
    std::u16string joined(folder);
    if (!joined.empty() && !IsSeparator(joined.back()) &&
        !(joined.size() == 2 && platform::HasDrivePrefix(joined)))
        joined += u'/';
    joined += name;
    return joined;
}

std::string JoinNative(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder == ".") return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

WalkResult Walker::Run(const std::u16string& systemFolder, const std::string& nativeFolder,
                       const std::u16string& pattern, DWORD mask, bool recursive) {
    pattern_ = pattern;
    mask_ = mask;
    recursive_ = recursive;
    firstError_ = ERROR_SUCCESS;
    WalkResult result = Walk(systemFolder, nativeFolder);
    if (result == WalkResult::Completed && firstError_ != ERROR_SUCCESS) {
        platform::SetLastError(firstError_);
        return WalkResult::Failed;
    }
    return result;
}

WalkResult Walker::Walk(const std::u16string& systemFolder, const std::string& nativeFolder) {
    std::vector<platform::DirectoryEntry> entries;
    if (!platform::ListDirectory(nativeFolder, entries)) return WalkResult::Failed;
    for (auto& listed : entries) {
        WalkEntry entry;
        entry.name = text::ToUtf16(listed.name);
        entry.nativePath = JoinNative(nativeFolder, listed.name);
        entry.systemPath = JoinSystem(systemFolder, entry.name);
        entry.entry = listed;
        if (MatchWildcard(pattern_, entry.name)) {
            bool described = platform::GetFileStatus(entry.nativePath, entry.status, true) ||
                             platform::GetFileStatus(entry.nativePath, entry.status, false);
            if (described && AttributesSelected(entry.status.attributes, mask_) && !Visit(entry))
                return WalkResult::Stopped;
        }
        if (recursive_ && listed.isDirectory && !listed.isSymlink) {
            WalkResult nested = Walk(entry.systemPath + u'/', entry.nativePath);
            if (nested == WalkResult::Stopped) return nested;
            if (nested == WalkResult::Failed && firstError_ == ERROR_SUCCESS)
                firstError_ = platform::GetLastError();
        }
    }
    return WalkResult::Completed;
}

bool OpenPattern(const WCHAR* pattern, PatternScope& scope) {
    std::u16string text;
    if (!ReadPathArgument(pattern, text)) return false;
    if (text.empty()) return Fail(ERROR_INVALID_PARAMETER);
    SplitPath split = SplitAtLastSeparator(text);
    scope.systemFolder = std::move(split.folder);
    scope.namePattern = split.name.empty() ? u"*" : std::move(split.name);
    return ResolveFolder(scope.systemFolder, scope.nativeFolder);
}

void FillFindData(const WalkEntry& entry, WIN32_FIND_DATAW& data) {
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = entry.status.attributes;
    data.ftCreationTime = entry.status.creation;
    data.ftLastAccessTime = entry.status.lastAccess;
    data.ftLastWriteTime = entry.status.lastWrite;
    data.nFileSizeHigh = static_cast<DWORD>(entry.status.size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(entry.status.size & 0xFFFFFFFFu);
    text::Copy(data.cFileName, MAX_PATH, entry.name);
}

}  // namespace qzo::pathkit
