// Thread creation and life: the start gate, the end that signals the handle, exit codes, IDs
// and priorities mapped to nice values.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <new>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/thread_internal.h"
#include "qzobj/platform/system.h"

namespace qzo::platform {

using thread_detail::FutexWait;
using thread_detail::FutexWakeAll;
using thread_detail::Phase;
using thread_detail::ThreadObject;

namespace thread_detail {

void ThreadObject::MarkEnded(DWORD code) {
    exitCode.store(code);
    KernelWaitLock lock;
    ended = true;
    ReleaseWaiters();
}

DWORD WaitForThreadId(ThreadObject& thread) {
    for (;;) {
        const uint32_t id = thread.tid.load();
        if (id != 0) return id;
        FutexWait(thread.tid, 0, 100);
    }
}

}  // namespace thread_detail

namespace {

void SetSuspendSignalBlocked(bool blocked, sigset_t* previous) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, thread_detail::SuspendSignal());
    pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, previous);
}

// Waits at the start gate until the suspend count is 0. False when the thread was terminated
// there: it must end without running its function (TerminateThread has signalled the handle).
bool PassStartGate(ThreadObject& self) {
    std::unique_lock<std::mutex> lock(self.control);
    for (;;) {
        const uint32_t sequence = self.wakeSequence.load();
        if (self.terminated.load() != 0) return false;
        if (self.suspendCount.load() == 0) break;
        lock.unlock();
        FutexWait(self.wakeSequence, sequence, INFINITE);
        lock.lock();
    }
    self.phase = Phase::Running;
    return true;
}

// The thread has returned from its function. Once `phase` says Ended no suspension or
// termination reaches it; one that came first parks it in the signal handler, which may run
// while this waits for `control`.
void EndThread(ThreadObject& self, DWORD exitCode) {
    {
        std::lock_guard<std::mutex> lock(self.control);
        SetSuspendSignalBlocked(true, nullptr);
        self.phase = Phase::Ended;
    }
    self.MarkEnded(exitCode);
}

void* ThreadMain(void* argument) {
    std::shared_ptr<ThreadObject> self;
    {
        std::unique_ptr<std::shared_ptr<ThreadObject>> holder(
            static_cast<std::shared_ptr<ThreadObject>*>(argument));
        self = std::move(*holder);
    }
    thread_detail::SetCurrentThreadObject(self.get());
    self->tid.store(GetCurrentThreadId());
    FutexWakeAll(self->tid);
    if (!PassStartGate(*self)) return nullptr;
    // The signal was blocked since creation; a suspension requested meanwhile is pending and
    // lands here.
    SetSuspendSignalBlocked(false, nullptr);
    const DWORD exitCode = self->start(self->parameter);
    EndThread(*self, exitCode);
    thread_detail::SetCurrentThreadObject(nullptr);
    return nullptr;
}

bool StartThread(const std::shared_ptr<ThreadObject>& object, size_t stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        const size_t page = 4096;
        size_t size = stackSize < size_t(PTHREAD_STACK_MIN) ? size_t(PTHREAD_STACK_MIN) : stackSize;
        size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attributes, size);
    }
    auto* argument = new (std::nothrow) std::shared_ptr<ThreadObject>(object);
    int error = ENOMEM;
    if (argument != nullptr) {
        // The new thread starts with the suspend signal blocked until it has published itself.
        sigset_t previous;
        SetSuspendSignalBlocked(true, &previous);
        error = pthread_create(&object->pthread, &attributes, &ThreadMain, argument);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (error != 0) delete argument;
    }
    pthread_attr_destroy(&attributes);
    if (error != 0) SetLastErrorFromErrno(error);
    return error == 0;
}

std::shared_ptr<ThreadObject> ReferenceThread(KernelHandle handle) {
    return std::static_pointer_cast<ThreadObject>(ReferenceWaitable(handle, WaitableKind::Thread));
}

// Windows priorities and the nice values that stand for them.
struct PriorityLevel {
    int priority;
    int nice;
};
constexpr PriorityLevel kPriorityLevels[] = {
    {-15, 19}, {-2, 10}, {-1, 5}, {0, 0}, {1, -5}, {2, -10}, {15, -15},
};

const PriorityLevel* FindPriority(int priority) {
    for (const PriorityLevel& level : kPriorityLevels)
        if (level.priority == priority) return &level;
    return nullptr;
}

}  // namespace

KernelHandle CreateThread(size_t stackSize, ThreadStartRoutine start, void* parameter,
                          bool suspended, DWORD* threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    thread_detail::InstallSuspendHandler();
    std::shared_ptr<ThreadObject> object(new (std::nothrow) ThreadObject);
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    object->start = start;
    object->parameter = parameter;
    // A thread created suspended holds at its gate; any thread holds there until it is in the
    // table, so a failed insertion can still cancel it.
    object->suspendCount.store(1);
    if (!StartThread(object, stackSize)) return 0;
    const KernelHandle handle = InsertWaitable(object);
    if (handle == 0) {
        const DWORD error = GetLastError();
        thread_detail::TerminateThreadObject(*object, 0);
        SetLastError(error);
        return 0;
    }
    if (!suspended) ResumeThread(handle);
    if (threadId != nullptr) *threadId = thread_detail::WaitForThreadId(*object);
    return handle;
}

bool GetExitCodeThread(KernelHandle thread, DWORD* exitCode) {
    const std::shared_ptr<ThreadObject> object = ReferenceThread(thread);
    if (!object) return false;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *exitCode = object->exitCode.load();
    return true;
}

DWORD GetThreadId(KernelHandle thread) {
    const std::shared_ptr<ThreadObject> object = ReferenceThread(thread);
    return object ? thread_detail::WaitForThreadId(*object) : 0;
}

int GetThreadPriority(KernelHandle thread) {
    const std::shared_ptr<ThreadObject> object = ReferenceThread(thread);
    if (!object) return kThreadPriorityErrorReturn;
    std::lock_guard<std::mutex> lock(object->control);
    return object->priority;
}

bool SetThreadPriority(KernelHandle thread, int priority) {
    const std::shared_ptr<ThreadObject> object = ReferenceThread(thread);
    if (!object) return false;
    const PriorityLevel* level = FindPriority(priority);
    if (level == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const DWORD tid = thread_detail::WaitForThreadId(*object);
    std::lock_guard<std::mutex> lock(object->control);
    if (object->phase != Phase::Ended) {
        // Raising needs a privilege an ordinary process lacks (and so does lowering again);
        // without it the thread keeps the nice value it has.
        errno = 0;
        if (setpriority(PRIO_PROCESS, id_t(tid), level->nice) != 0 && errno != EACCES &&
            errno != EPERM && errno != ESRCH) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    object->priority = priority;
    return true;
}

}  // namespace qzo::platform
