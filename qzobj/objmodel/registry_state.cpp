// The registry's process-wide state, its lock, its life cycle (Init, Exit) and its working
// folder, from which driver libraries are loaded.
#include <cstdarg>
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/address_range.h"
#include "qzobj/platform/module.h"
#include "qzobj/uikit.h"

namespace qzo::objmodel {
namespace {

// The library's folder with a trailing separator, or false when it cannot be found.
bool LibraryFolder(WCHAR (&folder)[MAX_PATH]) {
    WCHAR name[MAX_PATH] = {};
    if (platform::GetModuleFileName(platform::ThisModule(), name, MAX_PATH) == 0) return false;
    size_t cut = 0;
    for (size_t i = 0; name[i]; ++i)
        if (name[i] == u'/' || name[i] == u'\\') cut = i + 1;
    if (cut == 0) return false;
    std::memcpy(folder, name, cut * sizeof(WCHAR));
    folder[cut] = 0;
    return true;
}

void ReserveFailureList(LoadFailList& list) {
    if (list.pLoadFailList) return;
    list.pLoadFailList = static_cast<BYTE*>(platform::ReserveAddressRange(QZRTC_LOADFAIL_RANGE));
    list.dwSizeCommit = 0;
    list.dwTail = 0;
}

RegistryState* CreateRegistry() {
    auto* state = new RegistryState;
    // Usable before Init runs (classes registered by static constructors that run first).
    LibraryFolder(state->szWorkPath);
    ReserveFailureList(state->failures);
    return state;
}

}  // namespace

RegistryState& Registry() {
    static RegistryState& state = *CreateRegistry();
    return state;
}

RegistryLock::RegistryLock() {
    Registry().lock.Enter(__builtin_return_address(0));
}
RegistryLock::~RegistryLock() {
    Registry().lock.Leave();
}

void Report(int level, const WCHAR* format, ...) {
    if (!IsDebugOn()) return;
    va_list args;
    va_start(args, format);
    vwPrintf(3, level, format, args);
    va_end(args);
}

DWORD RunCtrlProc(PFNQZCLASSCTRLPROC proc, DWORD code, DWORD parameter, bool* faulted) {
    if (faulted) *faulted = false;
    if (!proc) return 0;
    try {
        return proc(code, parameter);
    } catch (...) {
        if (faulted) *faulted = true;
        return 0;
    }
}

}  // namespace qzo::objmodel

using namespace qzo::objmodel;

BOOL CQZRuntimeClass::Init() {
    RegistryState& state = Registry();
    RegistryLock hold;
    for (DWORD bucket = 0; bucket < QZRTC_BUCKETS; ++bucket) StoreHead(bucket, nullptr);
    state.count = 0;
    state.nextOrder = 0;
    WCHAR folder[MAX_PATH] = {};
    if (!LibraryFolder(folder)) {
        Report(4, u"\rCQZRuntimeClass::Init: Unable to retrieve startup dir\r\n");
        return FALSE;
    }
    std::memcpy(state.szWorkPath, folder, sizeof folder);
    ReserveFailureList(state.failures);
    return TRUE;
}

BOOL CQZRuntimeClass::Exit() {
    RegistryState& state = Registry();
    RegistryLock hold;
    LoadFailList& list = state.failures;
    qzo::platform::ReleaseAddressRange(list.pLoadFailList, QZRTC_LOADFAIL_RANGE);
    list = LoadFailList{};
    return TRUE;
}

BOOL CQZRuntimeClass::SetWorkingDir(const WCHAR* path) {
    if (!path) return FALSE;
    WCHAR folder[MAX_PATH] = {};
    size_t length = 0;
    while (path[length]) {
        if (length + 1 >= MAX_PATH) return FALSE;
        folder[length] = path[length];
        ++length;
    }
    // The separator that FU_FormatPath adds must fit as well; it refuses what does not.
    if (length > 0 && !FU_FormatPathEx(folder, MAX_PATH, u'/')) return FALSE;
    RegistryLock hold;
    std::memcpy(Registry().szWorkPath, folder, sizeof folder);
    return TRUE;
}

const WCHAR* CQZRuntimeClass::GetWorkingDir() {
    return Registry().szWorkPath;
}

DWORD CQZRuntimeClass::GetClassCount() {
    return Registry().count.load();
}
