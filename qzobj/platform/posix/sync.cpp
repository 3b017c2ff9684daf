// The in-process synchronisation objects on Linux futexes: each object is a 32-bit word that
// threads change with atomic operations; only a thread that has to sleep enters the kernel.
#include "qzobj/platform/sync.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "qzobj/platform/system.h"

namespace qzo::platform {

namespace {

// An absolute point on CLOCK_MONOTONIC, or none for an infinite wait. Deadlines keep a wait
// that is interrupted or woken early from growing longer than asked.
class Deadline {
  public:
    explicit Deadline(DWORD milliseconds) : infinite_(milliseconds == INFINITE) {
        if (infinite_) return;
        clock_gettime(CLOCK_MONOTONIC, &at_);
        at_.tv_sec += milliseconds / 1000;
        at_.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (at_.tv_nsec >= 1000000000L) {
            at_.tv_sec += 1;
            at_.tv_nsec -= 1000000000L;
        }
    }
    bool Passed() const {
        if (infinite_) return false;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return now.tv_sec > at_.tv_sec || (now.tv_sec == at_.tv_sec && now.tv_nsec >= at_.tv_nsec);
    }
    const timespec* Absolute() const { return infinite_ ? nullptr : &at_; }

  private:
    bool infinite_;
    timespec at_{};
};

// Sleeps while *word == expected, until woken or the deadline passes. Spurious returns (EINTR,
// EAGAIN, early wake-ups) are fine: every caller re-checks its condition in a loop.
void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const Deadline& deadline) {
    // FUTEX_WAIT_BITSET takes an absolute time-out on CLOCK_MONOTONIC.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
            expected, deadline.Absolute(), nullptr, FUTEX_BITSET_MATCH_ANY);
}

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
    static const Deadline infinite(INFINITE);
    FutexWait(word, expected, infinite);
}

void FutexWake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count,
            nullptr, nullptr, 0);
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  sizeof(std::atomic<int32_t>) == sizeof(uint32_t),
              "futex words are plain 32-bit words");

// Static TLS: the ID is read on every lock entry, so it must not cost a library call.
[[gnu::tls_model("initial-exec")]] thread_local DWORD t_threadId = 0;

inline DWORD CachedThreadId() {
    DWORD id = t_threadId;
    if (id == 0) t_threadId = id = GetCurrentThreadId();
    return id;
}

}  // namespace

DWORD CurrentThreadId() {
    return CachedThreadId();
}

void YieldProcessor() {
    sched_yield();
}

// ---- RecursiveMutex --------------------------------------------------------------------------

RecursiveMutex::RecursiveMutex(DWORD /*spinCount*/) {}

void RecursiveMutex::Enter() {
    const DWORD self = CachedThreadId();
    // Only this thread ever stores its own ID, so a relaxed read cannot mistake another holder.
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++recursion_;
        return;
    }
    uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed))
        LockSlow();
    owner_.store(self, std::memory_order_relaxed);
    recursion_ = 1;
}

// A short spin catches holders that leave at once; then sleep with the word marked contended
// so that the leaving thread knows to wake someone.
void RecursiveMutex::LockSlow() {
    for (int spin = 0; spin < 100; ++spin) {
        uint32_t expected = 0;
        if (state_.load(std::memory_order_relaxed) == 0 &&
            state_.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return;
        __builtin_ia32_pause();
    }
    while (state_.exchange(2, std::memory_order_acquire) != 0) FutexWait(&state_, 2);
}

bool RecursiveMutex::TryEnter() {
    const DWORD self = CachedThreadId();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++recursion_;
        return true;
    }
    uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed))
        return false;
    owner_.store(self, std::memory_order_relaxed);
    recursion_ = 1;
    return true;
}

bool RecursiveMutex::Leave() {
    if (owner_.load(std::memory_order_relaxed) != CachedThreadId()) return false;
    if (--recursion_ != 0) return true;
    owner_.store(0, std::memory_order_relaxed);
    if (state_.exchange(0, std::memory_order_release) == 2) FutexWake(&state_, 1);
    return true;
}

// ---- Semaphore -------------------------------------------------------------------------------

Semaphore::Semaphore(LONG initialCount, LONG maximumCount)
    : count_(initialCount < 0 ? 0 : initialCount), maximum_(maximumCount) {}

bool Semaphore::TryWait() {
    int32_t count = count_.load(std::memory_order_relaxed);
    while (count > 0)
        if (count_.compare_exchange_weak(count, count - 1, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            return true;
    return false;
}

bool Semaphore::Wait(DWORD milliseconds) {
    if (TryWait()) return true;
    if (milliseconds == 0) return false;
    const Deadline deadline(milliseconds);
    // A sleeper registers before its last look at the count; a releaser adds to the count
    // before it looks for sleepers. One of the two always sees the other.
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    bool taken = false;
    for (;;) {
        if ((taken = TryWait())) break;
        if (deadline.Passed()) break;
        FutexWait(reinterpret_cast<std::atomic<uint32_t>*>(&count_), 0, deadline);
    }
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
    return taken;
}

bool Semaphore::Release(LONG count, LONG* previousCount) {
    if (count <= 0) return false;
    int32_t current = count_.load(std::memory_order_relaxed);
    do {
        if (static_cast<int64_t>(current) + count > maximum_) return false;
    } while (!count_.compare_exchange_weak(current, current + count, std::memory_order_seq_cst,
                                           std::memory_order_relaxed));
    if (previousCount) *previousCount = current;
    if (sleepers_.load(std::memory_order_seq_cst) != 0)
        FutexWake(reinterpret_cast<std::atomic<uint32_t>*>(&count_), count);
    return true;
}

// ---- ManualResetEvent ------------------------------------------------------------------------

ManualResetEvent::ManualResetEvent(bool initiallySet) : state_(initiallySet ? 1 : 0) {}

void ManualResetEvent::Set() {
    if (state_.exchange(1, std::memory_order_seq_cst) == 0 &&
        sleepers_.load(std::memory_order_seq_cst) != 0)
        FutexWake(&state_, INT_MAX);
}

void ManualResetEvent::Reset() {
    state_.store(0, std::memory_order_seq_cst);
}

bool ManualResetEvent::Wait(DWORD milliseconds) {
    if (IsSet()) return true;
    if (milliseconds == 0) return false;
    const Deadline deadline(milliseconds);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    bool set = false;
    for (;;) {
        if ((set = IsSet())) break;
        if (deadline.Passed()) break;
        FutexWait(&state_, 0, deadline);
    }
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
    return set;
}

}  // namespace qzo::platform
