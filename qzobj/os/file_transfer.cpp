// CQZFile transfers: the write-behind cache, reads, writes, seeks, the end of the file and
// flushing. The object keeps its own 32-bit file pointer; while the cache holds bytes the
// pointer is always the cache's offset plus its fill, and the system's position is wherever the
// last system transfer left it (every cache write seeks first).
#include <cstring>

#include "qzobj/file.h"
#include "qzobj/os/file_handles.h"
#include "qzobj/platform/last_error.h"

namespace {

using qzo::os::PlatformFile;
using qzo::os::Saturate32;
namespace platform = qzo::platform;

constexpr uint64_t kLargestOffset = 0xFFFFFFFFu;

}  // namespace

bool CQZFile::SeekTo(DWORD position) {
    uint64_t reached = 0;
    return PlatformFile(m_hFile)->Seek(position, FILE_BEGIN, reached);
}

// Writes the cached bytes where they belong and empties the cache. Only writes: the system's
// buffers are flushed by FlushCache, Close and MapFile.
bool CQZFile::WriteCachedBytes() {
    if (!m_pCache) return true;
    if (m_dwCacheFill == 0) {
        m_dwCacheOffset = m_dwFilePtr;
        return true;
    }
    const DWORD fill = m_dwCacheFill;
    m_dwCacheFill = 0;  // written or lost: the cache is empty either way
    DWORD done = 0;
    const bool written = SeekTo(m_dwCacheOffset) &&
                         PlatformFile(m_hFile)->Write(m_pCache, fill, done) && done == fill;
    m_dwCacheOffset = m_dwFilePtr;
    if (!written) {
        m_dwStatus = kStatusShort;
        return false;
    }
    // The bytes end at the object's pointer, so the system's position agrees with it again.
    if (m_dwFilePtr > m_dwSize) m_dwSize = m_dwFilePtr;
    return true;
}

bool CQZFile::FlushSystemBuffers() {
    return PlatformFile(m_hFile)->Flush();
}

BOOL CQZFile::FlushCache() {
    if (!CanWrite()) return FALSE;
    const bool written = WriteCachedBytes();
    const bool flushed = FlushSystemBuffers();
    return written && flushed ? TRUE : FALSE;
}

DWORD CQZFile::WriteDirect(const void* buffer, DWORD bytes) {
    DWORD done = 0;
    const bool complete = PlatformFile(m_hFile)->Write(buffer, bytes, done) && done == bytes;
    m_dwFilePtr += done;
    if (m_dwFilePtr > m_dwSize) m_dwSize = m_dwFilePtr;
    if (m_pCache) m_dwCacheOffset = m_dwFilePtr;
    if (!complete) m_dwStatus = kStatusShort;
    return done;
}

DWORD CQZFile::Write(const void* buffer, DWORD bytes) {
    if ((m_dwStatus != kStatusOpen && m_dwStatus != kStatusMapped) || !CanWrite() || m_pView)
        return 0;
    if (bytes == 0 || !buffer) return 0;
    if (uint64_t(m_dwFilePtr) + bytes > kLargestOffset) {
        platform::SetLastError(ERROR_FILE_TOO_LARGE);  // a 32-bit file cannot hold it
        return 0;
    }
    if (m_pCache) {
        if (bytes > m_dwCacheSize - m_dwCacheFill) {
            if (!WriteCachedBytes()) return 0;
        }
        if (bytes <= m_dwCacheSize - m_dwCacheFill) {
            std::memcpy(m_pCache + m_dwCacheFill, buffer, bytes);
            m_dwCacheFill += bytes;
            m_dwFilePtr += bytes;
            if (m_dwFilePtr > m_dwSize) m_dwSize = m_dwFilePtr;
            return bytes;
        }
    }
    return WriteDirect(buffer, bytes);
}

DWORD CQZFile::Read(void* buffer, DWORD bytes) {
    if (m_dwStatus >= kStatusShort || !CanRead() || m_pView) return 0;
    if (bytes == 0 || !buffer) return 0;
    if (!WriteCachedBytes()) return 0;
    // Bytes beyond the 32-bit range cannot be addressed by this object.
    const DWORD reachable = Saturate32(kLargestOffset - m_dwFilePtr);
    const DWORD wanted = bytes < reachable ? bytes : reachable;
    DWORD done = 0;
    const bool read = PlatformFile(m_hFile)->Read(buffer, wanted, done);
    m_dwFilePtr += done;
    if (m_pCache) m_dwCacheOffset = m_dwFilePtr;
    if (!read || done < bytes) m_dwStatus = kStatusShort;  // the end of the file, or an error
    return done;
}

BOOL CQZFile::SetFilePtr(LONG distance, DWORD method) {
    if (!IsOpen() || m_pView) return FALSE;
    if (!WriteCachedBytes()) return FALSE;
    int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = m_dwFilePtr;
    } else if (method == FILE_END) {
        uint64_t size = 0;
        if (!PlatformFile(m_hFile)->GetSize(size)) return FALSE;
        base = static_cast<int64_t>(size);
    } else if (method != FILE_BEGIN) {
        platform::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int64_t target = base + distance;
    if (target < 0) {
        platform::SetLastError(ERROR_NEGATIVE_SEEK);
        return FALSE;
    }
    if (static_cast<uint64_t>(target) > kLargestOffset) {
        platform::SetLastError(ERROR_INVALID_PARAMETER);  // never wrapped into the 32-bit range
        return FALSE;
    }
    const DWORD position = static_cast<DWORD>(target);
    if (!SeekTo(position)) return FALSE;
    m_dwFilePtr = position;
    m_dwCacheOffset = position;
    if (position > m_dwSize) m_dwSize = position;
    if (m_dwStatus == kStatusShort) m_dwStatus = kStatusOpen;
    return TRUE;
}

BOOL CQZFile::SetEOF(DWORD position) {
    if (!IsOpen()) return 0;
    if (m_hMapping) {
        platform::SetLastError(ERROR_USER_MAPPED_FILE);
        return 0;
    }
    WriteCachedBytes();
    platform::File* file = PlatformFile(m_hFile);
    if (SeekTo(position) && file->SetEndOfFile()) {
        m_dwFilePtr = position;
        m_dwSize = position;
        m_dwCacheOffset = position;
    } else {
        SeekTo(m_dwFilePtr);  // the object's pointer stays where it was
    }
    return 0;
}
