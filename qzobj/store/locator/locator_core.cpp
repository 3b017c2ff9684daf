// The locator's process-wide state: the working project with its generator, change table and
// mailslot, the tuning statics, the state-notify callbacks, the attach lock and the counters.
#include "qzobj/store/locator/locator_core.h"

#include <atomic>

#include "qzobj/archive/debug_print.h"
#include "qzobj/diag.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/locator/locator_link.h"
#include "qzobj/uikit.h"

namespace qzo::store {
namespace {

constexpr size_t kCounters = static_cast<size_t>(LocatorCounter::kCount);
constexpr int kReportChannel = 0;
constexpr int kReportLevel = 15;
constexpr int kNoticeLevel = 4;

constexpr const char* kCounterNames[kCounters] = {
    "Snoop",      "Create",     "Restore",   "Commit",     "LoadMem", "ReadMem",
    "WaitAccess", "CheckClass", "__ReadOFH", "__ReadHist", "Release", "Reconstruct"};

// Everything the statics hold. Made on first use and never destroyed, so that locators released
// by static destructors still find it.
//
// projectLock serialises SetDefProjectID (the working project's fields and the mailslot's
// reopening); readers load the atomics without it. notifyLock serialises the callback list; it
// is re-entrant, so callbacks may register and unregister while a pass runs.
struct CoreState {
    COSCriticalSection projectLock;
    std::atomic<DWORD> defProjID{LOCATION_NO_PROJID};
    std::atomic<CProjUniID*> uidGen{nullptr};
    std::atomic<unsigned> writebackPriority{0};
    std::atomic<unsigned> copyMode{0};
    std::atomic<DWORD> rwTraceMin{0};
    std::atomic<DWORD> rwTraceMax{0};
    COSCriticalSection notifyLock;
    CPChangeNotify notifies;
    COSCriticalSection attachLock;
    ChangeTable table;
    LocMailslot mailslot{table};
    CBasePerfItem counters[kCounters];
};

CoreState& State() {
    static CoreState* state = new CoreState;
    return *state;
}

}  // namespace

DWORD LocatorCore::DefProjID() {
    return State().defProjID.load(std::memory_order_acquire);
}

CProjUniID* LocatorCore::UIDGen() {
    return State().uidGen.load(std::memory_order_acquire);
}

unsigned LocatorCore::WritebackPriority() {
    return State().writebackPriority.load(std::memory_order_relaxed);
}

unsigned LocatorCore::CopyMode() {
    return State().copyMode.load(std::memory_order_relaxed);
}

void LocatorCore::RWWatchRange(DWORD& min, DWORD& max) {
    min = State().rwTraceMin.load(std::memory_order_relaxed);
    max = State().rwTraceMax.load(std::memory_order_relaxed);
}

void LocatorCore::SetRWWatchRange(DWORD min, DWORD max) {
    State().rwTraceMin.store(min, std::memory_order_relaxed);
    State().rwTraceMax.store(max, std::memory_order_relaxed);
}

BOOL LocatorCore::SetWritebackPriority(unsigned priority) {
    if (priority > 2) return FALSE;
    State().writebackPriority.store(priority, std::memory_order_relaxed);
    return TRUE;
}

unsigned LocatorCore::ExchangeCopyMode(unsigned mode) {
    return State().copyMode.exchange(mode, std::memory_order_relaxed);
}

ChangeNotices LocatorCore::Notices() {
    CoreState& state = State();
    ChangeNotices notices;
    notices.table = &state.table;
    notices.mailslot = &state.mailslot;
    notices.dwDefProjID = state.defProjID.load(std::memory_order_acquire);
    return notices;
}

COSCriticalSection& LocatorCore::AttachLock() {
    return State().attachLock;
}

void LocatorCore::NotifyState(const void* pointer, DWORD code, uintptr_t value) {
    CoreState& state = State();
    COSAutoLock lock(state.notifyLock);
    state.notifies.Notify(const_cast<void*>(pointer), code, value);
}

DWORD LocatorCore::AddStateNotify(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2) {
    CoreState& state = State();
    COSAutoLock lock(state.notifyLock);
    return state.notifies.Add(callback, value1, value2);
}

BOOL LocatorCore::RemoveStateNotify(DWORD handle) {
    CoreState& state = State();
    COSAutoLock lock(state.notifyLock);
    return state.notifies.Delete(handle, FALSE);
}

CBasePerfItem& LocatorCore::Counter(LocatorCounter counter) {
    const size_t index = static_cast<size_t>(counter);
    return State().counters[index < kCounters ? index : 0];
}

const char* LocatorCore::CounterName(LocatorCounter counter) {
    const size_t index = static_cast<size_t>(counter);
    return index < kCounters ? kCounterNames[index] : "";
}

const WCHAR* LocatorCore::ProjectPath(DWORD projectID) {
    if (projectID == LOCATION_NO_PROJID || (projectID & LOCATION_INVALID_BITS)) return nullptr;
    const WCHAR* path = PrjLocator::GetPrjPath(projectID);
    return path && *path ? path : nullptr;
}

BOOL LocatorCore::SetDefProject(CProjUniID* generator, DWORD projectID) {
    CoreState& state = State();
    // The path is looked up before the project lock is taken: the project directory's own lock
    // must never be waited for while this one is held.
    const WCHAR* path = ProjectPath(projectID);
    COSAutoLock lock(state.projectLock);
    if (state.defProjID.load(std::memory_order_relaxed) == projectID) return TRUE;
    state.uidGen.store(generator, std::memory_order_release);
    state.table.Clear();
    state.mailslot.Close();
    state.defProjID.store(projectID, std::memory_order_release);
    if (path && !state.mailslot.OpenProject(projectID, path))
        DebugPrint(kNoticeLevel,
                   u"\rLocator::SetDefProjectID %08X: change notices answered from the file\r\n",
                   projectID);
    return TRUE;
}

bool LocatorCore::Attach() {
    State();
    LocatorLink link = GetLocatorLink();
    link.SetDefProjectID = &Locator::SetDefProjectID;
    SetLocatorLink(link);
    return true;
}

void LocatorCore::Detach() {
    CoreState& state = State();
    if (IsDebugOn()) wPrintf(kReportChannel, kReportLevel, u"\rLocator::Performance\r\n");
    for (size_t i = 0; i < kCounters; ++i) state.counters[i].Dump(kCounterNames[i]);
    COSAutoLock lock(state.projectLock);
    state.mailslot.Close();
    state.table.Clear();
}

}  // namespace qzo::store

// ---- Locator's statics --------------------------------------------------------------------

using qzo::store::LocatorCore;

BOOL Locator::SetDefProjectID(CProjUniID* generator, DWORD projectID) {
    return LocatorCore::SetDefProject(generator, projectID);
}

DWORD Locator::GetDefProjectID() {
    return LocatorCore::DefProjID();
}

CProjUniID* Locator::GetDefUIDGen() {
    return LocatorCore::UIDGen();
}

BOOL Locator::SetWritebackPriority(unsigned priority) {
    return LocatorCore::SetWritebackPriority(priority);
}

unsigned Locator::GetWritebackPriority() {
    return LocatorCore::WritebackPriority();
}

void Locator::GetRWWatchRange(DWORD& min, DWORD& max) {
    LocatorCore::RWWatchRange(min, max);
}

void Locator::SetRWWatchRange(DWORD& min, DWORD& max) {
    LocatorCore::SetRWWatchRange(min, max);
}

DWORD Locator::RegisterStateNotify(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2) {
    if (!callback) return CPVLIST_NONE;
    return LocatorCore::AddStateNotify(callback, value1, value2);
}

BOOL Locator::UnregisterStateNotify(DWORD handle) {
    return LocatorCore::RemoveStateNotify(handle);
}
