// What the thread sources share: the thread object behind a thread handle, the futex helpers
// and the suspend signal.
#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/thread.h"

namespace qzo::platform::thread_detail {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex words are plain words");

// Sleeps while *word == expected, at most `milliseconds` (INFINITE: no limit). Returns early on
// a wake, a change of the word or a signal; callers re-check their condition in a loop. Safe to
// call from a signal handler.
inline void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, DWORD milliseconds) {
    timespec limit{};
    timespec* timeout = nullptr;
    if (milliseconds != INFINITE) {
        limit.tv_sec = milliseconds / 1000;
        limit.tv_nsec = long(milliseconds % 1000) * 1000000L;
        timeout = &limit;
    }
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, timeout,
            nullptr, 0);
}

inline void FutexWakeAll(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
            nullptr, 0);
}

enum class Phase : uint8_t {
    AtGate,   // created; waits for its suspend count to reach 0 before it runs the function
    Running,  // past the gate: suspending takes the signal
    Ended,    // returned or terminated; the handle is signalled
};

// One thread. The handle table and the thread itself each hold a reference, so either may go
// first; a terminated thread keeps its reference for good.
//
// Thread safety: `control` serialises the controlling calls (suspend, resume, terminate,
// priority) and the thread's own passage through its gate and its end; `phase` and
// `priority` are guarded by it. `ended` is guarded by the wait lock. The futex words
// (wakeSequence, suspendCount, suspendRequest, suspendAck, terminated, tid) are atomics because the
// parked thread reads them inside its signal handler, where no lock may be taken.
class ThreadObject final : public Waitable {
  public:
    ThreadObject() : Waitable(WaitableKind::Thread) {}

    bool IsSignalled() const override { return ended; }

    // Records the exit code and signals the handle. Call once, without `control` held or with
    // it held (the wait lock is taken inside and never around `control`).
    void MarkEnded(DWORD exitCode);

    ThreadStartRoutine start = nullptr;
    void* parameter = nullptr;
    pthread_t pthread{};

    std::mutex control;
    Phase phase = Phase::AtGate;
    int priority = 0;  // the Windows priority asked for

    // Advanced (then woken) after every change a waiting thread must see: a resumption, a new
    // suspension request, a termination. Waiters read it before they look at the state, so no
    // wake-up is lost between looking and sleeping.
    std::atomic<uint32_t> wakeSequence{0};
    std::atomic<uint32_t> suspendCount{0};
    std::atomic<uint32_t> suspendRequest{0};  // numbers each suspension that needs the signal
    std::atomic<uint32_t> suspendAck{0};      // the request the parked thread has answered
    std::atomic<uint32_t> terminated{0};      // 1: never run again
    std::atomic<uint32_t> tid{0};             // published by the thread as it starts
    std::atomic<DWORD> exitCode{kStillActive};

    bool ended = false;  // the handle's signal; wait lock

    void Nudge() {
        wakeSequence.fetch_add(1);
        FutexWakeAll(wakeSequence);
    }
};

// The real-time signal that suspends threads. Installed once, before the first thread starts.
int SuspendSignal();
void InstallSuspendHandler();
// The thread object of the calling thread, null for threads the library did not create.
ThreadObject* CurrentThreadObject();
void SetCurrentThreadObject(ThreadObject* self);
// Parks the calling thread (its own object) while its suspend count is above 0, and for good
// once it is terminated. Answers each suspension request before it sleeps.
void ParkWhileSuspended(ThreadObject& self);
// Ends a thread for good: one at its gate ends there, a running one is parked in the signal
// handler. Signals the handle with `exitCode`. False (last error 5) when it has ended.
bool TerminateThreadObject(ThreadObject& thread, DWORD exitCode);
// The thread's system ID, waiting the moment it takes a new thread to publish it.
DWORD WaitForThreadId(ThreadObject& thread);

}  // namespace qzo::platform::thread_detail
