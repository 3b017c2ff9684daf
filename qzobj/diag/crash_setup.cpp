// Preparing the crash record in ordinary context: the record's path, the build text, the time
// zone offset and the main thread's ID, so that the filter never allocates.
#include <atomic>
#include <mutex>

#include "qzobj/diag/crash_record.h"
#include "qzobj/frame.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/profile.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"
#include "qzobj/platform/utc_offset.h"

namespace qzo::diag {
namespace {

constexpr WCHAR kRecordName[] = u"CrashRecord.txt";
constexpr WCHAR kBuildPattern[] = u"resource/*.sc";

// Two setups alternate: PrepareCrashRecord fills the one not published, then publishes it.
CrashRecordSetup g_setups[2] = {};
std::atomic<int> g_published{0};
std::mutex g_prepareLock;  // serialises PrepareCrashRecord

std::atomic<DWORD> g_mainThread{0};

void FindRecordPath(CrashRecordSetup& setup) {
    WCHAR root[MAX_PATH] = {};
    if (!QZOBJ_GetAppRootDir(root)) return;
    const size_t length = text::Copy(setup.recordPath, kRecordPathUnits, root);
    text::Copy(setup.recordPath + length, kRecordPathUnits - length, kRecordName);
}

// The folder of this library's file, with its trailing separator; false when unknown.
bool LibraryFolder(WCHAR* folder, size_t capacity) {
    const DWORD length =
        platform::GetModuleFileName(platform::ThisModule(), folder, DWORD(capacity));
    if (length == 0 || length >= capacity) return false;
    size_t cut = length;
    while (cut > 0 && folder[cut - 1] != u'/' && folder[cut - 1] != u'\\') --cut;
    if (cut == 0) return false;
    folder[cut] = 0;
    return true;
}

void FindBuild(CrashRecordSetup& setup) {
    WCHAR pattern[kRecordPathUnits] = {};
    if (!LibraryFolder(pattern, kRecordPathUnits)) return;
    const size_t length = text::Length(pattern);
    if (length + sizeof kBuildPattern / sizeof(WCHAR) >= kRecordPathUnits) return;
    text::Copy(pattern + length, kRecordPathUnits - length, kBuildPattern);
    if (!FU_GetFirstMatchEx(pattern, kRecordPathUnits, 0, 0)) return;
    platform::GetPrivateProfileStringW(u"Version", u"Build", u"", setup.build, DWORD(kBuildUnits),
                                       pattern);
}

}  // namespace

void PrepareCrashRecord() {
    std::lock_guard<std::mutex> hold(g_prepareLock);
    const int next = 1 - g_published.load(std::memory_order_relaxed);
    CrashRecordSetup& setup = g_setups[next];
    setup = CrashRecordSetup{};
    FindRecordPath(setup);
    FindBuild(setup);
    setup.utcOffsetSeconds = platform::LocalUtcOffsetSeconds();
    g_published.store(next, std::memory_order_release);
}

const CrashRecordSetup& CurrentCrashSetup() {
    return g_setups[g_published.load(std::memory_order_acquire)];
}

void RecordMainThread() {
    g_mainThread.store(platform::GetCurrentThreadId(), std::memory_order_relaxed);
}

DWORD MainThreadId() {
    return g_mainThread.load(std::memory_order_relaxed);
}

}  // namespace qzo::diag
