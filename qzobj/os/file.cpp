// CQZFile's life: construction, the name, opening (with missing folders created), closing,
// the plain accessors, handing state over to another object and the thread lock.
#include <cstring>
#include <new>
#include <utility>

#include "qzobj/diag.h"
#include "qzobj/file.h"
#include "qzobj/os/file_handles.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "qzobj/uikit.h"

namespace qzo::os {

bool AccessIncludesRead(DWORD access) {
    return (access & (GENERIC_READ | 0x10000000u | 1u)) != 0;
}
bool AccessIncludesWrite(DWORD access) {
    return (access & (GENERIC_WRITE | 0x10000000u | 2u | 4u)) != 0;
}

}  // namespace qzo::os

namespace {

using qzo::os::PlatformFile;
namespace platform = qzo::platform;

// Copies a caller's name into `out` (MAX_PATH units). The name may point anywhere, so the copy
// runs under the fault guard as leaf code: no locks, no objects with destructors.
struct NameCopy {
    const WCHAR* source;
    WCHAR* out;
    size_t length;
    void operator()() {
        size_t i = 0;
        while (i < MAX_PATH && source[i] != 0) ++i;
        length = i;
        if (i < MAX_PATH) std::memcpy(out, source, (i + 1) * sizeof(WCHAR));
    }
};

bool CreatesFolders(DWORD creation) {
    return creation == CREATE_ALWAYS || creation == OPEN_ALWAYS;
}

// Creates the folder that would hold `name` when it is missing.
bool CreateFolderOf(const WCHAR* name) {
    FU_PATHPARTS parts;
    if (!FU_ParsePath(name, &parts, 0)) return false;
    std::u16string folder = std::u16string(parts.szPrefix) + parts.szDirectory;
    if (folder.empty()) return false;
    return FU_TestDirExists(folder.c_str()) || FU_CreatePath(folder.c_str());
}

}  // namespace

CQZFile::CQZFile()
    : m_szName{}, m_csThread(FALSE), m_pWholeLocks(new (std::nothrow) WholeFileLocks) {
    m_dwFlags = 0;
    ResetState();
}

CQZFile::CQZFile(const WCHAR* name) : CQZFile() {
    UINT failure = kOpened;
    StoreName(name, failure);
}

CQZFile::~CQZFile() {
    Close();
    delete m_pWholeLocks;
}

void CQZFile::ResetState() {
    m_hFile = INVALID_HANDLE_VALUE;
    m_hMapping = nullptr;
    m_dwViewOffset = m_dwViewSize = 0;
    m_pView = nullptr;
    m_dwSize = 0;
    m_dwAccess = m_dwShare = 0;
    m_dwFlags &= kNameRefused;  // the name stays, with what is known about it
    m_dwStatus = kStatusClosed;
    m_dwFilePtr = 0;
    m_dwCreation = m_dwFlagsAndAttributes = m_dwViewAccess = 0;
    m_pCache = nullptr;
    m_dwCacheSize = m_dwCacheOffset = m_dwCacheFill = 0;
    m_uLockCnt = 0;
    if (m_pWholeLocks) m_pWholeLocks->entries.clear();
}

bool CQZFile::StoreName(const WCHAR* name, UINT& failure) {
    m_szName[0] = 0;
    m_dwFlags &= ~kNameRefused;
    if (!name) return true;  // no name: Open reports 4
    NameCopy copy{name, m_szName, 0};
    if (!platform::Guarded(copy, nullptr)) {
        m_szName[0] = 0;
        failure = kNameUnreadable;
        return false;
    }
    if (copy.length >= MAX_PATH) {
        // A longer name is never cut: that would open another file.
        m_szName[0] = 0;
        m_dwFlags |= kNameRefused;
    }
    return true;
}

bool CQZFile::IsOpen() const {
    return m_hFile != INVALID_HANDLE_VALUE;
}
bool CQZFile::CanWrite() const {
    return IsOpen() && qzo::os::AccessIncludesWrite(m_dwAccess);
}
bool CQZFile::CanRead() const {
    return IsOpen() && qzo::os::AccessIncludesRead(m_dwAccess);
}

UINT CQZFile::Open(const WCHAR* name, DWORD access, DWORD share, DWORD creation, DWORD flags,
                   DWORD cacheSize) {
    COSAutoLock hold(m_csThread);
    if (IsOpen()) return kAlreadyOpen;
    UINT failure = kOpened;
    if (!StoreName(name, failure)) return failure;
    return OpenLocked(access, share, creation, flags, cacheSize);
}

UINT CQZFile::Open(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD cacheSize) {
    COSAutoLock hold(m_csThread);
    if (IsOpen()) return kAlreadyOpen;
    return OpenLocked(access, share, creation, flags, cacheSize);
}

UINT CQZFile::OpenLocked(DWORD access, DWORD share, DWORD creation, DWORD flags, DWORD cacheSize) {
    if (m_dwFlags & kNameRefused) {
        platform::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return kOpenFailed;
    }
    if (m_szName[0] == 0) return kNoName;
    auto file = platform::File::Open(m_szName, access, share, creation, flags);
    if (!file) {
        const DWORD error = platform::GetLastError();
        if (error == ERROR_SHARING_VIOLATION) return kSharingViolation;
        if (!CreatesFolders(creation) || error != ERROR_PATH_NOT_FOUND) return kOpenFailed;
        if (!CreateFolderOf(m_szName)) return kOpenFailed;
        file = platform::File::Open(m_szName, access, share, creation, flags);
        if (!file) return kOpenFailed;
    }
    uint64_t size = 0;
    file->GetSize(size);
    m_dwSize = qzo::os::Saturate32(size);
    m_dwAccess = access;
    m_dwShare = share;
    m_dwCreation = creation;
    m_dwFlagsAndAttributes = flags;
    m_dwFilePtr = 0;
    m_dwStatus = kStatusOpen;
    m_hFile = file.release();
    if (cacheSize && share == 0 && qzo::os::AccessIncludesWrite(access)) {
        m_pCache = new (std::nothrow) BYTE[cacheSize];  // failing leaves the file uncached
        m_dwCacheSize = m_pCache ? cacheSize : 0;
        m_dwCacheOffset = m_dwCacheFill = 0;
    }
    return kOpened;
}

BOOL CQZFile::Close() {
    if (!IsOpen()) return 1;
    if (m_uLockCnt != 0) {
        if (IsDebugOn())
            wPrintf(3, 2, u"\rFile %s\r\nAttempt to close file while locked (cnt=%u)\r\n", m_szName,
                    m_uLockCnt);
        WarningMsg(u"CLOSE HISTORY", __builtin_return_address(0), __builtin_frame_address(0));
    }
    COSAutoLock hold(m_csThread);
    return CloseHandles() ? TRUE : FALSE;
}

bool CQZFile::CloseHandles() {
    if (!IsOpen()) return true;
    UnmapLocked();
    bool clean = true;
    if (CanWrite()) {
        // Everything is closed even when the cache cannot be written; the result says so.
        clean = WriteCachedBytes();
        clean = FlushSystemBuffers() && clean;
    }
    ReleaseCache();
    platform::File* file = PlatformFile(m_hFile);
    clean = file->Close() && clean;
    delete file;
    ResetState();
    return clean;
}

void CQZFile::ReleaseCache() {
    delete[] m_pCache;
    m_pCache = nullptr;
    m_dwCacheSize = m_dwCacheOffset = m_dwCacheFill = 0;
}

DWORD CQZFile::GetSize() {
    if (!IsOpen()) return 0;
    if (m_dwShare & FILE_SHARE_WRITE) {
        uint64_t size = 0;
        if (PlatformFile(m_hFile)->GetSize(size)) m_dwSize = qzo::os::Saturate32(size);
    }
    return m_dwSize;
}

DWORD CQZFile::GetFilePtr() const {
    return IsOpen() ? m_dwFilePtr : 0xFFFFFFFFu;
}

BOOL CQZFile::TransferFrom(CQZFile& other) {
    if (&other == this) return 1;
    if (!Close()) return 0;
    COSAutoLock hold(m_csThread);
    COSAutoLock holdOther(other.m_csThread);
    m_hFile = other.m_hFile;
    m_hMapping = other.m_hMapping;
    m_dwViewOffset = other.m_dwViewOffset;
    m_dwViewSize = other.m_dwViewSize;
    m_pView = other.m_pView;
    m_dwSize = other.m_dwSize;
    m_dwAccess = other.m_dwAccess;
    m_dwShare = other.m_dwShare;
    m_dwFlags = other.m_dwFlags;
    std::memcpy(m_szName, other.m_szName, sizeof m_szName);
    m_dwStatus = other.m_dwStatus;
    m_dwFilePtr = other.m_dwFilePtr;
    m_dwCreation = other.m_dwCreation;
    m_dwFlagsAndAttributes = other.m_dwFlagsAndAttributes;
    m_dwViewAccess = other.m_dwViewAccess;
    m_pCache = other.m_pCache;
    m_dwCacheSize = other.m_dwCacheSize;
    m_dwCacheOffset = other.m_dwCacheOffset;
    m_dwCacheFill = other.m_dwCacheFill;
    m_uLockCnt = other.m_uLockCnt;
    std::swap(m_pWholeLocks, other.m_pWholeLocks);
    // The other object forgets everything, its name included.
    other.m_dwFlags = 0;
    other.m_szName[0] = 0;
    other.ResetState();
    return 1;
}

int CQZFile::ThreadLockAccess() {
    m_csThread.Enter(__builtin_return_address(0));
    return 1;
}

void CQZFile::ThreadUnlockAccess() {
    m_csThread.Leave();
}
