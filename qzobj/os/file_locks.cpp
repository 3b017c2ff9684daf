// CQZFile byte-range locks: whole-file locks by a byte count of 0, waiting for a lock, and the
// lock count that catches unbalanced unlocks and closing while locked.
#include <algorithm>

#include "qzobj/diag.h"
#include "qzobj/file.h"
#include "qzobj/os/file_handles.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/uikit.h"

namespace {

using qzo::os::PlatformFile;
namespace platform = qzo::platform;

// The size a whole-file lock covers: the file as the system has it, or further where the cache
// holds bytes not yet written.
DWORD CurrentSize(platform::File& file, DWORD cachedEnd) {
    uint64_t size = 0;
    if (!file.GetSize(size)) return 0;
    return std::max(qzo::os::Saturate32(size), cachedEnd);
}

}  // namespace

// Takes one lock and counts it; FALSE with the last error set when it failed
// (ERROR_INVALID_PARAMETER when there is nothing to lock, which no waiting can change).
BOOL CQZFile::LockRange(DWORD offset, DWORD bytes, bool report) {
    if (!IsOpen()) {
        platform::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    platform::File& file = *PlatformFile(m_hFile);
    m_dwSize = CurrentSize(file, m_dwCacheFill ? m_dwCacheOffset + m_dwCacheFill : 0);
    const DWORD length = bytes ? bytes : m_dwSize;
    if (length == 0) {
        if (report && IsDebugOn())
            wPrintf(3, 3, u"\rCQZFile %s: Attempt to lock 0 bytes\r\n", m_szName);
        platform::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!file.Lock(offset, length)) return FALSE;
    if (bytes == 0 && m_pWholeLocks) m_pWholeLocks->entries.push_back({offset, length});
    ++m_uLockCnt;
    return TRUE;
}

BOOL CQZFile::FileLock(DWORD offset, DWORD bytes) {
    return LockRange(offset, bytes, true);
}

BOOL CQZFile::WaitFileLock(DWORD offset, DWORD bytes, DWORD timeoutMs) {
    const DWORD start = platform::GetTickCount();
    for (bool first = true;; first = false) {
        if (LockRange(offset, bytes, first)) return TRUE;
        const DWORD error = platform::GetLastError();
        if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_PARAMETER) return FALSE;
        // Elapsed time, not a deadline: the tick may wrap while we wait.
        if (timeoutMs != INFINITE && platform::GetTickCount() - start >= timeoutMs) return FALSE;
        platform::Sleep(1);
    }
}

BOOL CQZFile::FileUnlock(DWORD offset, DWORD bytes) {
    if (m_uLockCnt == 0) {
        if (IsDebugOn())
            wPrintf(3, 4, u"File %s\r\nIllegal attempt to unlock non-locked file.", m_szName);
        WarningMsg(u"UNLOCK HISTORY", __builtin_return_address(0), __builtin_frame_address(0));
        return FALSE;
    }
    if (!IsOpen()) return FALSE;
    DWORD length = bytes;
    auto* remembered = static_cast<WholeFileLocks::Entry*>(nullptr);
    if (bytes == 0) {
        // The length the whole-file lock had when it was taken, not the size now.
        length = m_dwSize;
        if (m_pWholeLocks) {
            auto& entries = m_pWholeLocks->entries;
            auto found = std::find_if(entries.rbegin(), entries.rend(),
                                      [&](const auto& entry) { return entry.offset == offset; });
            if (found != entries.rend()) {
                remembered = &*found;
                length = found->length;
            }
        }
    }
    if (!PlatformFile(m_hFile)->Unlock(offset, length)) return FALSE;
    if (remembered)
        m_pWholeLocks->entries.erase(m_pWholeLocks->entries.begin() +
                                     (remembered - m_pWholeLocks->entries.data()));
    --m_uLockCnt;
    return TRUE;
}
