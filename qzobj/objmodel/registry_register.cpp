// Registration and unregistration of class records. The module queries (file name, image test,
// display name) are made before the registry lock is taken: they need the dynamic loader's lock,
// which a thread running a driver's constructor already holds while it waits for ours.
#include <cstring>

#include "qzobj/hashid.h"
#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/platform/driver_modules.h"
#include "qzobj/platform/module.h"
#include "qzobj/uikit.h"

namespace qzo::objmodel {
namespace {

// Longest walk up a base chain; a longer one is a cycle in damaged records.
constexpr int kMaxBaseDepth = 4096;

// What registration learns about the defining module before it takes the lock.
struct ModuleFacts {
    bool hasPath = false;
    WCHAR path[MAX_PATH] = {};
    bool outsideLibrary = false;
    WCHAR displayName[128] = {};
};

ModuleFacts QueryModule(HINSTANCE instance, const CQZRuntimeClass* record) {
    ModuleFacts facts;
    // A null instance names the main program here; the attempt refuses it anyway.
    facts.hasPath = platform::GetModuleFileName(instance, facts.path, MAX_PATH) != 0;
    facts.outsideLibrary = !platform::IsLibraryImage(record);
    if (instance) LLoadStringW(instance, record->uNameID, facts.displayName, 128);
    return facts;
}

bool NameIsTerminated(const CQZRuntimeClass* record) {
    return std::memchr(record->szClassName, 0, sizeof record->szClassName) != nullptr;
}

// 1 when the record and its whole base chain are persistent, 0 when one is not, -1 for a chain
// that does not end.
int ChainIsPersistent(const CQZRuntimeClass* record) {
    int depth = 0;
    for (const CQZRuntimeClass* at = record; at; at = at->pBaseClass) {
        if (++depth > kMaxBaseDepth) return -1;
        if (!(LoadFlags(at) & QZRTC_PERSISTENT)) return 0;
    }
    return 1;
}

// The registration attempt proper, with the lock held; the result becomes dwStatus.
DWORD Attempt(CQZRuntimeClass* record, HINSTANCE instance, CQZRuntimeClass* base,
              DWORD expectedBaseSize, const ModuleFacts& facts) {
    if (!instance) return QZRTC_NOINSTANCE;
    if (base) {
        if (LoadStatus(base) != QZRTC_REGISTERED) return QZRTC_NOBASE;
        if (base->dwObjSize != expectedBaseSize) return QZRTC_BADSIZE;
    }
    if (record->cbSize != sizeof(CQZRuntimeClass)) return QZRTC_BADSIZE;
    if (!NameIsTerminated(record)) return QZRTC_FAULTPREPARE;
    record->dwHashID = GetHashID(record->szClassName);
    record->hInstance = instance;
    std::memcpy(record->szDisplayName, facts.displayName, sizeof record->szDisplayName);

    DWORD flags = LoadFlags(record) & QZRTC_DECLAREDFLAGS;
    if (facts.outsideLibrary) flags |= QZRTC_NOTLIBRARY;
    const int persistent = ChainIsPersistent(record);
    if (persistent < 0) return QZRTC_FAULTPREPARE;
    if (!persistent) flags &= ~QZRTC_PERSISTENT;

    record->dwDataID = 0;
    if (record->pfnClassCtrlProc) {
        bool faulted = false;
        if (RunCtrlProc(record->pfnClassCtrlProc, QZRTC_CTRL_FLAG, 0, &faulted))
            flags |= QZRTC_CTRL3;
        if (faulted) return QZRTC_CTRLFAULT;
        record->dwDataID = RunCtrlProc(record->pfnClassCtrlProc, QZRTC_CTRL_DATAID, 0, &faulted);
        if (faulted) return QZRTC_CTRLFAULT;
    }
    if (record->dwDataID == 0 && base) record->dwDataID = base->dwDataID;
    if ((flags & QZRTC_PERSISTENT) && !record->pfnCreateObject) return QZRTC_NOFACTORY;
    if (!IsDirectoryAddress(record->dwHashID)) return QZRTC_FAULTPREPARE;

    StoreFlags(record, flags);
    RegistryState& state = Registry();
    if (!LinkRecord(record)) return QZRTC_DUPLICATE;
    // Linked, numbered and counted under one holding of the lock, so the count always matches
    // the directory and order numbers are unique and rising.
    record->dwOrder = state.nextOrder++;
    StoreFlags(record, flags | QZRTC_FIRSTCALL);
    ++state.count;
    return QZRTC_REGISTERED;
}

}  // namespace
}  // namespace qzo::objmodel

using namespace qzo::objmodel;

DWORD CQZRuntimeClass::RegisterClass(HINSTANCE instance, CQZRuntimeClass* base,
                                     DWORD expectedBaseSize) {
    const ModuleFacts facts = QueryModule(instance, this);
    DWORD result;
    {
        RegistryLock hold;
        if (IsLinked(this)) {
            // Rewriting a live record would cut its flags and refuse its derived classes.
            result = QZRTC_DUPLICATE;
        } else {
            pBaseClass = base;
            if (!facts.hasPath) return QZRTC_NOINSTANCE;
            std::memcpy(szDLLPath, facts.path, sizeof szDLLPath);
            result = Attempt(this, instance, base, expectedBaseSize, facts);
            StoreStatus(this, result);
        }
    }
    if (result != QZRTC_REGISTERED)
        Report(4, u"RegisterClass for %hs returned %u\r\n", szClassName, result);
    return result;
}

DWORD CQZRuntimeClass::UnRegisterClass() {
    DWORD result = QZRTC_NOTFOUND;
    {
        RegistryLock hold;
        const DWORD status = LoadStatus(this);
        if (status == QZRTC_UNREGISTERED) return 0;
        const bool linked = IsLinked(this);
        if (status == QZRTC_FREED && !linked) {
            // Taken out of the directory while the registry frees its library.
            StoreStatus(this, QZRTC_UNREGISTERED);
            return 0;
        }
        if (linked && UnlinkRecord(this)) {
            StoreStatus(this, QZRTC_UNREGISTERED);
            --Registry().count;
            result = 0;
        }
    }
    if (result != 0) Report(4, u"UnRegisterClass for %hs returned %u\r\n", szClassName, result);
    return result;
}
