// The run-time object base: its class record, construction and copies, the lock count and
// allocation from the object heap.
#include <atomic>
#include <cstddef>
#include <new>

#include "qzobj/memory.h"
#include "qzobj/objmodel.h"
#include "qzobj/objmodel/cqzobj_rtobject_internal.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"

namespace {
constexpr GUID kRootObjectGuid = {
    0x6B1F4E01, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};
}  // namespace

CQZRuntimeClass classCQZRTObject = {
    sizeof(CQZRuntimeClass),     // cbSize
    sizeof(CQZRTObject),         // dwObjSize
    "CQZRTObject",               // szClassName
    40002,                       // uNameID: "RT object base class"
    {},                          // szDisplayName
    {},                          // szDLLPath
    nullptr,                     // hInstance
    0,                           // dwHashID
    kRootObjectGuid,             // guid
    QZRTC_PERSISTENT,            // dwFlags
    0,                           // dwOrder
    0,                           // dwDataID
    &CQZRTObject::CreateObject,  // pfnCreateObject
    nullptr,                     // pfnClassCtrlProc
    nullptr,                     // pBaseClass
    nullptr,                     // pNext
    QZRTC_NEVER,                 // dwStatus
    1,                           // dwVTblVersion
    {},                          // reserved
};

CQZRTObject::CQZRTObject() : m_dwSignature(QZRTOBJ_SIGNATURE), m_dwLockCnt(1) {}

// A copy is a new object: one reference of its own and a valid signature, whatever the state of
// the source.
CQZRTObject::CQZRTObject(const CQZRTObject&) : CQZRTObject() {}

// Both words describe this object's own memory and references, so assignment leaves them.
CQZRTObject& CQZRTObject::operator=(const CQZRTObject&) {
    return *this;
}

// The signature stays until operator delete gives the memory back.
CQZRTObject::~CQZRTObject() = default;

CQZRuntimeClass* CQZRTObject::GetRuntimeClass() const {
    return &classCQZRTObject;
}

CQZRuntimeClass* CQZRTObject::GetClassRegisterPtr() {
    return &classCQZRTObject;
}

CQZRTObject* CQZRTObject::CreateObject() {
    return new CQZRTObject;
}

void* CQZRTObject::operator new(size_t size) noexcept {
    void* block = nullptr;
    if (size <= 0xFFFFFFFFu)
        block = qzo::memory::ObjHeap().Alloc(
            static_cast<DWORD>(size), 0, qzo::objmodel::kCqzobjSite, qzo::objmodel::kObjectNewLine,
            __builtin_return_address(0));
    if (!block)
        wPrintf(3, 4, u"\rCQZRTObject::new: Could not allocate %u bytes\r\n",
                static_cast<DWORD>(size));
    return block;
}

// Runs after the destructor, so the dead object is treated as raw memory: no member of it is
// called, and its signature word is read and cleared through atomic accesses that the compiler
// cannot drop as stores to dead memory.
void CQZRTObject::operator delete(void* pointer) {
    if (!pointer) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    static_assert(offsetof(CQZRTObject, m_dwSignature) == qzo::objmodel::kSignatureOffset,
                  "the signature word follows the virtual-table pointer");
#pragma GCC diagnostic pop
    if (!qzo::objmodel::IsSignatureAt(pointer)) {
        wPrintf(3, 1, u"CQZRTObject: Delete bad signature\r\n");
        return;
    }
    qzo::objmodel::ClearSignatureAt(pointer);
    qzo::memory::ObjHeap().Free(pointer);
}

void CQZRTObject::FreeObject() {
    delete this;
}

BOOL CQZRTObject::StoreData(CQZArchive&) {
    return TRUE;
}

BOOL CQZRTObject::LoadData(CQZArchive&) {
    return TRUE;
}

BOOL CQZRTObject::Load(CQZArchive&) {
    return TRUE;
}

BOOL CQZRTObject::Store(CQZArchive&) {
    return TRUE;
}

BOOL CQZRTObject::Lock() {
    std::atomic_ref<DWORD>(m_dwLockCnt).fetch_add(1, std::memory_order_relaxed);
    return TRUE;
}

QZO_EXAMINES_SUSPECT_OBJECTS DWORD CQZRTObject::QueryLockCnt() const {
    return std::atomic_ref<DWORD>(const_cast<DWORD&>(m_dwLockCnt)).load(std::memory_order_relaxed);
}

BOOL CQZRTObject::ReleaseUnlessLast(DWORD* seen) {
    std::atomic_ref<DWORD> count(m_dwLockCnt);
    DWORD current = count.load(std::memory_order_acquire);
    BOOL released = FALSE;
    while (current > 1 && !released)
        released = count.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                               std::memory_order_acquire);
    if (seen) *seen = current;
    return released;
}

// A compare-and-swap loop, so that racing calls never take the count below 0 and exactly one
// of them sees it reach 0 and frees the object.
void CQZRTObject::DelObject() {
    if (!IsValidSignature()) {
        wPrintf(0, 2, u"\rCQZRTObject::DelObject() called for INVALID object\r\n");
        // The walk starts at this function's frame, whose return address leads into the caller.
        WalkCallStack(nullptr, __builtin_frame_address(0), -1, nullptr);
        return;
    }
    std::atomic_ref<DWORD> count(m_dwLockCnt);
    DWORD current = count.load(std::memory_order_relaxed);
    do {
        if (current == 0) return;
    } while (!count.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
    if (current == 1) FreeObject();
}
