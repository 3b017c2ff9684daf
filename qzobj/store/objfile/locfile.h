// LocFile: the library's own handle on one object file, shared by the locators of a process,
// with a header lock that holds between threads and processes, the access-info trailer of a
// live writer, chunk mode with a write limit, and timing of every file operation.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "qzobj/os.h"
#include "qzobj/perf.h"
#include "qzobj/store.h"
#include "qzobj/store/objfile/locfile_format.h"
#include "qzobj/store/objfile/object_file_format.h"

namespace qzo::platform {
class File;
}

namespace qzo::store {
class LocFileStream;
}

// An open object file. Made by Open, freed by the Close that brings the open count to 0, and
// allocated from "LocFileHeap".
//
// The header lock: Lock enters the object's critical section without waiting (another thread
// holding it fails the call with ERROR_LOCK_VIOLATION, 33, so the caller's timed retry decides
// how long to wait) and takes the operating system's byte-range lock without waiting (another
// handle, in this process or another, holding an overlapping range fails with 33 too). A
// successful Lock keeps the section until its Unlock; the same holder locking an overlapping
// range again gets 33.
//
// The writer's trailer: the first Lock of a handle opened for writing writes a tagACCESSINFO at
// the end of the file (replacing a stale one) and locks one byte just past it. That byte lock
// is the "live writer" marker other handles probe; it goes when this object closes or its
// process dies. Readers' Lock reads the trailer and keeps it only while its marker is held.
// Writing the trailer and cutting it off at Close both put the last-write time back.
//
// Thread safety: AddRef, Close, Lock and Unlock may be called from any thread; the open and
// lock counts are atomic. Everything else (reads, writes, seeks, chunk mode, times, the cached
// layout) is used between Lock and Unlock by the thread holding the lock, which the critical
// section makes exclusive within the process.
class LocFile {
  public:
    // Bits of the access words.
    static constexpr DWORD kRead = 0x80000000u;
    static constexpr DWORD kWrite = 0x40000000u;
    static constexpr DWORD kEdit = 0x20000000u;
    static constexpr DWORD kNoPosition = 0xFFFFFFFFu;
    static constexpr DWORD kHistoryIndexSize = qzo::store::object_file_format::kIndexSize;

    // Opens the file for reading and, when `access` has bit 30, writing, with the share mode,
    // creation disposition (1 to 5) and flags given. Null on failure with the system's error
    // left in place (callers test it for ERROR_SHARING_VIOLATION).
    static LocFile* Open(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                         DWORD flags);
    // As Open with OPEN_EXISTING, on a path already resolved with ResolveFilePath.
    static LocFile* OpenExisting(const std::string& native, DWORD access, DWORD share, DWORD flags);

    void AddRef();
    // Lowers the open count; the last Close also strips the trailer this object wrote (even
    // after its access was lowered), closes the handle and frees the object. Locks still held by
    // the calling thread are released (reported as a programming error); a lock held by another
    // thread is waited for. TRUE.
    BOOL Close();

    // Raw transfers and seeks at the file pointer; refused in chunk mode (error 6).
    DWORD Write(const void* data, DWORD count);
    DWORD Read(void* data, DWORD count);
    DWORD SetFilePtr(LONG distance, DWORD method);
    DWORD GetFilePtr() const;
    // Writes the own trailer at the pointer and cuts the file after it.
    BOOL SetEOF();
    // Writes the system's buffers to the disk and forgets the cached last-write time.
    BOOL Flush();

    BOOL Lock(DWORD offset, DWORD length);
    BOOL Unlock(DWORD offset, DWORD length);

    DWORD GetAccess() const { return m_dwCurrentAccess; }
    // Sets the current access to mode & 0xE0000000; edit (bit 29) needs a handle opened for
    // writing and adds read. FALSE when none of the three bits is set.
    BOOL SetAccess(DWORD mode);

    // The record of another process's live writer found by the first Lock (TRUE), or FALSE.
    BOOL GetAccessInfo(tagACCESSINFO& info) const;
    // Reads a record at the file pointer; TRUE when all 168 bytes came and carry the magic.
    BOOL ReadAccessInfo(tagACCESSINFO* info);

    // Makes the last-write time strictly later than before.
    BOOL TouchLastWrite();
    // Sets the last-access and last-write times to now (write access only).
    BOOL SetFileTimeNow();
    // The last-write time, cached until the next write, touch or flush.
    BOOL GetLastWriteTime(FILETIME* time);
    // Sets the last-write time on the open handle and forgets the cached one.
    bool WriteLastWrite(const FILETIME& lastWrite);
    DWORD GetAttributes();
    BOOL IsModified() const { return m_bModified ? TRUE : FALSE; }

    // A limit for chunk writes: nothing is written at or past `position`. Both return TRUE.
    BOOL SetWriteLimit(DWORD position);
    BOOL ClearWriteLimit();

    unsigned Chnk_Open(const char* name, DWORD dwDesiredAccess);
    BOOL Chnk_Close(unsigned layer);
    DWORD Chnk_GetSize(unsigned layer);
    DWORD Chnk_Write(const void* data, DWORD count);
    DWORD Chnk_Read(void* data, DWORD count);

    DWORD GetOpenCount() const { return m_uOpenCnt.load(std::memory_order_relaxed); }
    DWORD GetLockCount() const { return m_uLockCnt.load(std::memory_order_relaxed); }
    bool IsChunkMode() const { return m_Layers.dwLayerCnt != 0; }

    // The object file's layout as the locator last read it.
    DWORD m_dwHistoryOffset = 0;
    DWORD m_dwNTOffset = 0;
    DWORD m_dwVersionOffset = 0;
    DWORD m_dwDataOffset = 0;
    DWORD m_dwDataEnd = 0;
    BYTE m_HistoryIndex[kHistoryIndexSize] = {};

    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;

  private:
    friend class qzo::store::LocFileStream;

    LocFile(std::unique_ptr<qzo::platform::File> file, DWORD access);
    ~LocFile();
    LocFile(const LocFile&) = delete;
    LocFile& operator=(const LocFile&) = delete;

    bool IsOpen() const { return m_hFile != nullptr; }
    // A number that names the handle in messages.
    DWORD HandleNumber() const;
    void Destroy();
    void ReleaseHeldLocks();

    // The raw forms used by the public ones and by chunk mode.
    DWORD RawWrite(const void* data, DWORD count);
    DWORD RawRead(void* data, DWORD count);
    DWORD RawSeek(LONGLONG distance, DWORD method);
    bool FileSize(ULONGLONG& size) const;

    // The trailer.
    void LoadTrailer(DWORD offset, DWORD length);
    void JudgeTrailerWriter(DWORD offset, DWORD length, ULONGLONG size);
    bool WriteAccessInfo();
    void ReleaseMarker();
    void StripOwnTrailer();
    // Owns an opened file; null (the file closed, ERROR_NOT_ENOUGH_MEMORY) when no LocFile can
    // be allocated.
    static LocFile* Wrap(std::unique_ptr<qzo::platform::File> file, DWORD access);
    bool ReadTimes(FILETIME* lastAccess, FILETIME* lastWrite);

    bool ChunkOpenAllowed(DWORD desired) const;
    bool HeaderFitsLimit(DWORD position) const;
    bool ChunkDirectionOpen(DWORD direction);

    std::unique_ptr<qzo::platform::File> m_hFile;  // null once closed
    std::atomic<DWORD> m_uOpenCnt{1};
    std::atomic<DWORD> m_uLockCnt{0};
    DWORD m_dwFileAccess;     // what the handle permits: bits 31, 30, 29 of a write open
    DWORD m_dwCurrentAccess;  // the access the owner works with now
    tagCHNKLAYERS m_Layers{};
    DWORD m_dwWriteLimit = 0;  // 0: none
    bool m_bModified = false;
    DWORD m_dwMarkerOffset = kNoPosition;  // the live-writer byte this object holds
    bool m_bWroteTrailer = false;          // Close strips the trailer only then
    DWORD m_dwFilePtr = 0;                 // the handle's position, kept in step with it
    FILETIME m_ftLastWrite{};              // 0: not cached
    tagACCESSINFO m_AccessInfo;
    COSCriticalSection m_cs;
};

// The chunk archive an object stores itself through: forwards to a LocFile it does not own.
class LocFileArchive : public CQZArchive {
  public:
    explicit LocFileArchive(LocFile* file) : m_pFile(file) {}
    ~LocFileArchive() override = default;

    unsigned Chnk_Open(const char* name, DWORD dwDesiredAccess) override;
    BOOL Chnk_Close(unsigned layer) override;
    DWORD Chnk_GetSize(unsigned layer) override;
    DWORD Chnk_Write(const void* data, DWORD count) override;
    DWORD Chnk_Read(void* data, DWORD count) override;

  private:
    LocFile* m_pFile;
};

namespace qzo::store {

// The eleven process-wide file counters, in their report order.
enum class LocFileCounter {
    kCreate,
    kOpenRW,
    kOpenR,
    kWrite,
    kRead,
    kClose,
    kFilePtr,
    kAccessInfo,
    kLock,
    kLastWrite,
    kAttributes,
    kCount
};

CBasePerfItem& LocFileCounterItem(LocFileCounter counter);
const char* LocFileCounterName(LocFileCounter counter);
// Library attach: makes the counters. Detach: prints their report (debug output on).
bool AttachLocFileCounters();
void ReportLocFileCounters();

// Times one operation under a counter from construction to destruction.
class LocFileTimer {
  public:
    explicit LocFileTimer(LocFileCounter counter)
        : counter_(counter), start_(CBasePerfItem::GetCount()) {}
    ~LocFileTimer() { LocFileCounterItem(counter_).Lapse(start_); }
    LocFileTimer(const LocFileTimer&) = delete;
    LocFileTimer& operator=(const LocFileTimer&) = delete;

  private:
    LocFileCounter counter_;
    ULONGLONG start_;
};

}  // namespace qzo::store
