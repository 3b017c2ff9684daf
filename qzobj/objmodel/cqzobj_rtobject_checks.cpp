// The run-time object base's self-checks: signature, plausibility of the object's memory and
// virtual table, class tests and the reported assertion.
#include <atomic>
#include <cstdint>

#include "qzobj/diag.h"
#include "qzobj/objmodel.h"
#include "qzobj/objmodel/cqzobj_rtobject_internal.h"
#include "qzobj/platform/code_segments.h"
#include "qzobj/platform/guard.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"

namespace qzo::objmodel {
namespace {

LONG AnalyseFault(EXCEPTION_POINTERS* pointers, void*) {
    AnalyseException(pointers);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The virtual-table pointer of the object, read under the fault guard; null when the object's
// memory cannot be read.
const void* ReadTablePointer(const CQZRTObject* object) {
    const void* table = nullptr;
    auto read = [&] {
        table = std::atomic_ref<const void*>(
                    *reinterpret_cast<const void**>(const_cast<CQZRTObject*>(object)))
                    .load(std::memory_order_relaxed);
    };
    if (!platform::Guarded(read, &AnalyseFault)) return nullptr;
    return table;
}

}  // namespace

bool IsSignatureAt(const void* memory) {
    DWORD signature = 0;
    auto read = [&] { signature = SignatureAt(memory).load(std::memory_order_acquire); };
    if (!platform::Guarded(read, &AnalyseFault)) return false;
    return signature == QZRTOBJ_SIGNATURE;
}

// A genuine table lies in a module's non-executable data and its first entry (the first
// virtual function) points into a module's code. Only then may the object be called through.
bool HasGenuineTable(const CQZRTObject* object) {
    const void* table = ReadTablePointer(object);
    if (reinterpret_cast<uintptr_t>(table) % alignof(void*) != 0) return false;
    if (!platform::IsInModuleSegment(table, sizeof(void*), platform::SegmentKind::kData))
        return false;
    const void* firstEntry = *static_cast<const void* const*>(table);
    return platform::IsInModuleSegment(firstEntry, 1, platform::SegmentKind::kCode);
}

// The object's class record through the virtual GetRuntimeClass, called only through a
// genuine table and under the fault guard; null on failure.
CQZRuntimeClass* GuardedRuntimeClass(const CQZRTObject* object) {
    if (!object || !HasGenuineTable(object)) return nullptr;
    CQZRuntimeClass* record = nullptr;
    auto call = [&] { record = object->GetRuntimeClass(); };
    if (!platform::Guarded(call, &AnalyseFault)) return nullptr;
    return record;
}

}  // namespace qzo::objmodel

QZO_EXAMINES_SUSPECT_OBJECTS BOOL CQZRTObject::IsValidSignature() const {
    return qzo::objmodel::IsSignatureAt(this) ? TRUE : FALSE;
}

void CQZRTObject::ClearSignature() {
    qzo::objmodel::ClearSignatureAt(this);
}

QZO_EXAMINES_SUSPECT_OBJECTS BOOL CQZRTObject::Assert() const {
    if (QueryLockCnt() == 0) return FALSE;
    return qzo::objmodel::HasGenuineTable(this) ? TRUE : FALSE;
}

// The signature is read first, so the words of a freed object are never trusted; the virtual
// Assert runs only through a genuine table.
QZO_EXAMINES_SUSPECT_OBJECTS BOOL CQZRTObject::AssertObject() const {
    if (!IsValidSignature()) return FALSE;
    if (!qzo::objmodel::HasGenuineTable(this)) return FALSE;
    try {
        return Assert() ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

QZO_EXAMINES_SUSPECT_OBJECTS BOOL CQZRTObject::IsKindOf(const CQZRuntimeClass* record) const {
    if (!record) return FALSE;
    const CQZRuntimeClass* own = qzo::objmodel::GuardedRuntimeClass(this);
    return own ? own->IsKindOf(record) : FALSE;
}

QZO_EXAMINES_SUSPECT_OBJECTS DWORD CQZRTObject::GetClassFamily(CQZRuntimeClass* const* records,
                                                               DWORD count) const {
    const CQZRuntimeClass* own = qzo::objmodel::GuardedRuntimeClass(this);
    return own ? own->GetClassFamily(records, count) : 0xFFFFFFFFu;
}

QZO_EXAMINES_SUSPECT_OBJECTS BOOL CQZRTObject::AssertValid(DWORD mode,
                                                           const CQZRuntimeClass* record,
                                                           void* caller, const char* file,
                                                           DWORD line) const {
    const char16_t* reason = nullptr;
    const CQZRuntimeClass* own = qzo::objmodel::GuardedRuntimeClass(this);
    if (!own) {
        reason = u"BAD ACCESS";
    } else if ((mode & 0xFFFF) == QZRTOBJ_ASSERT_TYPE && own != record) {
        reason = u"TYPE";
    } else if ((mode & 0xFFFF) == QZRTOBJ_ASSERT_KIND && !(record && own->IsKindOf(record))) {
        reason = u"KIND";
    } else if ((mode & 0xFFFF0000u) == QZRTOBJ_ASSERT_OBJECT && !AssertObject()) {
        reason = u"OBJECT";
    }
    if (!reason) return TRUE;
    wPrintf(3, 0, u"\r\nAssertion [%s] failed! Line: %d File:%hs\r\n", reason,
            static_cast<int>(line), file ? file : "");
    WalkCallStack(caller, nullptr, 1, nullptr);
    return FALSE;
}
