// The persistent object base: its class record, construction and copies, the version chunk and
// the empty non-versioned chunk, references with the deletion watch, and the plain hooks a
// derived class overrides.
#include <algorithm>
#include <atomic>
#include <cstddef>

#include "qzobj/objmodel/cqzobj_rtobject_internal.h"
#include "qzobj/persistent.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/store.h"
#include "qzobj/uikit.h"

namespace {

constexpr GUID kPersistentObjectGuid = {
    0x6B1F4E00, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};

// The name of the outer chunk and of the inner chunk holding the version.
constexpr char kChunkName[] = "CQZObject";
constexpr unsigned kOpenFailed = 0xFFFFFFFFu;
constexpr DWORD kVersionBytes = 4;

// The deletion watch: object IDs in [min, max) and, with trace set, every virtual object. Plain
// process-wide words, set at application start and read back at its end.
std::atomic<DWORD> g_minFreeWatch{0};
std::atomic<DWORD> g_maxFreeWatch{0};
std::atomic<int> g_traceVirtual{0};

// Watch lines carry the low half of the object's address, as the 32-bit layout of the line
// has room for.
DWORD AddressWord(const void* object) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(object));
}

void PutLe32(BYTE* out, DWORD value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD GetLe32(const BYTE* in) {
    return DWORD{in[0]} | DWORD{in[1]} << 8 | DWORD{in[2]} << 16 | DWORD{in[3]} << 24;
}

}  // namespace

CQZRuntimeClass classCQZObject = {
    sizeof(CQZRuntimeClass),                // cbSize
    sizeof(CQZObject),                      // dwObjSize
    "CQZObject",                            // szClassName
    40001,                                  // uNameID: "QZ base class"
    {},                                     // szDisplayName
    {},                                     // szDLLPath
    nullptr,                                // hInstance
    0,                                      // dwHashID
    kPersistentObjectGuid,                  // guid
    QZRTC_PERSISTENT | QZRTC_RECORDEDPATH,  // dwFlags
    0,                                      // dwOrder
    0,                                      // dwDataID
    &CQZObject::CreateObject,               // pfnCreateObject
    nullptr,                                // pfnClassCtrlProc
    nullptr,                                // pBaseClass
    nullptr,                                // pNext
    QZRTC_NEVER,                            // dwStatus
    QZOBJ_VTBL_VERSION,                     // dwVTblVersion
    {},                                     // reserved
};

CQZObject::CQZObject() {
    static constexpr WCHAR kEdit[] = u"Edit";
    std::copy(std::begin(kEdit), std::end(kEdit), m_szUndoComment);
}

// Every field is copied; the lock count and signature are the new object's own (a copy starts
// with one reference), the self-locator shares the source's file through its copy constructor.
CQZObject::CQZObject(const CQZObject& source)
    : CQZRTObject(source),
      m_Locator(source.m_Locator),
      m_dwVersion(source.m_dwVersion),
      m_ftLastWrite(source.m_ftLastWrite),
      m_StateNotify(source.m_StateNotify),
      m_dwChangeFlags(source.m_dwChangeFlags),
      m_dwChangeCnt(source.m_dwChangeCnt),
      m_dwChangeGrade(source.m_dwChangeGrade),
      m_dwModifyID(source.m_dwModifyID),
      m_ParentLocation(source.m_ParentLocation) {
    std::copy(std::begin(source.m_szUndoComment), std::end(source.m_szUndoComment),
              m_szUndoComment);
}

// The callback list and the self-locator (which releases its access) go with their members.
CQZObject::~CQZObject() = default;

CQZRuntimeClass* CQZObject::GetRuntimeClass() const {
    return &classCQZObject;
}

CQZRuntimeClass* CQZObject::GetClassRegisterPtr() {
    return &classCQZObject;
}

CQZRTObject* CQZObject::CreateObject() {
    return new CQZObject;
}

void CQZObject::FreeObject() {
    delete this;
}

// Chunk "CQZObject" holding chunk "CQZObject" with the version, little-endian.
BOOL CQZObject::StoreData(CQZArchive& archive) {
    if (!CQZRTObject::StoreData(archive)) return FALSE;
    const unsigned layer = archive.Chnk_Open(kChunkName, CHNK_WRITE);
    if (layer == kOpenFailed) return FALSE;
    BYTE version[kVersionBytes];
    PutLe32(version, m_dwVersion);
    const BOOL stored = StoreMemory(archive, kChunkName, version, kVersionBytes);
    const BOOL closed = archive.Chnk_Close(layer);
    return stored && closed ? TRUE : FALSE;
}

// A shorter inner chunk gives the low bytes of the version; a missing one fails and leaves the
// version as it was.
BOOL CQZObject::LoadData(CQZArchive& archive) {
    if (!CQZRTObject::LoadData(archive)) return FALSE;
    const unsigned layer = archive.Chnk_Open(kChunkName, CHNK_READ);
    if (layer == kOpenFailed) return FALSE;
    BYTE version[kVersionBytes] = {};
    const BOOL loaded = LoadMemory(archive, kChunkName, version, kVersionBytes);
    archive.Chnk_Close(layer);
    if (!loaded) return FALSE;
    m_dwVersion = GetLe32(version);
    return TRUE;
}

BOOL CQZObject::StoreNT(CQZArchive& archive) {
    return StoreMemory(archive, kChunkName, nullptr, 0);
}

BOOL CQZObject::LoadNT(CQZArchive& archive) {
    return LoadMemory(archive, kChunkName, nullptr, 0);
}

BOOL CQZObject::Assert() const {
    return CQZRTObject::Assert();
}

BOOL CQZObject::Lock() {
    return CQZRTObject::Lock() ? TRUE : FALSE;
}

// Of several threads dropping the last references, exactly one sees the count at 1: it gives up
// write access and tells the callbacks before the reference (and with it the object) goes.
void CQZObject::DelObject() {
    if (!IsValidSignature()) {
        wPrintf(0, 2, u"\rCQZObject::DelObject() called for INVALID object\r\n");
        WalkCallStack(nullptr, __builtin_frame_address(0), -1, nullptr);
        return;
    }
    WatchDeletion(QueryLockCnt());
    DWORD current = 0;
    if (ReleaseUnlessLast(&current)) return;
    if (current == 0) return;
    ReleaseAccess();
    Notify(QZOBJ_NOTIFY_DELETING, 0);
    CQZRTObject::DelObject();
}

// Watch lines go to the debug output whether or not the debug switch is on.
void CQZObject::WatchDeletion(DWORD lockCount) {
    const bool traced = (m_dwChangeFlags & QZOBJ_DELTRACE) != 0;
    if (m_Locator.QueryFlags() & LOCATOR_VIRTUAL) {
        if (!traced && g_traceVirtual.load(std::memory_order_relaxed) == 0) return;
        const CQZRuntimeClass* record = GetRuntimeClass();
        wPrintf(0, 9, u"\rCQZObject::DelObject(VIRTUAL:%hs[*%08X]) watch, LockCnt = %u\r\n",
                record ? record->szClassName : "", AddressWord(this), lockCount);
        WalkCallStack(nullptr, __builtin_frame_address(0), -1, nullptr);
        return;
    }
    const DWORD id = m_Locator.GetObjID();
    const bool inRange = id >= g_minFreeWatch.load(std::memory_order_relaxed) &&
                         id < g_maxFreeWatch.load(std::memory_order_relaxed);
    if (!traced && !inRange) return;
    wPrintf(0, 9, u"\rCQZObject::DelObject(0x%08x[*%08X]) watch, LockCnt = %u\r\n", id,
            AddressWord(this), lockCount);
    WalkCallStack(nullptr, __builtin_frame_address(0), -1, nullptr);
}

void CQZObject::GetFreeWatchRange(DWORD& min, DWORD& max, int& trace) {
    min = g_minFreeWatch.load(std::memory_order_relaxed);
    max = g_maxFreeWatch.load(std::memory_order_relaxed);
    trace = g_traceVirtual.load(std::memory_order_relaxed);
}

// The lower bound never exceeds the upper one, so reversed bounds watch nothing.
void CQZObject::SetFreeWatchRange(DWORD min, DWORD max, int trace) {
    g_minFreeWatch.store(std::min(min, max), std::memory_order_relaxed);
    g_maxFreeWatch.store(max, std::memory_order_relaxed);
    g_traceVirtual.store(trace, std::memory_order_relaxed);
}

DWORD CQZObject::ObjProc(DWORD, DWORD, DWORD) {
    return 0;
}

DWORD CQZObject::GetDataID() {
    return m_Locator.GetDataID();
}

BOOL CQZObject::ProjDestroy(DWORD) {
    return TRUE;
}

void CQZObject::TagUsed() {
    m_Locator.TagUsed();
}

BOOL CQZObject::UnDestroy() {
    return TRUE;
}

BOOL CQZObject::Unwind(DWORD, CQZObject*) {
    return TRUE;
}

BOOL CQZObject::QuerySystemObject() const {
    return m_Locator.IsValid() && m_Locator.GetObjID() < 1024 ? TRUE : FALSE;
}
