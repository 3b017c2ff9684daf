// LocFile: opening, sharing and closing an object file, its raw transfers and seeks, and the
// eleven process-wide counters that time its operations (reported when the library is unloaded).
#include "qzobj/store/objfile/locfile.h"

#include <new>

#include "qzobj/archive/chunk_engine.h"
#include "qzobj/archive/debug_print.h"
#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/uikit.h"

namespace qzo::store {
namespace {

constexpr size_t kCounters = static_cast<size_t>(LocFileCounter::kCount);
constexpr int kCounterChannel = 0;
constexpr int kCounterLevel = 15;

constexpr const char* kNames[kCounters] = {"Create", "OpenRW",    "OpenR",     "Write",
                                           "Read",   "Close",     "FilePtr",   "AccessInfo",
                                           "Lock",   "LastWrite", "Attributes"};

// Made once and never destroyed: files closed by static destructors still find them.
CBasePerfItem* Items() {
    static CBasePerfItem* items = new CBasePerfItem[kCounters];
    return items;
}

}  // namespace

CBasePerfItem& LocFileCounterItem(LocFileCounter counter) {
    return Items()[static_cast<size_t>(counter)];
}

const char* LocFileCounterName(LocFileCounter counter) {
    const size_t index = static_cast<size_t>(counter);
    return index < kCounters ? kNames[index] : "";
}

bool AttachLocFileCounters() {
    Items();
    return true;
}

void ReportLocFileCounters() {
    if (IsDebugOn()) wPrintf(kCounterChannel, kCounterLevel, u"\rLocFile::Performance\r\n");
    for (size_t i = 0; i < kCounters; ++i) Items()[i].Dump(kNames[i]);
}

}  // namespace qzo::store

using qzo::platform::GetLastError;
using qzo::platform::SetLastError;
using qzo::store::DebugPrint;
using qzo::store::LocFileCounter;
using qzo::store::LocFileTimer;

namespace {

constexpr char kSiteTag[] = "qzobj/locfile";
constexpr int kAllocationLine = 1;
constexpr int kProgrammingErrorLevel = 2;
constexpr int kFailureLevel = 3;
constexpr int kRefusalLevel = 4;
constexpr ULONGLONG kLargestPosition = 0xFFFFFFFFull;

bool Creates(DWORD disposition) {
    return disposition == CREATE_NEW || disposition == CREATE_ALWAYS;
}

// The counter an open is timed under; kCount when this disposition is not timed.
LocFileCounter OpenCounter(DWORD access, DWORD disposition) {
    if (Creates(disposition)) return LocFileCounter::kCreate;
    if (disposition == OPEN_EXISTING)
        return (access & LocFile::kWrite) ? LocFileCounter::kOpenRW : LocFileCounter::kOpenR;
    return LocFileCounter::kCount;
}

}  // namespace

void* LocFile::operator new(size_t size) noexcept {
    return qzo::memory::LocFileHeap().Alloc(static_cast<DWORD>(size), 0, kSiteTag, kAllocationLine);
}

void LocFile::operator delete(void* block) noexcept {
    if (block) qzo::memory::LocFileHeap().Free(block);
}

LocFile* LocFile::Open(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD systemAccess = (access & (kRead | kWrite)) | kRead;
    const LocFileCounter counter = OpenCounter(access, disposition);
    const ULONGLONG start = CBasePerfItem::GetCount();
    std::unique_ptr<qzo::platform::File> file =
        qzo::platform::File::Open(path, systemAccess, share, disposition, flags);
    if (counter != LocFileCounter::kCount) LocFileCounterItem(counter).Lapse(start);
    if (!file) return nullptr;  // the system's error stays for the caller

    LocFile* opened = Wrap(std::move(file), access);
    if (!opened && Creates(disposition)) {
        qzo::platform::DeleteFileUnlessOpen(path);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return opened;
}

LocFile* LocFile::OpenExisting(const std::string& native, DWORD access, DWORD share, DWORD flags) {
    const DWORD systemAccess = (access & (kRead | kWrite)) | kRead;
    const LocFileCounter counter = OpenCounter(access, OPEN_EXISTING);
    const ULONGLONG start = CBasePerfItem::GetCount();
    std::unique_ptr<qzo::platform::File> file =
        qzo::platform::File::OpenNative(native, systemAccess, share, OPEN_EXISTING, flags);
    LocFileCounterItem(counter).Lapse(start);
    if (!file) return nullptr;  // the system's error stays for the caller
    return Wrap(std::move(file), access);
}

LocFile* LocFile::Wrap(std::unique_ptr<qzo::platform::File> file, DWORD access) {
    void* memory = operator new(sizeof(LocFile));
    if (!memory) {
        {
            LocFileTimer timer(LocFileCounter::kClose);
            file->Close();
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return ::new (memory) LocFile(std::move(file), access | kRead);
}

LocFile::LocFile(std::unique_ptr<qzo::platform::File> file, DWORD access)
    : m_hFile(std::move(file)),
      m_dwFileAccess((access & kWrite) ? (access & (kRead | kWrite | kEdit)) : kRead),
      m_dwCurrentAccess((access & kWrite) ? access : kRead),
      m_AccessInfo(qzo::store::locfile_format::EmptyAccessInfo()) {
    qzo::store::ChunkEngine::Reset(m_Layers);
}

LocFile::~LocFile() = default;

DWORD LocFile::HandleNumber() const {
    return m_hFile ? static_cast<DWORD>(m_hFile->descriptor()) : 0xFFFFFFFFu;
}

void LocFile::AddRef() {
    m_uOpenCnt.fetch_add(1, std::memory_order_relaxed);
}

BOOL LocFile::Close() {
    DWORD count = m_uOpenCnt.load(std::memory_order_relaxed);
    while (count > 1) {
        if (m_uOpenCnt.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel))
            return TRUE;
    }
    m_cs.Enter();
    const DWORD locks = m_uLockCnt.load(std::memory_order_relaxed);
    if (locks != 0) {
        DebugPrint(kProgrammingErrorLevel,
                   u"\rLocFile:Close %08X FileLock count (%u) wasn't zero at close!!\r\n",
                   HandleNumber(), locks);
        WarningMsg(u"CLOSE HISTORY", GetAddress(), GetEBP());
        ReleaseHeldLocks();
    }
    m_cs.Leave();
    Destroy();
    return TRUE;
}

void LocFile::ReleaseHeldLocks() {
    // Every Lock that succeeded kept one entry of the section; holding the section now means
    // this thread is the one that took them. The byte ranges go with the handle.
    for (DWORD locks = m_uLockCnt.exchange(0); locks > 0; --locks) m_cs.Leave();
}

void LocFile::Destroy() {
    if (m_hFile) {
        if (m_Layers.dwLayerCnt > 0) Chnk_Close(0);
        StripOwnTrailer();
        ReleaseMarker();
        LocFileTimer timer(LocFileCounter::kClose);
        m_hFile->Close();
        m_hFile.reset();
    }
    m_uOpenCnt.store(0, std::memory_order_relaxed);
    delete this;
}

DWORD LocFile::RawWrite(const void* data, DWORD count) {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    m_bModified = true;
    if (ULONGLONG(m_dwFilePtr) + count > kLargestPosition) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD written = 0;
    bool done;
    {
        LocFileTimer timer(LocFileCounter::kWrite);
        done = m_hFile->Write(data, count, written);
    }
    m_dwFilePtr += written;
    if (!done) {
        const DWORD error = GetLastError();
        DebugPrint(kFailureLevel, u"\rLocFile: Error writing file, code %u\r\n", error);
        WarningMsg(u"Debug info follows:", GetAddress(), GetEBP());
        SetLastError(error);
        return 0;
    }
    m_ftLastWrite = FILETIME{};
    return written;
}

DWORD LocFile::RawRead(void* data, DWORD count) {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD got = 0;
    bool done;
    {
        LocFileTimer timer(LocFileCounter::kRead);
        done = m_hFile->Read(data, count, got);
    }
    m_dwFilePtr += got;
    if (!done) {
        const DWORD error = GetLastError();
        DebugPrint(kFailureLevel, u"\rLocFile: Error reading file, code %u\r\n", error);
        WarningMsg(u"Debug info follows:", GetAddress(), GetEBP());
        SetLastError(error);
        return 0;
    }
    return got;
}

DWORD LocFile::RawSeek(LONGLONG distance, DWORD method) {
    if (!IsOpen()) {
        DebugPrint(kRefusalLevel, u"\rLocFile::SetFilePtr: Invalid handle\r\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return kNoPosition;
    }
    uint64_t position = 0;
    bool done;
    {
        LocFileTimer timer(LocFileCounter::kFilePtr);
        done = m_hFile->Seek(distance, method, position);
        // Positions are 32-bit: one that is not representable is refused and undone.
        if (done && position >= kLargestPosition) {
            m_hFile->Seek(m_dwFilePtr, FILE_BEGIN, position);
            SetLastError(ERROR_NEGATIVE_SEEK);
            done = false;
        }
    }
    if (!done) return kNoPosition;
    m_dwFilePtr = static_cast<DWORD>(position);
    return m_dwFilePtr;
}

bool LocFile::FileSize(ULONGLONG& size) const {
    uint64_t bytes = 0;
    if (!IsOpen() || !m_hFile->GetSize(bytes)) return false;
    size = bytes;
    return true;
}

DWORD LocFile::Write(const void* data, DWORD count) {
    if (IsChunkMode()) {
        DebugPrint(kRefusalLevel, u"\rLocFile::Write: Not allowed while in chunk mode\r\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!data && count > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RawWrite(data, count);
}

DWORD LocFile::Read(void* data, DWORD count) {
    if (IsChunkMode()) {
        DebugPrint(kRefusalLevel, u"\rLocFile::Read: Not allowed while in chunk mode\r\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!data && count > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RawRead(data, count);
}

DWORD LocFile::SetFilePtr(LONG distance, DWORD method) {
    if (IsChunkMode()) {
        DebugPrint(kRefusalLevel, u"\rLocFile::SetFilePtr: Not allowed while in chunk-mode\r\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return kNoPosition;
    }
    return RawSeek(distance, method);
}

DWORD LocFile::GetFilePtr() const {
    return IsOpen() ? m_dwFilePtr : kNoPosition;
}

BOOL LocFile::SetEOF() {
    if (IsChunkMode()) {
        DebugPrint(kRefusalLevel, u"\rLocFile::SetEOF not allowed while in chunk mode\r\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!WriteAccessInfo()) return FALSE;
    return m_hFile->SetEndOfFile() ? TRUE : FALSE;
}

BOOL LocFile::Flush() {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    m_ftLastWrite = FILETIME{};
    return m_hFile->Flush() ? TRUE : FALSE;
}

BOOL LocFile::SetAccess(DWORD mode) {
    if (!(mode & (kRead | kWrite | kEdit))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD access = mode & (kRead | kWrite | kEdit);
    if (access & kEdit) {
        if (!(m_dwFileAccess & kWrite)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        access |= kRead;
    }
    m_dwCurrentAccess = access;
    return TRUE;
}
