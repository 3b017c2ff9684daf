// Application start and end: the counted QZOBJ_AppInitialize / QZOBJ_AppExit pair that reads
// and saves the deletion-watch and read-write trace ranges, starts and stops the auto-threads
// and sends the classes their first and last control calls; and the init-callback slot.
#include "qzobj/frame/app_init.h"

#include <atomic>
#include <mutex>

#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/objmodel.h"
#include "qzobj/persistent.h"
#include "qzobj/threads.h"
#include "qzobj/uikit.h"

namespace qzo::frame {
namespace {

constexpr char kObjectSection[] = "CQZObject";
constexpr char kLocatorSection[] = "Locator";
constexpr char kMinKey[] = "MinFreeWatch";
constexpr char kMaxKey[] = "MaxFreeWatch";
constexpr char kTraceKey[] = "TraceVirtual";

// Hosts call the pair from their main thread; the lock only keeps a stray second thread from
// tearing the count. It is re-entrant because class control procedures run under it.
std::recursive_mutex& InitLock() {
    static auto& lock = *new std::recursive_mutex;
    return lock;
}
std::atomic<DWORD> g_initCount{0};
std::atomic<QZOBJ_INITCALLBACK> g_initCallback{nullptr};

// A missing key is written back with 0, so a fresh "QZO.INI" lists every tuning value.
DWORD ReadTuningValue(const char* section, const char* key) {
    return static_cast<DWORD>(QZOBJ_GetProfileInt(section, key, 0, TRUE));
}

void WriteTuningValue(const char* section, const char* key, DWORD value) {
    QZOBJ_WriteProfileInt(section, key, static_cast<int32_t>(value));
}

void LoadWatchRanges() {
    const DWORD min = ReadTuningValue(kObjectSection, kMinKey);
    const DWORD max = ReadTuningValue(kObjectSection, kMaxKey);
    const DWORD trace = ReadTuningValue(kObjectSection, kTraceKey);
    CQZObject::SetFreeWatchRange(min, max, static_cast<int>(trace));
    DWORD rwMin = ReadTuningValue(kLocatorSection, kMinKey);
    DWORD rwMax = ReadTuningValue(kLocatorSection, kMaxKey);
    Locator::SetRWWatchRange(rwMin, rwMax);
}

void SaveWatchRanges() {
    DWORD min = 0, max = 0;
    int trace = 0;
    CQZObject::GetFreeWatchRange(min, max, trace);
    WriteTuningValue(kObjectSection, kMinKey, min);
    WriteTuningValue(kObjectSection, kMaxKey, max);
    WriteTuningValue(kObjectSection, kTraceKey, static_cast<DWORD>(trace));
    DWORD rwMin = 0, rwMax = 0;
    Locator::GetRWWatchRange(rwMin, rwMax);
    WriteTuningValue(kLocatorSection, kMinKey, rwMin);
    WriteTuningValue(kLocatorSection, kMaxKey, rwMax);
}

}  // namespace

DWORD AppInitCount() {
    return g_initCount.load();
}

void ReportUnbalancedInit() {
    const DWORD count = g_initCount.load();
    if (count != 0 && IsDebugOn())
        wPrintf(3, 0, u"\rClasses were not unregistered, dwInitCnt = %u\r\n", count);
}

}  // namespace qzo::frame

// The library has no memory monitor, so the monitor's first and last control calls are left out.
void QZOBJ_AppInitialize() {
    std::lock_guard<std::recursive_mutex> hold(qzo::frame::InitLock());
    if (qzo::frame::g_initCount.load() == 0) {
        COSAutoThread::AppInit();
        qzo::frame::LoadWatchRanges();
        CQZRuntimeClass::SanitizeLoads();
    }
    qzo::frame::g_initCount.fetch_add(1);
}

void QZOBJ_AppExit() {
    std::lock_guard<std::recursive_mutex> hold(qzo::frame::InitLock());
    const DWORD count = qzo::frame::g_initCount.load();
    if (count == 0) return;
    qzo::frame::g_initCount.store(count - 1);
    if (count != 1) return;
    qzo::frame::SaveWatchRanges();
    CQZRuntimeClass::UnloadClassLibs();
    COSAutoThread::AppExit();
}

BOOL QZOBJ_RegisterInitCallback(QZOBJ_INITCALLBACK callback, QZOBJ_INITCALLBACK* previous) {
    QZOBJ_INITCALLBACK before = qzo::frame::g_initCallback.exchange(callback);
    if (previous) *previous = before;
    return TRUE;
}

// A callback that throws answers 0.
DWORD QZOBJ_UnregisterInitCallback(QZOBJ_INITCALLBACK previous) {
    if (!previous) {
        qzo::frame::g_initCallback.store(nullptr);
        return TRUE;
    }
    try {
        return previous();
    } catch (...) {
        return 0;
    }
}
