// CQZFile mappings: a view of the file at an offset rounded down to the allocation granularity,
// opened for the mapping or made of an already open file (which then stays open on unmapping).
#include <algorithm>

#include "qzobj/file.h"
#include "qzobj/os/file_handles.h"
#include "qzobj/platform/last_error.h"

namespace {

using qzo::os::PlatformFile;
using qzo::os::PlatformMapping;
namespace platform = qzo::platform;

constexpr DWORD kUnset = 0xFFFFFFFFu;
constexpr DWORD kMapFlags = 0x10000080u;  // normal attributes, random access
constexpr DWORD kWholeFileMapping = 0x1;  // options bit 0: the mapping spans the whole file

void* Refuse(DWORD error) {
    platform::SetLastError(error);
    return nullptr;
}

}  // namespace

void* CQZFile::MapFile(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD protect,
                       DWORD offset, DWORD size, const WCHAR* mappingName, DWORD viewAccess,
                       DWORD options) {
    COSAutoLock hold(m_csThread);
    return MapLocked(access, share, creation, flags, protect, offset, size, mappingName, viewAccess,
                     options);
}

void* CQZFile::MapLocked(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD protect,
                         DWORD offset, DWORD size, const WCHAR* mappingName, DWORD viewAccess,
                         DWORD options) {
    if (m_hMapping) return nullptr;
    const bool allUnset =
        access == kUnset && share == kUnset && creation == kUnset && flags == kUnset;
    const bool noneUnset =
        access != kUnset && share != kUnset && creation != kUnset && flags != kUnset;
    const DWORD keptBefore = m_dwFlags & kKeepOpen;
    if (IsOpen()) {
        // An open file keeps its own modes: the caller must not name others.
        if (!allUnset) return nullptr;
        m_dwFlags |= kKeepOpen;
    } else {
        if (!noneUnset) return nullptr;
        if (size == 0 && (creation == CREATE_NEW || creation == CREATE_ALWAYS)) return nullptr;
        if (OpenLocked(access, share, creation, flags, 0) != kOpened) return nullptr;
    }
    void* address = MapOpenFile(protect, offset, size, mappingName, viewAccess, options);
    if (!address) {
        const DWORD error = platform::GetLastError();
        if (!(m_dwFlags & kKeepOpen)) CloseHandles();
        m_dwFlags = (m_dwFlags & ~kKeepOpen) | keptBefore;
        platform::SetLastError(error);
    }
    return address;
}

void* CQZFile::MapOpenFile(DWORD protect, DWORD offset, DWORD size, const WCHAR* mappingName,
                           DWORD viewAccess, DWORD options) {
    platform::File& file = *PlatformFile(m_hFile);
    const bool written = WriteCachedBytes();
    if (!FlushSystemBuffers() || !written) return nullptr;
    const DWORD delta = offset % platform::kAllocationGranularity;
    const uint64_t viewOffset = offset - delta;
    uint64_t fileSize = 0;
    if (!file.GetSize(fileSize)) return nullptr;
    uint64_t viewSize = 0;
    if (size == 0) {
        if (offset >= fileSize) return Refuse(ERROR_INVALID_PARAMETER);
        viewSize = fileSize - viewOffset;
    } else {
        viewSize = uint64_t(size) + delta;
        if (!file.canWrite()) {
            // A file that cannot grow is mapped only as far as it goes.
            if (offset >= fileSize) return Refuse(ERROR_INVALID_PARAMETER);
            viewSize = std::min(viewSize, fileSize - viewOffset);
        }
    }
    if (viewOffset + viewSize > 0xFFFFFFFFu) return Refuse(ERROR_INVALID_PARAMETER);
    const uint64_t maximum = (options & kWholeFileMapping) ? 0 : viewOffset + viewSize;
    auto mapping = platform::FileMapping::Create(file, protect, maximum, mappingName);
    if (!mapping) return nullptr;
    size_t mapped = 0;
    void* view = mapping->MapView(viewAccess, viewOffset, static_cast<size_t>(viewSize), mapped);
    if (!view) return nullptr;
    m_hMapping = mapping.release();
    m_dwViewOffset = static_cast<DWORD>(viewOffset);
    m_dwViewSize = static_cast<DWORD>(mapped);
    m_pView = view;
    m_dwViewAccess = viewAccess;
    m_dwStatus = kStatusMapped;
    if (maximum > m_dwSize) m_dwSize = qzo::os::Saturate32(maximum);  // the mapping grew it
    return static_cast<BYTE*>(view) + delta;
}

void* CQZFile::MapFileR(DWORD size, DWORD offset, DWORD options) {
    COSAutoLock hold(m_csThread);
    if (!IsOpen())
        return MapLocked(GENERIC_READ, 0, OPEN_EXISTING, kMapFlags, PAGE_READONLY, offset, size,
                         nullptr, FILE_MAP_READ, options);
    if (!CanRead()) return nullptr;
    return MapLocked(kUnset, kUnset, kUnset, kUnset, PAGE_READONLY, offset, size, nullptr,
                     FILE_MAP_READ, options);
}

void* CQZFile::MapFileRW(BOOL create, DWORD size, DWORD offset, DWORD options) {
    COSAutoLock hold(m_csThread);
    if (!IsOpen())
        return MapLocked(GENERIC_READ | GENERIC_WRITE, 0, create ? CREATE_ALWAYS : OPEN_EXISTING,
                         kMapFlags, PAGE_READWRITE, offset, size, nullptr, FILE_MAP_WRITE, options);
    if (create || !CanRead() || !CanWrite()) return nullptr;
    return MapLocked(kUnset, kUnset, kUnset, kUnset, PAGE_READWRITE, offset, size, nullptr,
                     FILE_MAP_WRITE, options);
}

void CQZFile::UnmapLocked() {
    if (m_pView) platform::UnmapView(m_pView, m_dwViewSize);
    delete PlatformMapping(m_hMapping);
    m_hMapping = nullptr;
    m_pView = nullptr;
    m_dwViewOffset = m_dwViewSize = m_dwViewAccess = 0;
    if (IsOpen()) m_dwStatus = kStatusOpen;
}

BOOL CQZFile::UnmapFile() {
    COSAutoLock hold(m_csThread);
    if (!m_hMapping && !m_pView) return 0;  // nothing mapped: an open file stays as it is
    UnmapLocked();
    if (!(m_dwFlags & kKeepOpen)) CloseHandles();
    m_dwFlags &= ~kKeepOpen;
    return 0;
}

void* CQZFile::RemapFile(DWORD size, DWORD offset, DWORD options) {
    COSAutoLock hold(m_csThread);
    if (!m_hMapping || !m_pView) return nullptr;
    const bool keptBefore = (m_dwFlags & kKeepOpen) != 0;
    m_dwFlags |= kKeepOpen;
    UnmapLocked();
    const bool writable = CanWrite();
    void* address =
        MapLocked(kUnset, kUnset, kUnset, kUnset, writable ? PAGE_READWRITE : PAGE_READONLY, offset,
                  size, nullptr, writable ? FILE_MAP_WRITE : FILE_MAP_READ, options);
    if (!keptBefore) {
        if (!address) CloseHandles();
        m_dwFlags &= ~kKeepOpen;
    }
    return address;
}

BOOL CQZFile::FlushView(void* address, DWORD bytes) {
    if (!m_pView || !address) return FALSE;
    auto* start = static_cast<BYTE*>(address);
    auto* viewStart = static_cast<BYTE*>(m_pView);
    auto* viewEnd = viewStart + m_dwViewSize;
    if (start < viewStart || start >= viewEnd) return FALSE;
    const size_t length = bytes ? std::min<size_t>(bytes, viewEnd - start) : viewEnd - start;
    return platform::FlushView(start, length) ? TRUE : FALSE;
}

void* CQZFile::GetViewAddress() const {
    return IsOpen() ? m_pView : nullptr;
}
DWORD CQZFile::GetViewOffset() const {
    return IsOpen() && m_pView ? m_dwViewOffset : 0;
}
DWORD CQZFile::GetViewSize() const {
    return IsOpen() && m_pView ? m_dwViewSize : 0;
}
