// Files with Windows semantics on system paths: open with access, sharing mode, creation
// disposition and flags; sharing modes that hold between handles and processes; exclusive
// byte-range locks; attributes; times; deletion and moves that respect open handles.
// Every failing call sets the last-error value to the Windows code of the failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qzobj/file_modes.h"
#include "qzobj/types.h"

namespace qzo::platform {

// Views start at multiples of this many bytes, as on Windows.
inline constexpr DWORD kAllocationGranularity = 65536;
// Byte-range locks must end at or below this offset: the bytes above it carry the sharing
// records of open handles.
inline constexpr uint64_t kLockableLimit = uint64_t(1) << 62;

// One open handle of a file.
//
// Sharing: an open checks the access and sharing mode of every other handle of the file, in
// this process or another, and fails with ERROR_SHARING_VIOLATION (32) on a conflict, exactly
// as Windows does. A process that dies releases its handles' sharing records and locks.
// Byte-range locks are exclusive and conflict between any two handles, also two of one
// thread; they bind only other lockers, not other handles' reads and writes (the one Windows
// guarantee this layer does not give).
//
// Thread safety: Read, Write and Seek share the handle's file position, so one thread at a time
// transfers; Lock and Unlock may be called from any thread (the range table has its own
// guard); the remaining members read fixed state or make one system call.
class File {
  public:
    // Opens or creates the file at a system path ('/' or '\' separators, names found without
    // case; a new name is created as spelled). `access` is GENERIC_READ and/or GENERIC_WRITE
    // (0 opens for attributes and times only). A name with a character Windows forbids fails
    // with ERROR_INVALID_NAME, a path of 260 characters or more with
    // ERROR_FILENAME_EXCED_RANGE, a read-only file opened for writing or truncation with
    // ERROR_ACCESS_DENIED (also for the superuser), a folder with ERROR_ACCESS_DENIED. After
    // success the last error is ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS found the
    // file, else 0. Truncating dispositions truncate only after the sharing check passed.
    static std::unique_ptr<File> Open(const WCHAR* path, DWORD access, DWORD share,
                                      DWORD disposition, DWORD flagsAndAttributes);
    // As Open, on a path already resolved with ResolveFilePath (a caller that opens one file
    // repeatedly resolves its name once).
    static std::unique_ptr<File> OpenNative(std::string native, DWORD access, DWORD share,
                                            DWORD disposition, DWORD flagsAndAttributes);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Releases the sharing records and locks and closes the handle; false when the system
    // reported an error (the handle is closed all the same). Further calls do nothing.
    bool Close();

    // Transfers at the handle's position. Reading needs read access, writing write access
    // (ERROR_ACCESS_DENIED otherwise). `done` receives the bytes moved; a short write fails
    // with the reason (ERROR_DISK_FULL, ERROR_FILE_TOO_LARGE, ...), reading at the end moves 0
    // bytes and succeeds.
    bool Read(void* buffer, DWORD bytes, DWORD& done);
    bool Write(const void* buffer, DWORD bytes, DWORD& done);
    // The same at an absolute offset, leaving the handle's position where it was (one system
    // call for a small record instead of a seek and a transfer).
    bool ReadAt(uint64_t offset, void* buffer, DWORD bytes, DWORD& done);
    bool WriteAt(uint64_t offset, const void* buffer, DWORD bytes, DWORD& done);
    // Moves the position (FILE_BEGIN, FILE_CURRENT, FILE_END); a negative result fails with
    // ERROR_NEGATIVE_SEEK. Positions beyond the end are allowed.
    bool Seek(int64_t distance, DWORD method, uint64_t& position);
    // Cuts or extends the file at the position; fails with ERROR_USER_MAPPED_FILE while a
    // mapping of this handle exists.
    bool SetEndOfFile();
    // Writes the system's buffers of the file to the disk.
    bool Flush();
    bool GetSize(uint64_t& size) const;

    // An exclusive lock of [offset, offset + length): ERROR_LOCK_VIOLATION when any other
    // handle holds an overlapping lock or this handle already locks an overlapping range;
    // ERROR_INVALID_PARAMETER for a length of 0 or a range reaching kLockableLimit.
    bool Lock(uint64_t offset, uint64_t length);
    // Releases a range locked by this handle with exactly this offset and length
    // (ERROR_NOT_LOCKED otherwise).
    bool Unlock(uint64_t offset, uint64_t length);

    // Times; null pointers are skipped. The creation time is the birth time where the file
    // system keeps one, else the last-write time. Setting needs write access; a creation time
    // cannot be set and is ignored, as is a time of zero.
    bool GetTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) const;
    bool SetTimes(const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);

    DWORD access() const { return access_; }
    DWORD share() const { return share_; }
    bool canRead() const;
    bool canWrite() const;
    const std::string& nativePath() const { return native_; }

    // Used by mappings of this handle.
    int descriptor() const { return fd_; }
    void AddMapping() { mappings_.fetch_add(1); }
    void RemoveMapping() { mappings_.fetch_sub(1); }
    // Sets the archive attribute the first time this handle changes the file.
    void MarkModified();

  private:
    struct LockedRange {
        uint64_t offset;
        uint64_t length;
    };

    File(int fd, bool writableDescriptor, DWORD access, DWORD share, std::string native);
    // Read/Write at the position (kAtPosition) or at an absolute offset.
    static constexpr uint64_t kAtPosition = ~uint64_t(0);
    bool Transfer(void* in, DWORD bytes, DWORD& done, uint64_t at);
    bool Transfer(const void* out, DWORD bytes, DWORD& done, uint64_t at);

    int fd_;
    bool writableDescriptor_;  // opened read-write: exclusive locks are possible
    DWORD access_;
    DWORD share_;
    std::string native_;
    std::atomic<bool> modified_{false};
    std::atomic<int> mappings_{0};
    std::mutex rangesGuard_;  // guards ranges_
    std::vector<LockedRange> ranges_;
};

// Deletes a file. Fails with ERROR_SHARING_VIOLATION while any handle has it open, with
// ERROR_ACCESS_DENIED when it is read-only or a folder.
bool DeleteFileUnlessOpen(const WCHAR* path);
// Moves or renames a file. Fails with ERROR_SHARING_VIOLATION while any handle has it open and
// with ERROR_ALREADY_EXISTS when the new name exists; names as in File::Open.
bool MoveFileUnlessOpen(const WCHAR* from, const WCHAR* to);
// Copies content, attributes and times through two handles: fails with
// ERROR_SHARING_VIOLATION when a handle denies reading the source or has the target open, with
// ERROR_FILE_EXISTS when `failIfExists` and the target exists, with ERROR_ACCESS_DENIED for a
// read-only target.
bool CopyFileShared(const WCHAR* from, const WCHAR* to, bool failIfExists);

// The attribute word of a file or folder: READONLY, HIDDEN, SYSTEM, ARCHIVE, TEMPORARY as set,
// DIRECTORY for a folder, NORMAL when none is set; INVALID_FILE_ATTRIBUTES on failure.
DWORD GetFileAttributes(const WCHAR* path);
// As GetFileAttributes, on a path already resolved with ResolveFilePath.
DWORD GetNativeFileAttributes(const std::string& native);
// Sets READONLY, HIDDEN, SYSTEM, ARCHIVE and TEMPORARY (other bits are ignored; NORMAL or 0
// clears them). Where the file system keeps no extended attributes only READONLY can be kept,
// and any other bit fails with ERROR_NOT_SUPPORTED.
bool SetFileAttributes(const WCHAR* path, DWORD attributes);

// Bytes the caller may still write on the volume holding `path`.
bool GetDiskFreeSpace(const WCHAR* path, uint64_t& freeBytes);

// The native form of a system path for the file calls above: resolved without case, refused
// with ERROR_INVALID_NAME when a name holds a character Windows forbids.
bool ResolveFilePath(const WCHAR* path, std::string& native);

}  // namespace qzo::platform
