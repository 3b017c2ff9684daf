// File-system services on native paths (already resolved with ResolvePath): status, folders,
// listing, whole-file reads and atomic replacement, times, and an inter-process lock file.
// Every failing call sets the last-error value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qzobj/types.h"

namespace qzo::platform {

struct FileStatus {
    bool isDirectory = false;
    bool isSymlink = false;  // the path itself is a symbolic link (lstat)
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    FILETIME lastWrite{};
    FILETIME lastAccess{};
    FILETIME creation{};  // the status-change time: the closest the platform has
    DWORD attributes = 0;  // FILE_ATTRIBUTE_* bits
};

// Status of the object the path names; `followLinks` false describes a link itself.
bool GetFileStatus(const std::string& native, FileStatus& status, bool followLinks = true);
bool PathExists(const std::string& native);
bool IsDirectory(const std::string& native);

struct DirectoryEntry {
    std::string name;  // native spelling
    bool isDirectory = false;
    bool isSymlink = false;
};
// Entries of a folder without "." and "..", sorted by name without case (then exactly).
bool ListDirectory(const std::string& native, std::vector<DirectoryEntry>& entries);

bool CreateDirectory(const std::string& native);  // one level; fails with 183 when it exists
bool CreateDirectories(const std::string& native);  // every missing level
bool RemoveDirectory(const std::string& native);  // empty folders only
bool DeleteFile(const std::string& native);  // files and links, never folders
bool MoveFile(const std::string& from, const std::string& to);  // fails with 183 when `to` exists
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists);
bool CreateEmptyFile(const std::string& native);  // keeps an existing file as it is

bool ReadWholeFile(const std::string& native, std::string& bytes);
// Replaces the file's content through a temporary file in the same folder and a rename, so
// readers see either the old or the new bytes, never a mix.
bool ReplaceFileContent(const std::string& native, const std::string& bytes);

// File times; a null time leaves that time as it is.
bool SetFileTimes(const std::string& native, const FILETIME* lastAccess, const FILETIME* lastWrite);
FILETIME CurrentFileTime();

// An exclusive lock between threads and processes, held on a separate lock file (created when
// missing and left in place). Released when the object is destroyed or when its holder dies.
class FileLock {
public:
    // Blocks until the lock is held; `held()` is false when the lock file cannot be opened.
    explicit FileLock(const std::string& lockPath);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

}  // namespace qzo::platform
