// LocFile's header lock and the access-info trailer by which a live writer names itself.
//
// How a writer is known to be alive: the writer holds an exclusive byte-range lock on the one
// byte just past its trailer (past the end of the file). Byte-range locks here are
// open-file-description locks, so they conflict with every other handle of the file, in this
// process or another, and the system drops them when the writer's process dies, however it
// dies. A reader probes by taking that byte itself without waiting and releasing it at once:
// when it gets the byte, nobody is there and the trailer is a dead writer's leftover. Two
// readers probing in the same instant can mistake each other for the writer; the record they
// then keep is only informative.
#include "qzobj/diag.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"
#include "qzobj/store/objfile/locfile.h"
#include "qzobj/uikit.h"

using qzo::platform::GetLastError;
using qzo::platform::SetLastError;
using qzo::store::LocFileCounter;
using qzo::store::LocFileTimer;
namespace format = qzo::store::locfile_format;

namespace {

constexpr int kChannel = 3;
constexpr int kProgrammingErrorLevel = 2;

// The record this process writes: its computer and user.
tagACCESSINFO OwnAccessInfo() {
    tagACCESSINFO info = format::EmptyAccessInfo();
    info.dwMagic = format::kAccessInfoMagic;
    info.dwComputerID = GetComputerID();
    if (!GetCreateComputerName(info.szComputerName, format::kComputerNameUnits))
        info.szComputerName[0] = 0;
    qzo::text::Copy(info.szUserName, format::kUserNameUnits, qzo::platform::UserName());
    return info;
}

}  // namespace

BOOL LocFile::Lock(DWORD offset, DWORD length) {
    // Never waits for another thread: the caller's retry loop bounds the wait.
    if (!m_cs.TryEnter()) {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    if (!IsOpen()) {
        m_cs.Leave();
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool locked;
    {
        LocFileTimer timer(LocFileCounter::kLock);
        locked = m_hFile->Lock(offset, length);
    }
    if (!locked) {
        const DWORD error = GetLastError();
        m_cs.Leave();
        SetLastError(error);
        return FALSE;
    }
    if (m_uLockCnt.load(std::memory_order_relaxed) == 0 && m_dwMarkerOffset == kNoPosition)
        LoadTrailer(offset, length);
    m_uLockCnt.fetch_add(1, std::memory_order_relaxed);
    SetLastError(ERROR_SUCCESS);
    return TRUE;  // the section stays entered until the matching Unlock
}

BOOL LocFile::Unlock(DWORD offset, DWORD length) {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only the thread holding the locks may release them.
    if (m_uLockCnt.load(std::memory_order_relaxed) == 0 || !m_cs.IsOwnedByCurrentThread()) {
        if (IsDebugOn())
            wPrintf(kChannel, kProgrammingErrorLevel,
                    u"\rLocFile %08x: Illegal attempt to unlock non-locked file\r\n",
                    HandleNumber());
        WarningMsg(u"UNLOCK HISTORY", GetAddress(), GetEBP());
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    {
        LocFileTimer timer(LocFileCounter::kLock);
        if (!m_hFile->Unlock(offset, length)) return FALSE;
    }
    m_uLockCnt.fetch_sub(1, std::memory_order_relaxed);
    m_cs.Leave();
    return TRUE;
}

void LocFile::LoadTrailer(DWORD offset, DWORD length) {
    const DWORD noted = m_dwFilePtr;
    m_AccessInfo = format::EmptyAccessInfo();
    ULONGLONG size = 0;
    bool present = false;
    if (FileSize(size) && size >= format::kAccessInfoSize &&
        RawSeek(LONGLONG(size - format::kAccessInfoSize), FILE_BEGIN) != kNoPosition) {
        format::AccessInfoBytes bytes{};
        if (RawRead(bytes, format::kAccessInfoSize) == format::kAccessInfoSize) {
            const tagACCESSINFO found = format::DecodeAccessInfo(bytes);
            present = found.dwMagic == format::kAccessInfoMagic;
            if (present) m_AccessInfo = found;
        }
    }
    if (m_dwFileAccess & kWrite) {
        // Replace a stale record (its writer died) or append ours.
        const DWORD at = static_cast<DWORD>(present ? size - format::kAccessInfoSize : size);
        if (RawSeek(at, FILE_BEGIN) != kNoPosition) WriteAccessInfo();
        m_AccessInfo = tagACCESSINFO{};
    } else if (present) {
        JudgeTrailerWriter(offset, length, size);
    }
    RawSeek(noted, FILE_BEGIN);
}

void LocFile::JudgeTrailerWriter(DWORD offset, DWORD length, ULONGLONG size) {
    // A file too short for the header range cannot hold a writer's record behind its header.
    bool alive = size >= ULONGLONG(offset) + length;
    if (alive && m_hFile->Lock(size, format::kMarkerLength)) {
        m_hFile->Unlock(size, format::kMarkerLength);
        alive = false;
    }
    if (!alive) m_AccessInfo = format::EmptyAccessInfo();
}

bool LocFile::WriteAccessInfo() {
    LocFileTimer timer(LocFileCounter::kAccessInfo);
    format::AccessInfoBytes bytes{};
    format::EncodeAccessInfo(OwnAccessInfo(), bytes);
    ReleaseMarker();
    FILETIME lastWrite{};
    const bool timeKnown = ReadTimes(nullptr, &lastWrite);
    // Announcing oneself changes no data: it neither marks the file modified nor moves its time.
    const bool modified = m_bModified;
    const DWORD written = RawWrite(bytes, format::kAccessInfoSize);
    m_bModified = modified;
    if (written == format::kAccessInfoSize) {
        m_bWroteTrailer = true;
        if (m_hFile->Lock(m_dwFilePtr, format::kMarkerLength)) m_dwMarkerOffset = m_dwFilePtr;
    }
    if (timeKnown) WriteLastWrite(lastWrite);
    if (written != format::kAccessInfoSize) return false;
    SetLastError(ERROR_SUCCESS);
    return true;
}

void LocFile::ReleaseMarker() {
    if (m_dwMarkerOffset == kNoPosition) return;
    m_hFile->Unlock(m_dwMarkerOffset, format::kMarkerLength);
    m_dwMarkerOffset = kNoPosition;
}

void LocFile::StripOwnTrailer() {
    // Only a record this object wrote goes, even when its access was lowered since; a record
    // left by someone else stays for the next writer to replace.
    if (!m_bWroteTrailer) return;
    ULONGLONG size = 0;
    if (!FileSize(size) || size < format::kAccessInfoSize) return;
    const ULONGLONG start = size - format::kAccessInfoSize;
    format::AccessInfoBytes bytes{};
    if (RawSeek(LONGLONG(start), FILE_BEGIN) == kNoPosition ||
        RawRead(bytes, format::kAccessInfoSize) != format::kAccessInfoSize ||
        format::DecodeAccessInfo(bytes).dwMagic != format::kAccessInfoMagic)
        return;
    FILETIME lastWrite{};
    const bool timeKnown = ReadTimes(nullptr, &lastWrite);
    if (RawSeek(LONGLONG(start), FILE_BEGIN) != kNoPosition) m_hFile->SetEndOfFile();
    if (timeKnown) WriteLastWrite(lastWrite);
}

BOOL LocFile::GetAccessInfo(tagACCESSINFO& info) const {
    info = m_AccessInfo;
    return m_AccessInfo.dwMagic == format::kAccessInfoMagic ? TRUE : FALSE;
}

BOOL LocFile::ReadAccessInfo(tagACCESSINFO* info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    format::AccessInfoBytes bytes{};
    if (RawRead(bytes, format::kAccessInfoSize) != format::kAccessInfoSize) return FALSE;
    *info = format::DecodeAccessInfo(bytes);
    return info->dwMagic == format::kAccessInfoMagic ? TRUE : FALSE;
}
