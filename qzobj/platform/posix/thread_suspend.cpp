// Suspending, resuming and terminating threads. Linux cannot stop one thread from outside, so
// a real-time signal makes the thread stop itself: its handler parks it on a futex until the
// suspend count falls to 0, and parks it for good once it is terminated. The caller of
// SuspendThread or TerminateThread waits for the parked thread's answer, so on return the
// thread runs no more of its own code. A terminated thread is never unwound: its stack and any
// locks it holds stay taken, as when a Windows thread is terminated.
#include <errno.h>
#include <signal.h>

#include <cstdint>
#include <mutex>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/thread_internal.h"
#include "qzobj/platform/system.h"

namespace qzo::platform {

using thread_detail::FutexWait;
using thread_detail::FutexWakeAll;
using thread_detail::Phase;
using thread_detail::ThreadObject;

namespace thread_detail {
namespace {

thread_local ThreadObject* t_currentThread = nullptr;

// How long a controller waits for a thread to answer the signal. A thread answers within
// microseconds unless it blocked the signal itself; then the request is withdrawn.
constexpr DWORD kAnswerTimeout = 5000;
constexpr uint32_t kMaximumSuspendCount = 127;
constexpr DWORD kErrorSignalRefused = 156;  // the suspend count is at its maximum

void Answer(ThreadObject& self) {
    self.suspendAck.store(self.suspendRequest.load());
    FutexWakeAll(self.suspendAck);
}

void SuspendSignalHandler(int) {
    const int savedErrno = errno;
    ThreadObject* self = t_currentThread;
    if (self != nullptr) ParkWhileSuspended(*self);
    errno = savedErrno;
}

// Waits until the thread answered `request`. False after kAnswerTimeout.
bool WaitForAnswer(ThreadObject& thread, uint32_t request) {
    const DWORD start = GetTickCount();
    for (;;) {
        const uint32_t answered = thread.suspendAck.load();
        if (int32_t(answered - request) >= 0) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= kAnswerTimeout) return false;
        FutexWait(thread.suspendAck, answered, kAnswerTimeout - elapsed);
    }
}

// Asks a running thread to park and waits for its answer. `control` is held.
bool SignalAndWait(ThreadObject& thread) {
    const uint32_t request = thread.suspendRequest.fetch_add(1) + 1;
    const int error = pthread_kill(thread.pthread, SuspendSignal());
    // A thread parked already answers when it wakes and finds the new request.
    thread.Nudge();
    return error == 0 && WaitForAnswer(thread, request);
}

[[noreturn]] void ParkForever(ThreadObject& self) {
    for (;;) FutexWait(self.terminated, 1, INFINITE);
}

std::shared_ptr<ThreadObject> ReferenceThread(KernelHandle handle) {
    return std::static_pointer_cast<ThreadObject>(ReferenceWaitable(handle, WaitableKind::Thread));
}

}  // namespace

int SuspendSignal() {
    return SIGRTMIN + 5;
}

void InstallSuspendHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = &SuspendSignalHandler;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(SuspendSignal(), &action, nullptr);
    });
}

ThreadObject* CurrentThreadObject() {
    return t_currentThread;
}

void SetCurrentThreadObject(ThreadObject* self) {
    t_currentThread = self;
}

void ParkWhileSuspended(ThreadObject& self) {
    for (;;) {
        const uint32_t sequence = self.wakeSequence.load();
        if (self.terminated.load() != 0) {
            Answer(self);
            ParkForever(self);
        }
        if (self.suspendCount.load() == 0) return;
        Answer(self);
        FutexWait(self.wakeSequence, sequence, INFINITE);
    }
}

bool TerminateThreadObject(ThreadObject& thread, DWORD exitCode) {
    std::unique_lock<std::mutex> lock(thread.control);
    if (thread.phase == Phase::Ended) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    const bool atGate = thread.phase == Phase::AtGate;
    thread.terminated.store(1);
    thread.phase = Phase::Ended;
    if (atGate) {
        thread.Nudge();  // the gate sees the flag and ends the thread
    } else if (&thread == t_currentThread) {
        lock.unlock();
        thread.MarkEnded(exitCode);
        ParkForever(thread);
    } else {
        SignalAndWait(thread);
    }
    lock.unlock();
    thread.MarkEnded(exitCode);
    return true;
}

}  // namespace thread_detail

DWORD SuspendThread(KernelHandle thread) {
    const std::shared_ptr<ThreadObject> object = thread_detail::ReferenceThread(thread);
    if (!object) return kSuspendFailed;
    std::unique_lock<std::mutex> lock(object->control);
    if (object->phase == Phase::Ended) {
        SetLastError(ERROR_ACCESS_DENIED);
        return kSuspendFailed;
    }
    const uint32_t previous = object->suspendCount.load();
    if (previous >= thread_detail::kMaximumSuspendCount) {
        SetLastError(thread_detail::kErrorSignalRefused);
        return kSuspendFailed;
    }
    object->suspendCount.store(previous + 1);
    if (object->phase == Phase::AtGate || previous > 0) return previous;
    if (object.get() == thread_detail::t_currentThread) {
        lock.unlock();
        thread_detail::ParkWhileSuspended(*object);
        return previous;
    }
    if (!thread_detail::SignalAndWait(*object)) {
        // The thread blocks the signal: withdraw, so that a late delivery finds nothing to do.
        object->suspendCount.store(previous);
        SetLastError(ERROR_GEN_FAILURE);
        return kSuspendFailed;
    }
    return previous;
}

DWORD ResumeThread(KernelHandle thread) {
    const std::shared_ptr<ThreadObject> object = thread_detail::ReferenceThread(thread);
    if (!object) return kSuspendFailed;
    std::lock_guard<std::mutex> lock(object->control);
    if (object->phase == Phase::Ended) {
        SetLastError(ERROR_ACCESS_DENIED);
        return kSuspendFailed;
    }
    const uint32_t previous = object->suspendCount.load();
    if (previous > 0) {
        object->suspendCount.store(previous - 1);
        if (previous == 1) object->Nudge();
    }
    return previous;
}

bool TerminateThread(KernelHandle thread, DWORD exitCode) {
    const std::shared_ptr<ThreadObject> object = thread_detail::ReferenceThread(thread);
    return object && thread_detail::TerminateThreadObject(*object, exitCode);
}

}  // namespace qzo::platform
