// Walks over the directory under the registry lock (enumerations, class lists, kinship) and the
// checks a class offers to the classes derived from it.
#include "qzobj/diag.h"
#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/platform/guard.h"

namespace qzo::objmodel {
namespace {

constexpr int kMaxBaseDepth = 4096;
constexpr DWORD kListGrowth = 10;  // pointers added when a class list is full

// Visits every visible record, bucket by bucket, with the lock held. `visit` returns false to
// stop; then the walk returns true. An exception thrown while visiting skips the rest of that
// bucket.
template <class Visit>
bool WalkVisible(Visit&& visit) {
    RegistryLock hold;
    for (DWORD bucket = 0; bucket < QZRTC_BUCKETS; ++bucket) {
        try {
            for (CQZRuntimeClass* at = LoadHead(bucket); at; at = LoadNext(at)) {
                if (LoadFlags(at) & QZRTC_HIDDEN) continue;
                if (!visit(at)) return true;
            }
        } catch (...) {
        }
    }
    return false;
}

bool IsKind(const CQZRuntimeClass* record, const CQZRuntimeClass* ancestor) {
    if (!ancestor) return false;
    int depth = 0;
    for (const CQZRuntimeClass* at = record; at && depth < kMaxBaseDepth; at = at->pBaseClass) {
        if (at == ancestor) return true;
        ++depth;
    }
    return false;
}

bool CallBack(PFNQZENUMCLASSES callback, CQZRuntimeClass* record, uintptr_t parameter) {
    return callback(record, parameter) != 0;
}

LONG ReportFault(EXCEPTION_POINTERS* pointers, void*) {
    AnalyseException(pointers);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The two fields the checks compare, read under the fault guard.
struct CheckedFields {
    const CQZRuntimeClass* record;
    DWORD dwObjSize = 0;
    DWORD dwVTblVersion = 0;
};

bool ReadChecked(CheckedFields& fields) {
    auto read = [&fields] {
        fields.dwObjSize = fields.record->dwObjSize;
        fields.dwVTblVersion = fields.record->dwVTblVersion;
    };
    return platform::Guarded(read, &ReportFault);
}

const char* NameOf(const CQZRuntimeClass* record) {
    return record ? record->szClassName : "";
}

}  // namespace
}  // namespace qzo::objmodel

using namespace qzo::objmodel;

BOOL CQZRuntimeClass::EnumClasses(PFNQZENUMCLASSES callback, uintptr_t parameter) {
    if (!callback) return FALSE;
    return WalkVisible([&](CQZRuntimeClass* at) { return CallBack(callback, at, parameter); });
}

BOOL CQZRuntimeClass::EnumKindClasses(PFNQZENUMCLASSES callback, uintptr_t parameter) const {
    if (!callback) return FALSE;
    return WalkVisible([&](CQZRuntimeClass* at) {
        return !IsKind(at, this) || CallBack(callback, at, parameter);
    });
}

BOOL CQZRuntimeClass::EnumChildClasses(PFNQZENUMCLASSES callback, uintptr_t parameter) const {
    if (!callback) return FALSE;
    return WalkVisible([&](CQZRuntimeClass* at) {
        return at == this || !IsKind(at, this) || CallBack(callback, at, parameter);
    });
}

BOOL CQZRuntimeClass::IsKindOf(const CQZRuntimeClass* record) const {
    RegistryLock hold;
    return IsKind(this, record);
}

DWORD CQZRuntimeClass::GetClassFamily(CQZRuntimeClass* const* records, DWORD count) const {
    if (!records) return 0xFFFFFFFF;
    RegistryLock hold;
    for (DWORD i = 0; i < count; ++i)
        if (IsKind(this, records[i])) return i;
    return 0xFFFFFFFF;
}

CPMemory CQZRuntimeClass::GetClassList() {
    CPMemory list;
    RegistryLock hold;
    DWORD capacity = Registry().count.load();
    if (capacity == 0) capacity = kListGrowth;
    if (!list.Alloc(capacity * sizeof(CQZRuntimeClass*))) return list;
    DWORD used = 0;
    bool failed = false;
    WalkVisible([&](CQZRuntimeClass* at) {
        if (used == capacity) {
            capacity += kListGrowth;
            if (!list.Realloc(capacity * sizeof(CQZRuntimeClass*))) {
                failed = true;
                return false;
            }
        }
        static_cast<CQZRuntimeClass**>(list.GetDataPtr())[used++] = at;
        return true;
    });
    if (failed || used == 0)
        list.Free();
    else
        list.SetSize(used * sizeof(CQZRuntimeClass*));
    return list;
}

void CQZRuntimeClass::DumpClasses() {
    if (!IsDebugOn()) return;
    WalkVisible([](CQZRuntimeClass* at) {
        const GUID& g = at->guid;
        Report(9, u"\rClass %hs [%s]", at->szClassName, at->szDisplayName);
        Report(9, u"\r  DLL   : %s", at->szDLLPath);
        Report(9, u"\r  HashID: %08X", at->dwHashID);
        Report(9, u"\r  GUID  : %08X-%04X-%04X-%02X%02X%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2,
               g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
               g.Data4[6], g.Data4[7]);
        return true;
    });
}

DWORD CQZRuntimeClass::CallClassCtrlProc(DWORD code, DWORD parameter) const {
    return RunCtrlProc(pfnClassCtrlProc, code, parameter, nullptr);
}

BOOL CQZRuntimeClass::CheckVTblVersion(DWORD expectedVersion,
                                       const CQZRuntimeClass* dependent) const {
    CheckedFields fields{this};
    if (!ReadChecked(fields)) {
        Report(2, u"CQZRuntimeClass::CheckVTblVersion failed with access exception");
        return FALSE;
    }
    if (fields.dwVTblVersion == expectedVersion) return TRUE;
    Report(4,
           u"CQZRuntimeClass::CheckVTblVersion of baseclass (%hs:%hs): Expected %u, found %u\r\n",
           szClassName, NameOf(dependent), expectedVersion, fields.dwVTblVersion);
    return FALSE;
}

BOOL CQZRuntimeClass::CheckRTClass(DWORD expectedSize, DWORD expectedVersion) const {
    CheckedFields fields{this};
    if (!ReadChecked(fields)) {
        Report(2, u"CQZRuntimeClass::CheckRTClass failed with access exception");
        return FALSE;
    }
    if (expectedSize != 0xFFFFFFFF && fields.dwObjSize != expectedSize) {
        Report(4, u"CQZRuntimeClass::CheckRTClass of class (%hs): Expected size %u, found %u\r\n",
               szClassName, expectedSize, fields.dwObjSize);
        return FALSE;
    }
    if (expectedVersion != 0xFFFFFFFF && fields.dwVTblVersion != expectedVersion) {
        Report(4,
               u"CQZRuntimeClass::CheckRTClass of class (%hs): Expected VTbl version %u, found "
               u"%u\r\n",
               szClassName, expectedVersion, fields.dwVTblVersion);
        return FALSE;
    }
    return TRUE;
}
