// Waits on kernel objects: one process-wide wait mutex, a condition variable per waiting
// thread, and signals handed to waiters by the thread that signals.
//
// Windows decides a wait at the moment an object becomes signalled: an auto-reset event wakes
// exactly one waiter, a pulse reaches exactly the threads waiting at that instant, and a wait
// for all takes every signal in one step. Condition variables alone cannot give this (a woken
// thread may find the signal taken, and a pulse may be reset before anyone runs), so the
// signalling thread satisfies each waiter itself, under the wait mutex, and records the result
// in the waiter; the waiter's condition variable only tells it to look. Between any two holdings
// of the mutex no registered waiter is satisfiable, because every change to signalled calls
// ReleaseWaiters.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <new>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/kernel_objects_internal.h"

namespace qzo::platform {

// One thread's wait in progress; lives on the waiting thread's stack and is registered with
// each of its objects. `done` and `result` are written by whoever satisfies the wait, under the
// wait mutex.
struct KernelWaiter {
    Waitable* const* objects;
    DWORD count;
    bool waitAll;
    bool done = false;
    DWORD result = kWaitTimeout;
    pthread_cond_t wake{};  // initialised for the wait's sleep only (WakeCondition)
};

// The operations on a waitable's waiter list, which only the wait engine touches.
struct WaitEngine {
    // Takes the signals that satisfy `waiter` if they are all there; true when satisfied.
    static bool TrySatisfy(KernelWaiter& waiter) {
        return waiter.waitAll ? TakeAll(waiter) : TakeFirst(waiter);
    }

    static void Register(KernelWaiter& waiter) {
        for (DWORD i = 0; i < waiter.count; ++i) waiter.objects[i]->waiters_.push_back(&waiter);
    }

    // Removes every registration, keeping the others' order.
    static void Unregister(KernelWaiter& waiter) noexcept {
        for (DWORD i = 0; i < waiter.count; ++i) std::erase(waiter.objects[i]->waiters_, &waiter);
    }

    static void ReleaseWaitersOf(Waitable& object) {
        for (KernelWaiter* waiter : object.waiters_) {
            if (!object.IsSignalled()) return;
            if (waiter->done || !TrySatisfy(*waiter)) continue;
            pthread_cond_signal(&waiter->wake);
        }
    }

    static DWORD PendingWaiters(const Waitable& object) {
        DWORD pending = 0;
        for (const KernelWaiter* waiter : object.waiters_)
            if (!waiter->done) ++pending;
        return pending;
    }

  private:
    static bool TakeFirst(KernelWaiter& waiter) {
        for (DWORD i = 0; i < waiter.count; ++i) {
            if (!waiter.objects[i]->IsSignalled()) continue;
            const bool abandoned = waiter.objects[i]->TakeSignal();
            Finish(waiter, (abandoned ? kWaitAbandoned0 : kWaitObject0) + i);
            return true;
        }
        return false;
    }

    static bool TakeAll(KernelWaiter& waiter) {
        for (DWORD i = 0; i < waiter.count; ++i)
            if (!waiter.objects[i]->IsSignalled()) return false;
        DWORD result = kWaitObject0;
        for (DWORD i = 0; i < waiter.count; ++i)
            if (waiter.objects[i]->TakeSignal() && result == kWaitObject0)
                result = kWaitAbandoned0 + i;
        Finish(waiter, result);
        return true;
    }

    static void Finish(KernelWaiter& waiter, DWORD result) {
        waiter.result = result;
        waiter.done = true;
    }
};

namespace {

pthread_mutex_t g_waitMutex = PTHREAD_MUTEX_INITIALIZER;

struct timespec DeadlineAfter(DWORD milliseconds) {
    struct timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

// A condition variable on the monotonic clock, for the lifetime of one wait.
class WakeCondition {
  public:
    explicit WakeCondition(pthread_cond_t& condition) : condition_(condition) {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&condition_, &attributes);
        pthread_condattr_destroy(&attributes);
    }
    ~WakeCondition() { pthread_cond_destroy(&condition_); }
    WakeCondition(const WakeCondition&) = delete;
    WakeCondition& operator=(const WakeCondition&) = delete;

  private:
    pthread_cond_t& condition_;
};

// Sleeps until the waiter is satisfied or the deadline passes. A wake-up without a result (a
// spurious one, or EINTR from an older C library) sleeps again towards the same deadline.
void SleepUntilSatisfied(KernelWaiter& waiter, DWORD milliseconds) {
    const bool infinite = milliseconds == INFINITE;
    const struct timespec deadline = infinite ? timespec{} : DeadlineAfter(milliseconds);
    while (!waiter.done) {
        const int rc = infinite ? pthread_cond_wait(&waiter.wake, &g_waitMutex)
                                : pthread_cond_timedwait(&waiter.wake, &g_waitMutex, &deadline);
        if (rc == ETIMEDOUT) return;
    }
}

// Waits on resolved objects; the caller keeps them alive.
DWORD WaitOnObjects(Waitable* const* objects, DWORD count, bool waitAll, DWORD milliseconds) {
    KernelWaiter waiter{objects, count, waitAll};
    KernelWaitLock lock;
    if (WaitEngine::TrySatisfy(waiter)) return waiter.result;
    if (milliseconds == 0) return kWaitTimeout;
    WakeCondition condition(waiter.wake);
    try {
        WaitEngine::Register(waiter);
    } catch (const std::bad_alloc&) {
        WaitEngine::Unregister(waiter);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return kWaitFailed;
    }
    SleepUntilSatisfied(waiter, milliseconds);
    WaitEngine::Unregister(waiter);
    return waiter.result;  // kWaitTimeout unless satisfied
}

bool HasDuplicates(Waitable* const* objects, DWORD count) {
    for (DWORD i = 1; i < count; ++i)
        if (std::find(objects, objects + i, objects[i]) != objects + i) return true;
    return false;
}

}  // namespace

pthread_mutex_t& KernelWaitMutex() {
    return g_waitMutex;
}

KernelWaitLock::KernelWaitLock() {
    pthread_mutex_lock(&g_waitMutex);
}

KernelWaitLock::~KernelWaitLock() {
    pthread_mutex_unlock(&g_waitMutex);
}

Waitable::~Waitable() = default;

void Waitable::ReleaseWaiters() {
    WaitEngine::ReleaseWaitersOf(*this);
}

DWORD WaitForSingleObject(KernelHandle handle, DWORD milliseconds) {
    const std::shared_ptr<Waitable> object = ReferenceWaitable(handle);
    if (!object) return kWaitFailed;
    Waitable* objects[1] = {object.get()};
    return WaitOnObjects(objects, 1, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const KernelHandle* handles, bool waitAll,
                             DWORD milliseconds) {
    if (count == 0 || count > kMaximumWaitObjects || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    std::shared_ptr<Waitable> references[kMaximumWaitObjects];
    Waitable* objects[kMaximumWaitObjects];
    for (DWORD i = 0; i < count; ++i) {
        references[i] = ReferenceWaitable(handles[i]);
        if (!references[i]) return kWaitFailed;
        objects[i] = references[i].get();
    }
    // One object twice cannot be waited for "all at once" (it could not give both signals).
    if (waitAll && HasDuplicates(objects, count)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    return WaitOnObjects(objects, count, waitAll, milliseconds);
}

DWORD WaitingThreadCount(KernelHandle handle) {
    const std::shared_ptr<Waitable> object = ReferenceWaitable(handle);
    if (!object) return 0;
    KernelWaitLock lock;
    return WaitEngine::PendingWaiters(*object);
}

}  // namespace qzo::platform
