// CThread: one thread with its tracked status. The status and ID live in a control block that
// the thread's entry shares, so the entry never touches the CThread object, which its owner may
// destroy at any moment.
#include <atomic>
#include <cstdlib>
#include <new>

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/thread.h"
#include "qzobj/threads.h"

namespace platform = qzo::platform;

namespace qzo::os {

// Shared by a CThread and its entry; the last of the two to let go frees it.
//
// Thread safety: every field is atomic. Status and ID are written without a lock by the entry
// and the controlling calls (relaxed: they are reports, not synchronisation). `gate` decides
// once, by compare-and-swap, whether the function runs (the entry wins) or never runs (a
// destruction or termination before the start wins).
struct ThreadControl {
    static constexpr uint32_t kGateClosed = 0;
    static constexpr uint32_t kGatePassed = 1;
    static constexpr uint32_t kGateCancelled = 2;

    std::atomic<int> references{2};
    std::atomic<DWORD> status{CThread::StatusCreated};
    std::atomic<DWORD> id{0};  // 0 until known
    std::atomic<uint32_t> gate{kGateClosed};
    std::atomic<DWORD> cancelExitCode{0};  // the exit code of a thread cancelled at its gate
    LPTHREAD_START_ROUTINE start = nullptr;
    void* parameter = nullptr;

    void Release() {
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    bool Cancel() {
        uint32_t closed = kGateClosed;
        return gate.compare_exchange_strong(closed, kGateCancelled);
    }
    // Moves the status from `from` to `to` unless the thread has moved it meanwhile.
    void Change(DWORD from, DWORD to) {
        status.compare_exchange_strong(from, to, std::memory_order_relaxed);
    }
};

namespace {

// The library's entry for every CThread: runs the function unless the thread was cancelled
// before it started.
DWORD ThreadEntry(void* argument) {
    ThreadControl* control = static_cast<ThreadControl*>(argument);
    DWORD result = 0;
    uint32_t closed = ThreadControl::kGateClosed;
    if (control->gate.compare_exchange_strong(closed, ThreadControl::kGatePassed)) {
        control->id.store(platform::GetCurrentThreadId(), std::memory_order_relaxed);
        control->status.store(CThread::StatusRunning, std::memory_order_relaxed);
        try {
            result = control->start(control->parameter);
        } catch (...) {
            result = 0;  // an exception ends the thread like a return
        }
        control->status.store(CThread::StatusFinished, std::memory_order_relaxed);
        control->id.store(CThread::InvalidThreadID, std::memory_order_relaxed);
    } else {
        result = control->cancelExitCode.load();
    }
    control->Release();
    return result;
}

bool IsLive(DWORD status) {
    return status == CThread::StatusRunning || status == CThread::StatusSuspended;
}

// Lets a thread that was cancelled at its gate through the platform's start gate, so that it
// ends (signalling its handle) without running the function.
void ReleaseCancelledThread(platform::KernelHandle handle) {
    for (;;) {
        const DWORD previous = platform::ResumeThread(handle);
        if (previous == platform::kSuspendFailed || previous <= 1) return;
    }
}

// Terminates a thread past its gate and records the end in the control block.
bool TerminateStarted(ThreadControl& control, platform::KernelHandle handle, DWORD exitCode) {
    if (!platform::TerminateThread(handle, exitCode)) return false;
    control.status.store(CThread::StatusFinished, std::memory_order_relaxed);
    control.id.store(CThread::InvalidThreadID, std::memory_order_relaxed);
    return true;
}

}  // namespace
}  // namespace qzo::os

using qzo::os::ThreadControl;

CThread::CThread(LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD stackSize,
                 LPTHREAD_START_ROUTINE startFunction, void* parameter, DWORD creationFlags)
    : m_pControl(nullptr), m_pfnStart(startFunction), m_pParam(parameter) {
    if (startFunction == nullptr) return;  // status 1
    m_pControl = new (std::nothrow) ThreadControl;
    if (m_pControl == nullptr) return;
    const bool suspended = (creationFlags & CREATE_SUSPENDED) != 0;
    m_pControl->start = startFunction;
    m_pControl->parameter = parameter;
    m_pControl->status.store(suspended ? StatusSuspended : StatusCreated);
    const platform::KernelHandle handle =
        platform::CreateThread(stackSize, &qzo::os::ThreadEntry, m_pControl, suspended, nullptr);
    if (handle == 0) {
        m_pControl->status.store(StatusFailed);
        m_pControl->Release();  // the entry's share: it never runs
        return;
    }
    m_hObject = platform::ToHandle(handle);
}

CThread::~CThread() {
    if (m_pControl != nullptr && m_hObject != nullptr) {
        const platform::KernelHandle handle = platform::FromHandle(m_hObject);
        if (m_pControl->Cancel()) {
            // Not started: let the thread through its gate so that it ends without the function.
            m_pControl->status.store(StatusFinished, std::memory_order_relaxed);
            qzo::os::ReleaseCancelledThread(handle);
        } else if (m_pControl->status.load(std::memory_order_relaxed) != StatusFinished) {
            // Started (status 4 or 5, or 0 in the instant before the entry records 4).
            if (m_pControl->status.load(std::memory_order_relaxed) == StatusSuspended) Resume();
            platform::Sleep(20);
            if (m_pControl->status.load(std::memory_order_relaxed) != StatusFinished)
                qzo::os::TerminateStarted(*m_pControl, handle, 0);
        }
    }
    CloseObjectHandle();
    if (m_pControl != nullptr) m_pControl->Release();
}

void* CThread::operator new(size_t size) noexcept {
    return std::malloc(size);
}

void CThread::operator delete(void* block) noexcept {
    std::free(block);
}

DWORD CThread::GetStatus() const {
    return m_pControl != nullptr ? m_pControl->status.load(std::memory_order_relaxed)
                                 : StatusFailed;
}

DWORD CThread::GetID() const {
    if (m_pControl == nullptr) return 0;
    DWORD id = m_pControl->id.load(std::memory_order_relaxed);
    if (id == 0 && m_hObject != nullptr) {
        // The entry has not started yet: ask the system, which knows it from creation.
        const DWORD known = platform::GetThreadId(platform::FromHandle(m_hObject));
        if (m_pControl->id.compare_exchange_strong(id, known, std::memory_order_relaxed))
            id = known;
    }
    return id;
}

BOOL CThread::GetExitCode(DWORD* exitCode) {
    if (m_hObject == nullptr) return FALSE;
    return platform::GetExitCodeThread(platform::FromHandle(m_hObject), exitCode) ? TRUE : FALSE;
}

int CThread::GetPriority() {
    if (m_hObject == nullptr || GetStatus() < StatusRunning) return THREAD_PRIORITY_ERROR_RETURN;
    return platform::GetThreadPriority(platform::FromHandle(m_hObject));
}

BOOL CThread::SetPriority(int priority) {
    const DWORD status = GetStatus();
    if (m_hObject == nullptr || (status >= StatusFailed && status <= 3)) return FALSE;
    return platform::SetThreadPriority(platform::FromHandle(m_hObject), priority) ? TRUE : FALSE;
}

DWORD CThread::Resume() {
    if (m_hObject == nullptr || GetStatus() < StatusRunning) return platform::kSuspendFailed;
    const DWORD previous = platform::ResumeThread(platform::FromHandle(m_hObject));
    if (previous != platform::kSuspendFailed && previous <= 1)
        m_pControl->Change(StatusSuspended, StatusRunning);
    return previous;
}

DWORD CThread::Suspend() {
    if (m_hObject == nullptr || GetStatus() < StatusRunning) return platform::kSuspendFailed;
    const DWORD previous = platform::SuspendThread(platform::FromHandle(m_hObject));
    // A successful suspension parked the thread, so its entry cannot change the status now.
    if (previous != platform::kSuspendFailed) m_pControl->Change(StatusRunning, StatusSuspended);
    return previous;
}

BOOL CThread::Terminate(DWORD exitCode) {
    if (m_hObject == nullptr || !qzo::os::IsLive(GetStatus())) return FALSE;
    const platform::KernelHandle handle = platform::FromHandle(m_hObject);
    m_pControl->cancelExitCode.store(exitCode);
    if (m_pControl->Cancel()) {
        // Created suspended and never resumed: it ends at its gate and the function never runs.
        m_pControl->status.store(StatusFinished, std::memory_order_relaxed);
        qzo::os::ReleaseCancelledThread(handle);
        return TRUE;
    }
    return qzo::os::TerminateStarted(*m_pControl, handle, exitCode) ? TRUE : FALSE;
}
