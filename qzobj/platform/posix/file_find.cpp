// Finding the names of a folder that match a pattern, with their find-data records.
#include "qzobj/platform/find.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/posix/file_attributes.h"
#include "qzobj/platform/posix/fs_support.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

using posix::Fail;

bool SameLetter(WCHAR a, WCHAR b) {
    return text::FoldUpper(a) == text::FoldUpper(b);
}

// Wildcard match with backtracking to the last '*'.
bool MatchWildcards(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || SameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

FILETIME BirthOrWrite(const std::string& native, const struct stat& st) {
    struct statx times {};
    if (statx(AT_FDCWD, native.c_str(), 0, STATX_BTIME, &times) == 0 &&
        (times.stx_mask & STATX_BTIME))
        return FileTimeFromUnix(times.stx_btime.tv_sec, times.stx_btime.tv_nsec);
    return FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

bool Describe(const std::string& native, std::u16string_view name, WIN32_FIND_DATAW& data) {
    struct stat st;
    if (stat(native.c_str(), &st) != 0 && lstat(native.c_str(), &st) != 0) return false;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = posix::AttributesOfPath(native, st, true);
    data.ftCreationTime = BirthOrWrite(native, st);
    data.ftLastAccessTime = FileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
    data.ftLastWriteTime = FileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    const uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    text::Copy(data.cFileName, MAX_PATH, name);
    return true;
}

struct SplitPattern {
    std::u16string folder;  // with its trailing separator; empty for the current folder
    std::u16string name;
};

SplitPattern Split(std::u16string_view pattern) {
    size_t cut = pattern.find_last_of(u"/\\");
    if (cut == std::u16string_view::npos) return {u"", std::u16string(pattern)};
    return {std::u16string(pattern.substr(0, cut + 1)), std::u16string(pattern.substr(cut + 1))};
}

}  // namespace

bool MatchFileName(std::u16string_view pattern, std::u16string_view name) {
    if (MatchWildcards(pattern, name)) return true;
    const bool endsInAnyExtension =
        pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*";
    return endsInAnyExtension && name.find(u'.') == std::u16string_view::npos &&
           MatchWildcards(pattern.substr(0, pattern.size() - 2), name);
}

std::unique_ptr<FileFind> FileFind::First(const WCHAR* pattern, WIN32_FIND_DATAW& data) {
    if (!pattern) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const size_t length = text::BoundedLength(pattern, MAX_PATH);
    if (length >= MAX_PATH) {
        Fail(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    SplitPattern split = Split(std::u16string_view(pattern, length));
    std::string folder = ".";
    if (!split.folder.empty() && !ResolveFilePath(split.folder.c_str(), folder)) return nullptr;
    std::vector<DirectoryEntry> entries;
    if (!IsDirectory(folder) || !ListDirectory(folder, entries)) {
        Fail(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    std::unique_ptr<FileFind> find(new FileFind);
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    std::vector<std::string> names = {".", ".."};
    for (const DirectoryEntry& entry : entries) names.push_back(entry.name);
    for (const std::string& native : names) {
        std::u16string name = text::ToUtf16(native);
        WIN32_FIND_DATAW record;
        if (!split.name.empty() && MatchFileName(split.name, name) &&
            Describe(prefix + native, name, record))
            find->matches_.push_back(record);
    }
    if (find->matches_.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    find->Next(data);
    SetLastError(ERROR_SUCCESS);
    return find;
}

bool FileFind::Next(WIN32_FIND_DATAW& data) {
    if (next_ >= matches_.size()) return Fail(ERROR_NO_MORE_FILES);
    data = matches_[next_++];
    return true;
}

}  // namespace qzo::platform
