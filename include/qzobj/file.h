// CQZFile: the library's file object. A named file opened with explicit access, sharing and
// creation modes; read and written with an optional write-behind cache; locked by byte ranges
// with a count that catches unbalanced unlocks; mapped into memory; moved, copied, renamed,
// deleted and time-stamped. Every failure is a return value; nothing throws.
#pragma once

#include "qzobj/file_modes.h"
#include "qzobj/locks.h"
#include "qzobj/types.h"

// Files are limited to 32-bit sizes and offsets: larger files open, GetSize saturates at
// 0xFFFFFFFF, and transfers and seeks that would pass 0xFFFFFFFF are refused, never wrapped.
//
// Thread safety: the thread lock serialises Open, Close, Delete, the name changes and the
// mapping calls (and is what ThreadLockAccess takes). Reads, writes, seeks and locks are not
// serialised: one thread at a time uses an object for transfers.
class QZOBJ_API CQZFile {
  public:
    // Status values.
    static constexpr DWORD kStatusClosed = 0xFFFFFFFFu;
    static constexpr DWORD kStatusOpen = 0;
    static constexpr DWORD kStatusMapped = 1;
    static constexpr DWORD kStatusShort = 2;  // a transfer was short or failed
    // Open results.
    static constexpr UINT kOpened = 0;
    static constexpr UINT kAlreadyOpen = 1;
    static constexpr UINT kOpenFailed = 2;
    static constexpr UINT kNameUnreadable = 3;
    static constexpr UINT kNoName = 4;
    static constexpr UINT kSharingViolation = 5;
    // State flags.
    static constexpr DWORD kKeepOpen = 0x1;     // opened before mapping: unmapping keeps it open
    static constexpr DWORD kNameRefused = 0x2;  // the name given was 260 characters or more

    CQZFile();
    // Copies the name; a name of 260 characters or more is refused (Open then fails with 2).
    explicit CQZFile(const WCHAR* name);
    virtual ~CQZFile();
    CQZFile(const CQZFile&) = delete;
    CQZFile& operator=(const CQZFile&) = delete;

    // 0 opened, 1 already open (nothing changed), 2 could not be opened or created (also a name
    // of 260 characters or more: last error ERROR_FILENAME_EXCED_RANGE), 3 the name could not be
    // read (the stored name is then empty), 4 no name, 5 sharing violation. create-always and
    // open-always create missing folders. A cache is used only without sharing and with write
    // access.
    UINT Open(const WCHAR* name, DWORD access, DWORD share, DWORD creation, DWORD flags,
              DWORD cacheSize = 0);
    UINT Open(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD cacheSize = 0);
    // Non-zero when everything closed cleanly, 1 when already closed; 0 when the cache could not
    // be written or the system reported a failure (everything is closed all the same).
    BOOL Close();

    DWORD GetAccess() const { return m_dwAccess; }
    DWORD GetStatus() const { return m_dwStatus; }
    const WCHAR* GetFilename() const { return m_szName; }
    DWORD GetSize();
    DWORD GetFilePtr() const;

    BOOL SetFilePtr(LONG distance, DWORD method);
    DWORD Read(void* buffer, DWORD bytes);
    DWORD Write(const void* buffer, DWORD bytes);
    BOOL FlushCache();
    // Cuts or extends the file at `position` (flushing the cache, moving the pointer there);
    // returns 0.
    BOOL SetEOF(DWORD position);

    // A byte count of 0 means the whole file (its current size).
    BOOL FileLock(DWORD offset, DWORD bytes);
    BOOL WaitFileLock(DWORD offset, DWORD bytes, DWORD timeoutMs);
    BOOL FileUnlock(DWORD offset, DWORD bytes);

    BOOL Delete();
    BOOL Name(const WCHAR* newName);
    BOOL Move(const WCHAR* newPath);
    BOOL Copy(const WCHAR* destination, BOOL failIfExists);
    BOOL Rename(const WCHAR* newFileName);

    // The address of `offset` inside the view, or null.
    void* MapFile(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD protect,
                  DWORD offset, DWORD size, const WCHAR* mappingName, DWORD viewAccess,
                  DWORD options);
    void* MapFileR(DWORD size, DWORD offset, DWORD options);
    void* MapFileRW(BOOL create, DWORD size, DWORD offset, DWORD options);
    void* RemapFile(DWORD size, DWORD offset, DWORD options);
    BOOL UnmapFile();
    BOOL FlushView(void* address, DWORD bytes);
    void* GetViewAddress() const;
    DWORD GetViewOffset() const;
    DWORD GetViewSize() const;

    BOOL GetTime(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
    // The creation time cannot be set on this platform and is ignored.
    BOOL SetTime(const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
    // Sets the last-write time of the named file to now; a null or empty name touches this file.
    BOOL Touch(const WCHAR* name = nullptr);

    BOOL TransferFrom(CQZFile& other);
    int ThreadLockAccess();
    void ThreadUnlockAccess();

    static DWORD GetFreeDiskSpace(const WCHAR* rootPath);
    static BOOL WasModifiedSince(const WCHAR* path, const FILETIME* time);
    static BOOL TouchFile(const WCHAR* path);

  private:
    struct WholeFileLocks;

    UINT OpenLocked(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD cacheSize);
    bool StoreName(const WCHAR* name, UINT& failure);
    bool IsOpen() const;
    bool CanWrite() const;
    bool CanRead() const;
    bool WriteCachedBytes();
    bool FlushSystemBuffers();
    bool SeekTo(DWORD position);
    DWORD WriteDirect(const void* buffer, DWORD bytes);
    BOOL LockRange(DWORD offset, DWORD bytes, bool report);
    void ReleaseCache();
    void ResetState();
    bool CloseHandles();
    void* MapLocked(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD protect,
                    DWORD offset, DWORD size, const WCHAR* mappingName, DWORD viewAccess,
                    DWORD options);
    void* MapOpenFile(DWORD protect, DWORD offset, DWORD size, const WCHAR* mappingName,
                      DWORD viewAccess, DWORD options);
    void UnmapLocked();

    HANDLE m_hFile;            // the platform file; INVALID_HANDLE_VALUE while closed
    HANDLE m_hMapping;         // the platform mapping; null when none
    DWORD m_dwViewOffset;      // file offset of the view's first byte
    DWORD m_dwViewSize;        // bytes in the view
    void* m_pView;             // null when nothing is mapped
    DWORD m_dwSize;            // cached file size
    DWORD m_dwAccess;          // as opened
    DWORD m_dwShare;           // as opened
    DWORD m_dwFlags;           // kKeepOpen, kNameRefused
    WCHAR m_szName[MAX_PATH];  // the file's name
    DWORD m_dwStatus;          // kStatus*
    DWORD m_dwFilePtr;         // the object's file pointer
    DWORD m_dwCreation;        // creation disposition as opened
    DWORD m_dwFlagsAndAttributes;
    DWORD m_dwViewAccess;   // access of the mapped view
    BYTE* m_pCache;         // write cache, null when uncached
    DWORD m_dwCacheSize;    // its capacity
    DWORD m_dwCacheOffset;  // file offset of its first byte
    DWORD m_dwCacheFill;    // bytes in it; the pointer is always offset + fill
    DWORD m_uLockCnt;       // byte-range locks taken and not released
    COSCriticalSection m_csThread;
    WholeFileLocks* m_pWholeLocks;  // lengths of the locks taken with a byte count of 0
};
