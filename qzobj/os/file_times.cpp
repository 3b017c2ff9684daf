// CQZFile times and the static helpers on paths: file times (a closed file is opened for the
// call), touching, modification checks and free disk space.
#include "qzobj/file.h"
#include "qzobj/os/file_handles.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"

namespace {

using qzo::os::PlatformFile;
namespace platform = qzo::platform;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

}  // namespace

BOOL CQZFile::GetTime(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    COSAutoLock hold(m_csThread);
    if (IsOpen()) return PlatformFile(m_hFile)->GetTimes(creation, lastAccess, lastWrite);
    if (m_szName[0] == 0) return FALSE;
    auto file = platform::File::Open(m_szName, GENERIC_READ, kShareReadWrite, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
    return file && file->GetTimes(creation, lastAccess, lastWrite) ? TRUE : FALSE;
}

BOOL CQZFile::SetTime(const FILETIME* creation, const FILETIME* lastAccess,
                      const FILETIME* lastWrite) {
    COSAutoLock hold(m_csThread);
    if (IsOpen()) {
        // Cached bytes written later would move the last-write time again.
        if (!WriteCachedBytes()) return FALSE;
        return PlatformFile(m_hFile)->SetTimes(creation, lastAccess, lastWrite);
    }
    if (m_szName[0] == 0) return FALSE;
    auto file = platform::File::Open(m_szName, GENERIC_READ | GENERIC_WRITE, kShareReadWrite,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    return file && file->SetTimes(creation, lastAccess, lastWrite) ? TRUE : FALSE;
}

BOOL CQZFile::Touch(const WCHAR* name) {
    if (name && name[0]) return TouchFile(name);
    const FILETIME now = platform::CurrentFileTime();
    return SetTime(nullptr, nullptr, &now);
}

BOOL CQZFile::TouchFile(const WCHAR* path) {
    auto file = platform::File::Open(path, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (!file) return FALSE;
    const FILETIME now = platform::CurrentFileTime();
    return file->SetTimes(nullptr, nullptr, &now) && file->Close() ? TRUE : FALSE;
}

BOOL CQZFile::WasModifiedSince(const WCHAR* path, const FILETIME* time) {
    if (!time) return FALSE;
    std::string native;
    platform::FileStatus status;
    if (!platform::ResolveFilePath(path, native) || !platform::GetFileStatus(native, status))
        return FALSE;
    return platform::FileTimeValue(status.lastWrite) >= platform::FileTimeValue(*time);
}

DWORD CQZFile::GetFreeDiskSpace(const WCHAR* rootPath) {
    uint64_t freeBytes = 0;
    if (!platform::GetDiskFreeSpace(rootPath, freeBytes)) return 0;
    return qzo::os::Saturate32(freeBytes);
}
