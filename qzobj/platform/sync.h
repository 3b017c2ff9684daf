// In-process synchronisation with Windows semantics: a recursive mutex that always knows its
// owner, a counting semaphore with a maximum, a manual-reset event, and yielding the processor.
// The objects are plain words; only the sleeping and waking reach the operating system.
#pragma once

#include <atomic>
#include <cstdint>

#include "qzobj/types.h"

namespace qzo::platform {

// The calling thread's ID, the same value GetCurrentThreadId gives, cached per thread. Never 0.
DWORD CurrentThreadId();

// Gives the rest of the time slice to another ready thread (SwitchToThread).
void YieldProcessor();

// A recursive mutual-exclusion lock (a critical section). Enter blocks, TryEnter does not. The
// owner's thread ID is kept on every entry, so any thread may ask who holds it.
//
// Thread safety: every member may be called from any thread. Leave succeeds only for the
// owning thread; another thread's Leave changes nothing and returns false.
class RecursiveMutex {
  public:
    // The spin count of the Windows call is accepted and ignored.
    explicit RecursiveMutex(DWORD spinCount = 0);
    ~RecursiveMutex() = default;
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void Enter();
    bool TryEnter();
    // Leaves one entry of the calling thread; false (and nothing changed) when it is not the owner.
    bool Leave();

    // The holder's thread ID, 0 when free. A snapshot when read by another thread.
    DWORD Owner() const { return owner_.load(std::memory_order_relaxed); }
    bool IsOwnedByCurrentThread() const { return Owner() == CurrentThreadId(); }
    // Entries of the holder not yet left; meaningful to the holder only.
    DWORD RecursionCount() const { return recursion_; }

  private:
    void LockSlow();

    // 0 free, 1 held, 2 held with possible sleepers.
    std::atomic<uint32_t> state_{0};
    std::atomic<DWORD> owner_{0};
    DWORD recursion_ = 0;  // touched only by the owner
};

// A counting semaphore between 0 and a maximum.
//
// Thread safety: every member may be called concurrently from any thread.
class Semaphore {
  public:
    Semaphore(LONG initialCount, LONG maximumCount);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Takes one unit, waiting at most `milliseconds` (INFINITE: no limit; 0: only try).
    // True when a unit was taken, false on time-out.
    bool Wait(DWORD milliseconds);
    bool TryWait();
    // Adds `count` units. Fails (false, nothing changed) when the count is not positive or the
    // total would pass the maximum. The count before the release goes to *previousCount.
    bool Release(LONG count, LONG* previousCount = nullptr);
    LONG Count() const { return count_.load(std::memory_order_relaxed); }

  private:
    std::atomic<int32_t> count_;
    std::atomic<uint32_t> sleepers_{0};
    const int32_t maximum_;
};

// A manual-reset event: once set it stays set, releasing every waiter, until reset.
//
// Thread safety: every member may be called concurrently from any thread.
class ManualResetEvent {
  public:
    explicit ManualResetEvent(bool initiallySet);
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const { return state_.load(std::memory_order_acquire) != 0; }
    // Waits until the event is set, at most `milliseconds` (INFINITE: no limit). True when set.
    bool Wait(DWORD milliseconds);

  private:
    std::atomic<uint32_t> state_;
    std::atomic<uint32_t> sleepers_{0};
};

}  // namespace qzo::platform
