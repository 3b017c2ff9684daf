// LocFile's file times and attributes: the cached last-write time, touching and stamping.
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/store/objfile/locfile.h"

using qzo::platform::FileTimeValue;
using qzo::platform::MakeFileTime;
using qzo::platform::SetLastError;
using qzo::store::LocFileCounter;
using qzo::store::LocFileTimer;

bool LocFile::ReadTimes(FILETIME* lastAccess, FILETIME* lastWrite) {
    return IsOpen() && m_hFile->GetTimes(nullptr, lastAccess, lastWrite);
}

bool LocFile::WriteLastWrite(const FILETIME& lastWrite) {
    m_ftLastWrite = FILETIME{};
    return IsOpen() && m_hFile->SetTimes(nullptr, nullptr, &lastWrite);
}

BOOL LocFile::TouchLastWrite() {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FILETIME lastAccess{}, lastWrite{};
    ULONGLONG next;
    if (ReadTimes(&lastAccess, &lastWrite)) {
        next = FileTimeValue(lastAccess) > FileTimeValue(lastWrite) ? FileTimeValue(lastAccess)
                                                                    : FileTimeValue(lastWrite) + 1;
    } else {
        // Without the file's times, one unit past the time last known, else now.
        const ULONGLONG known = FileTimeValue(m_ftLastWrite);
        next = known ? known + 1 : FileTimeValue(qzo::platform::CurrentFileTime());
    }
    return WriteLastWrite(MakeFileTime(next)) ? TRUE : FALSE;
}

BOOL LocFile::SetFileTimeNow() {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(m_dwFileAccess & kWrite)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    m_ftLastWrite = FILETIME{};
    const FILETIME now = qzo::platform::CurrentFileTime();
    return m_hFile->SetTimes(nullptr, &now, &now) ? TRUE : FALSE;
}

BOOL LocFile::GetLastWriteTime(FILETIME* time) {
    if (!time) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (FileTimeValue(m_ftLastWrite) == 0) {
        LocFileTimer timer(LocFileCounter::kLastWrite);
        FILETIME read{};
        if (!ReadTimes(nullptr, &read)) {
            if (!IsOpen()) SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        m_ftLastWrite = read;
    }
    *time = m_ftLastWrite;
    return TRUE;
}

DWORD LocFile::GetAttributes() {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_ATTRIBUTES;
    }
    LocFileTimer timer(LocFileCounter::kAttributes);
    qzo::platform::FileStatus status;
    if (!qzo::platform::GetFileStatus(m_hFile->nativePath(), status))
        return INVALID_FILE_ATTRIBUTES;
    return status.attributes;
}

BOOL LocFile::SetWriteLimit(DWORD position) {
    m_dwWriteLimit = position;
    return TRUE;
}

BOOL LocFile::ClearWriteLimit() {
    m_dwWriteLimit = 0;
    return TRUE;
}
