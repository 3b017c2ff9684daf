// CUnhandledException: installs the top-level filter, and the filter itself with its one-time
// record switch. The library's attach step makes the process's object.
#include "qzobj/crash.h"

#include <atomic>

#include "qzobj/diag/crash_record.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/system.h"

static_assert(QZO_EXCEPTION_UNCAUGHT_CPP == qzo::platform::kUncaughtCppExceptionCode,
              "one code for uncaught C++ exceptions");

namespace {

// How long a fault on another thread waits for the record under way.
constexpr DWORD kRecordWaitMs = 10000;
constexpr DWORD kRecordPollMs = 10;

// Process-wide, touched from fault handlers: lock-free atomics only.
std::atomic<int> g_recordSwitch{1};         // 1 until the first exception takes it
std::atomic<DWORD> g_reportingThread{0};    // the thread writing the record
std::atomic<bool> g_recordFinished{false};  // set when the record is complete
std::atomic<int> g_objectCount{0};          // live CUnhandledException objects

CUnhandledException* g_processObject = nullptr;  // made at attach, destroyed at detach

void WaitForRecord() {
    for (DWORD waited = 0; waited < kRecordWaitMs && !g_recordFinished.load();
         waited += kRecordPollMs)
        qzo::platform::Sleep(kRecordPollMs);
}

void InstallFilter() {
    qzo::diag::PrepareCrashRecord();
    qzo::platform::SetUnhandledExceptionHook(&CUnhandledException::TopLevelExceptionFilter);
}

}  // namespace

CUnhandledException::CUnhandledException() {
    InstallFilter();
    g_objectCount.fetch_add(1);
}

CUnhandledException::~CUnhandledException() {
    int count = g_objectCount.load();
    while (count > 0 && !g_objectCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count == 1) qzo::platform::SetUnhandledExceptionHook(nullptr);
}

BOOL CUnhandledException::ReInit() {
    if (g_objectCount.load() <= 0) return FALSE;
    qzo::platform::ReinstallGuardHandler();
    InstallFilter();
    return TRUE;
}

LONG CUnhandledException::TopLevelExceptionFilter(EXCEPTION_POINTERS* pointers) {
    const DWORD self = qzo::platform::GetCurrentThreadId();
    if (g_recordSwitch.exchange(0) == 0) {
        // A fault inside the reporting ends the process at once; a fault elsewhere lets the
        // record under way finish first, within bounds.
        if (g_reportingThread.load() != self) WaitForRecord();
        return 1;
    }
    g_reportingThread.store(self);
    qzo::diag::WriteCrashRecord(pointers);
    g_recordFinished.store(true);
    return 1;
}

namespace qzo::diag {

bool AttachCrashRecord() {
    RecordMainThread();
    if (!g_processObject) g_processObject = new CUnhandledException;
    return true;
}

void DetachCrashRecord() {
    delete g_processObject;
    g_processObject = nullptr;
}

}  // namespace qzo::diag
