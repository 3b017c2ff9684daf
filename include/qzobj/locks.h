// The library's locks: critical sections with contention reports, their scope lock, the
// reference-counted shared critical section, and the recursive reader-writer interlock with its
// scope locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "qzobj/types.h"

namespace qzo::platform {
class Semaphore;
class ManualResetEvent;
}  // namespace qzo::platform

// Room for the operating-system critical section inside the library's lock objects (the size
// of the Windows structure). The platform layer constructs its lock in place.
struct OS_CRITICAL_SECTION {
    alignas(8) unsigned char bytes[40];
};

// A recursive critical section that counts its entries and remembers its holder and the code
// address of the holding's first entry. While debug output is on, a thread that finds the
// section held by another prints who blocks it and, once in, how long it waited (channel 3,
// level 5). A Leave without a matching Enter is reported and changes nothing.
//
// Thread safety: Enter, TryEnter and Leave may be called from any thread; the section itself
// serialises the holders. The count, owner and entry address are changed only by the holding
// thread and are relaxed atomics because waiting threads read them for their reports. Init and
// the destructor must not race with any other call.
class QZOBJ_API COSCriticalSection {
  public:
    // Initialises the section unless `noInitialise` is non-zero; then Init must be called
    // before use (an uninitialised section still behaves as a free one).
    explicit COSCriticalSection(BOOL noInitialise = FALSE);
    // Initialises with a spin count; pass a DWORD (4000u), an int literal selects the above.
    explicit COSCriticalSection(DWORD spinCount);
    ~COSCriticalSection();
    COSCriticalSection(const COSCriticalSection&) = delete;
    COSCriticalSection& operator=(const COSCriticalSection&) = delete;

    void Init();
    // Enters, waiting as long as it takes. `callerAddress` names the entering code in
    // contention reports; null uses the address Enter returns to.
    void Enter(void* callerAddress = nullptr);
    // Non-zero when entered without waiting.
    BOOL TryEnter();
    void Leave();

    // Entries not yet left, the holder's thread ID and the code address of the holding's first
    // entry (snapshots when read by a thread that does not hold the section).
    DWORD GetLockCount() const { return m_uLockCnt.load(std::memory_order_relaxed); }
    DWORD GetOwner() const { return m_dwOwner.load(std::memory_order_relaxed); }
    void* GetEntryAddress() const { return m_pEntryAddress.load(std::memory_order_relaxed); }
    // True when the calling thread holds the section.
    bool IsOwnedByCurrentThread() const;

    // Sections made with new come from the "CSHeap" heap; new yields null when it is exhausted.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* block) noexcept;
    static void* operator new(size_t, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}

  private:
    void EnterReporting(void* callerAddress);
    void RecordEntry(void* callerAddress);

    OS_CRITICAL_SECTION m_cs;
    std::atomic<DWORD> m_dwOwner{0};              // thread ID of the holder
    std::atomic<DWORD> m_uLockCnt{0};             // entries not yet left
    std::atomic<void*> m_pEntryAddress{nullptr};  // caller address of the holding's first Enter
};

// Holds a critical section for the lifetime of a scope. The entry is tagged with the code
// address that constructed the lock. Not shared between threads.
class QZOBJ_API COSAutoLock {
  public:
    // A null section holds nothing.
    explicit COSAutoLock(COSCriticalSection* section);
    explicit COSAutoLock(COSCriticalSection& section);
    ~COSAutoLock();
    COSAutoLock(const COSAutoLock&) = delete;
    COSAutoLock& operator=(const COSAutoLock&) = delete;

  private:
    COSCriticalSection* m_pCS;
};

// A critical section with a reference count, shared by several holders (memory blocks that
// share one data block). Made only by Create, allocated from "CSHeap"; the last Destroy frees it.
//
// Thread safety: Lock and Destroy may be called concurrently from any thread; the count is
// changed atomically, so a holder on one thread may drop its reference while another adds one.
class QZOBJ_API CSharedCriticalSection : public COSCriticalSection {
  public:
    // A new section with reference count 1, or null when it cannot be allocated.
    static CSharedCriticalSection* Create();
    // Adds a reference; returns 1.
    int Lock();
    // Drops a reference; the last one destroys and frees the section. A count of 0 does nothing.
    void Destroy();
    DWORD GetRefCount() const { return m_uRefCnt.load(std::memory_order_relaxed); }

  private:
    CSharedCriticalSection() = default;
    ~CSharedCriticalSection() = default;

    std::atomic<DWORD> m_uRefCnt{1};
};

// A recursive reader-writer lock for up to 32 reading threads at a time. A reading thread may
// read again (also while a writer waits), and may ask to write: it becomes the writer once
// every other reader has left or waits to write as well, and keeps its read lock afterwards.
// The writing thread may write and read again. New readers wait while a writer waits.
//
// Thread safety: all four members may be called from any thread. The reader counts, the slots
// and the waiting-writer count are guarded by the internal guard; the write recursion counts and
// the writer ID are touched only by the writing thread. Fields read by other threads are relaxed
// atomics. No thread waits while it holds the guard. The destructor must not race.
class QZOBJ_API COSRWInterlock {
  public:
    static constexpr int kMaxReaders = 32;
    // Marks the read recursion count of a reader that waits to become the writer.
    static constexpr DWORD kUpgradeMark = 0x80000000u;

    COSRWInterlock();
    ~COSRWInterlock();
    COSRWInterlock(const COSRWInterlock&) = delete;
    COSRWInterlock& operator=(const COSRWInterlock&) = delete;

    void EnterRead();
    void LeaveRead();
    void EnterWrite();
    void LeaveWrite();

    // Snapshots for diagnostics and tests.
    DWORD GetWriteCount() const { return uWrite.load(std::memory_order_relaxed); }
    DWORD GetReadCount() const { return uRead.load(std::memory_order_relaxed); }
    DWORD GetWriter() const { return m_dwWriter.load(std::memory_order_relaxed); }
    DWORD GetWaitingWriters() const { return m_uWaitingWriters.load(std::memory_order_relaxed); }
    // Read entries of the calling thread (0 when not registered), without the upgrade mark.
    DWORD GetThreadReadCount() const;

  private:
    using Counter = std::atomic<DWORD>;

    class Guard;
    bool TakeWriteAtOnce(DWORD self);
    void UpgradeToWrite(DWORD self);
    void WaitForWriteToken(DWORD self);
    bool ReadFromFreeLock(DWORD self);
    bool ReadFromHeldLock(DWORD self);
    bool JoinReaders(DWORD self);
    void RegisterRead(DWORD self);
    int FindSlot(DWORD thread) const;
    bool OtherUnmarkedReader(DWORD self) const;
    void ReleaseUpgrade(DWORD self);
    void SetWritersDoneIfNoneWait();

    OS_CRITICAL_SECTION m_csGuard;                            // guards the counters and slots below
    std::unique_ptr<qzo::platform::Semaphore> m_hWriteToken;  // 1 of 1: the writer or the readers
    std::unique_ptr<qzo::platform::Semaphore> m_hUpgradeToken;  // 1 of 1: a reader asking to write
    std::unique_ptr<qzo::platform::Semaphore> m_hReaderSlots;   // 32 of 32: registered readers
    std::unique_ptr<qzo::platform::ManualResetEvent> m_hWritersDone;  // set when no writer waits
    Counter uWrite{0};              // write recursion of the writer
    Counter uRead{0};               // read entries of all threads
    Counter m_uWaitingWriters{0};   // writers waiting; an upgraded reader counts until LeaveWrite
    Counter WriteReadRecursion{0};  // read entries made by the writer
    Counter m_dwWriter{0};          // thread ID of the writer, 0 when none
    Counter OwningThreadRead[kMaxReaders] = {};  // reading threads, 0 = free slot
    // Read entries per slot; kUpgradeMark is added while the slot's thread waits to write.
    Counter m_uReadRecursion[kMaxReaders] = {};
};

// Hold an interlock for reading or for writing for the lifetime of a scope.
class QZOBJ_API COSRWRAutoLock {
  public:
    explicit COSRWRAutoLock(COSRWInterlock* interlock);
    explicit COSRWRAutoLock(COSRWInterlock& interlock) : COSRWRAutoLock(&interlock) {}
    ~COSRWRAutoLock();
    COSRWRAutoLock(const COSRWRAutoLock&) = delete;
    COSRWRAutoLock& operator=(const COSRWRAutoLock&) = delete;

  private:
    COSRWInterlock* m_pInterlock;
};

class QZOBJ_API COSRWWAutoLock {
  public:
    explicit COSRWWAutoLock(COSRWInterlock* interlock);
    explicit COSRWWAutoLock(COSRWInterlock& interlock) : COSRWWAutoLock(&interlock) {}
    ~COSRWWAutoLock();
    COSRWWAutoLock(const COSRWWAutoLock&) = delete;
    COSRWWAutoLock& operator=(const COSRWWAutoLock&) = delete;

  private:
    COSRWInterlock* m_pInterlock;
};
