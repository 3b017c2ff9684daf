// File-system services on native paths (already resolved with ResolvePath): status, folders,
// listing, whole-file reads and atomic replacement, times, and an inter-process lock file.
// Every failing call sets the last-error value: a missing name gives ERROR_FILE_NOT_FOUND, or
// ERROR_PATH_NOT_FOUND when a folder above it is missing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qzobj/types.h"

namespace qzo::platform {

// FILETIME (100 ns units since 1601-01-01 UTC) and Unix time (seconds and nanoseconds since
// 1970-01-01 UTC). Every 100 ns step survives the round trip; times before 1601 become 0.
inline constexpr int64_t kFileTimeUnixEpoch = 116444736000000000;  // 1970-01-01 as FILETIME
FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
void UnixFromFileTime(const FILETIME& time, int64_t& seconds, int64_t& nanoseconds);
inline uint64_t FileTimeValue(const FILETIME& time) {
    return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}
inline FILETIME MakeFileTime(uint64_t value) {
    return FILETIME{DWORD(value & 0xFFFFFFFFu), DWORD(value >> 32)};
}
// The calendar fields of a time in the local time zone; false when it cannot be represented.
bool FileTimeToLocalTime(const FILETIME& time, SYSTEMTIME& local);

struct FileStatus {
    bool isDirectory = false;
    bool isSymlink = false;  // the path itself is a symbolic link (lstat)
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    FILETIME lastWrite{};
    FILETIME lastAccess{};
    FILETIME creation{};  // the birth time where the file system keeps one, else lastWrite
    // FILE_ATTRIBUTE_* bits: the stored word (READONLY, HIDDEN, SYSTEM, ARCHIVE, TEMPORARY; see
    // file.h), DIRECTORY for a folder, READONLY also when the owner may not write, NORMAL when
    // none.
    DWORD attributes = 0;
};

// Status of the object the path names; `followLinks` false describes a link itself.
bool GetFileStatus(const std::string& native, FileStatus& status, bool followLinks = true);
bool PathExists(const std::string& native);   // true for a dangling link as well
bool IsDirectory(const std::string& native);  // follows links

struct DirectoryEntry {
    std::string name;          // native spelling
    bool isDirectory = false;  // the entry reaches a folder (a link to a folder counts)
    bool isSymlink = false;    // the entry itself is a symbolic link
};
// Entries of a folder without "." and "..", sorted by name without case (then exactly).
bool ListDirectory(const std::string& native, std::vector<DirectoryEntry>& entries);

bool CreateDirectory(const std::string& native);    // one level; fails with 183 when it exists
bool CreateDirectories(const std::string& native);  // every missing level; true when it exists
bool RemoveDirectory(const std::string& native);    // empty folders only
// Files and links, never folders; fails with ERROR_SHARING_VIOLATION while a handle of
// File (file.h) has the file open.
bool DeleteFile(const std::string& native);
// Deletes a folder and everything in it without ever following a link: a link inside is
// removed and its target spared; a link or file given itself is just deleted. Folders the
// owner may not write are made writable first, as their content goes anyway. Goes on past
// failures and reports the first.
bool RemoveTree(const std::string& native);
// Fails with 183 when `to` exists, and with ERROR_SHARING_VIOLATION while a handle of File
// (file.h) has the file open.
bool MoveFile(const std::string& from, const std::string& to);
// Copies content, permission bits and times; fails with 80 when `failIfExists` and `to` exists,
// and with 32 when both name the same file.
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists);
// Creates at `to` a link with the same target text as the link `from` (replacing a file or
// link at `to`).
bool CopySymlink(const std::string& from, const std::string& to);
bool CreateEmptyFile(const std::string& native);  // keeps an existing file as it is

bool ReadWholeFile(const std::string& native, std::string& bytes);
// Replaces the file's content through a temporary file in the same folder and a rename, so
// readers see either the old or the new bytes, never a mix. The permission bits of an existing
// file are kept; a read-only file is refused with ERROR_ACCESS_DENIED. A link is written
// through to the file it names.
bool ReplaceFileContent(const std::string& native, const std::string& bytes);

// File times; a null time leaves that time as it is.
bool SetFileTimes(const std::string& native, const FILETIME* lastAccess, const FILETIME* lastWrite);
FILETIME CurrentFileTime();

// An exclusive lock between threads and processes, held on a separate lock file (created when
// missing and left in place). Released when the object is destroyed or when its holder dies.
// Two FileLock objects on one file exclude each other whether they live in one thread, two
// threads or two processes. One object belongs to one thread at a time; it has no internal
// state to guard.
class FileLock {
  public:
    // Blocks until the lock is held; `held()` is false when the lock file cannot be opened or
    // locked (the last-error value says why).
    explicit FileLock(const std::string& lockPath);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return descriptor_ >= 0; }

  private:
    int descriptor_ = -1;
};

}  // namespace qzo::platform
