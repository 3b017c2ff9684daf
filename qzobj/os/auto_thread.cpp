// COSAutoThread: fire-and-forget worker threads in a table of 128, released when their function
// returns and stopped by AppExit.
#include <atomic>
#include <new>

#include "qzobj/os.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/thread.h"
#include "qzobj/threads.h"

namespace platform = qzo::platform;

namespace qzo::os {
namespace {

// The process-wide table of live auto-threads.
//
// Thread safety: `lock` guards `entries`. `exiting` is atomic: read without the lock to fail
// early and tested again under it.
struct AutoThreadTable {
    COSCriticalSection lock;
    COSAutoThread* entries[COSAutoThread::MaximumThreads] = {};
    std::atomic<bool> exiting{false};
};

// Built on first use and never destroyed, so threads that end during static destruction still
// find it.
AutoThreadTable& Table() {
    alignas(AutoThreadTable) static unsigned char storage[sizeof(AutoThreadTable)];
    static AutoThreadTable* table = new (storage) AutoThreadTable;
    return *table;
}

// How long AppExit gives each auto-thread to end before it terminates it.
constexpr DWORD kExitGrace = 100;

}  // namespace
}  // namespace qzo::os

using qzo::os::Table;

COSAutoThread::COSAutoThread(LPTHREAD_START_ROUTINE startFunction, void* parameter,
                             HANDLE startupEvent)
    : m_pfnStart(startFunction),
      m_pParam(parameter),
      m_StartupEvent(startupEvent),
      m_dwSlot(MaximumThreads) {}

COSAutoThread::~COSAutoThread() {
    CloseObjectHandle();
}

void COSAutoThread::AppInit() {
    auto& table = Table();
    COSAutoLock lock(table.lock);
    table.exiting.store(false);
    for (COSAutoThread*& entry : table.entries) entry = nullptr;
}

void COSAutoThread::AppExit() {
    auto& table = Table();
    table.exiting.store(true);
    COSAutoLock lock(table.lock);
    for (COSAutoThread*& entry : table.entries) {
        if (entry == nullptr) continue;
        const platform::KernelHandle thread = platform::FromHandle(entry->m_hObject);
        if (platform::WaitForSingleObject(thread, qzo::os::kExitGrace) != WAIT_OBJECT_0)
            platform::TerminateThread(thread, 0);
        delete entry;
        entry = nullptr;
    }
}

DWORD COSAutoThread::GetActiveCount() {
    auto& table = Table();
    COSAutoLock lock(table.lock);
    DWORD count = 0;
    for (const COSAutoThread* entry : table.entries)
        if (entry != nullptr) ++count;
    return count;
}

BOOL COSAutoThread::CreateAutoThread(LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD stackSize,
                                     LPTHREAD_START_ROUTINE startFunction, void* parameter) {
    if (startFunction == nullptr) return FALSE;
    COSEvent startupEvent(nullptr, TRUE, FALSE, nullptr);
    if (!startupEvent.AssertValid()) return FALSE;
    auto& table = Table();
    if (table.exiting.load()) return FALSE;
    // The creator waits on handles of its own: the event it made and a duplicate of the thread
    // handle, so an AppExit that deletes the object meanwhile cannot pull anything from under it.
    platform::KernelHandle threadCopy = 0;
    {
        COSAutoLock lock(table.lock);
        if (table.exiting.load()) return FALSE;
        DWORD slot = 0;
        while (slot < MaximumThreads && table.entries[slot] != nullptr) ++slot;
        if (slot == MaximumThreads) return FALSE;
        auto* thread =
            new (std::nothrow) COSAutoThread(startFunction, parameter, startupEvent.GetHandle());
        if (thread == nullptr) return FALSE;
        platform::KernelHandle handle = 0;
        if (thread->m_StartupEvent.AssertValid())
            handle = platform::CreateThread(stackSize, &AutoThreadEntry, thread, true, nullptr);
        if (handle != 0) threadCopy = platform::DuplicateKernelHandle(handle);
        if (threadCopy == 0) {
            // Never started: a thread held at its gate ends there without the function.
            if (handle != 0) platform::TerminateThread(handle, 0);
            thread->m_hObject = platform::ToHandle(handle);
            delete thread;
            return FALSE;
        }
        thread->m_hObject = platform::ToHandle(handle);
        thread->m_dwSlot = slot;
        table.entries[slot] = thread;
        platform::ResumeThread(handle);
    }
    const platform::KernelHandle waits[2] = {platform::FromHandle(startupEvent.GetHandle()),
                                             threadCopy};
    platform::WaitForMultipleObjects(2, waits, false, INFINITE);
    platform::CloseKernelHandle(threadCopy);
    return TRUE;
}

DWORD COSAutoThread::AutoThreadEntry(void* argument) {
    auto* self = static_cast<COSAutoThread*>(argument);
    AUTOTHREADINFO info{self->m_StartupEvent.GetHandle(), self->m_pParam};
    try {
        self->m_pfnStart(&info);
    } catch (...) {
        // An exception ends the function like a return.
    }
    self->m_StartupEvent.Set();
    // Leave the table unless AppExit is emptying it: then AppExit, which holds the lock, sees
    // this thread end and deletes the object. Waiting for the lock instead would cost it its
    // grace period.
    auto& table = Table();
    while (!table.exiting.load()) {
        if (!table.lock.TryEnter()) {
            platform::Sleep(1);
            continue;
        }
        const bool listed = !table.exiting.load() && self->m_dwSlot < MaximumThreads &&
                            table.entries[self->m_dwSlot] == self;
        if (listed) table.entries[self->m_dwSlot] = nullptr;
        table.lock.Leave();
        if (listed) delete self;
        break;
    }
    return 0;
}
