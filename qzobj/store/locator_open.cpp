// The locator's hold on its object's file: waiting for access and for the header lock,
// unlocking with the change notice, releasing, the access queries and the read-write trace.
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/locator.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/store/locator_access.h"
#include "qzobj/store/locator_core.h"
#include "qzobj/store/locfile.h"
#include "qzobj/uikit.h"

using qzo::store::LocatorCore;
using qzo::store::LocatorCounter;
using qzo::store::LocatorTimer;

namespace {

constexpr int kTraceChannel = 3;
constexpr int kTraceLevel = 8;
constexpr DWORD kReadWriteTraceMode = 1;
constexpr DWORD kAccessInfoTimeout = 1000;
constexpr int kTraceFrames = -1;  // the short walk: 10 frames

// The low 32 bits of a pointer, as the trace lines name a file.
DWORD PointerWord(const void* pointer) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(pointer));
}

void ClearAccessInfo(tagACCESSINFO& info) {
    std::memset(&info, 0, sizeof info);
    info.dwComputerID = LOCATION_NO_PROJID;
}

// Tells the state-notify callbacks that a locator of `location` waits for a header lock.
void AnnounceLockWait(const Location& location) {
    LocatorCore::NotifyState(&location, LOCATOR_NOTIFY_LOCKWAIT, 0);
}

bool CarriesWriter(const tagACCESSINFO& info) {
    return info.dwMagic == qzo::store::locfile_format::kAccessInfoMagic &&
           info.dwComputerID != LOCATION_NO_PROJID;
}

}  // namespace

DWORD Locator::WaitForAccess(DWORD access, DWORD timeout) {
    if (m_pFile) return qzo::store::AlreadyHasAccess(m_Location.dwObjID);
    LocatorTimer timer(LocatorCounter::kWaitAccess);

    WCHAR path[MAX_PATH];
    const bool havePath = GetObjectPath(path) != FALSE;
    const DWORD defProjID = LocatorCore::DefProjID();
    const bool inDefault = defProjID != LOCATION_NO_PROJID && m_Location.dwProjID == defProjID;

    qzo::store::AccessRequest request;
    request.objID = m_Location.dwObjID;
    request.path = havePath ? path : nullptr;
    request.access = access;
    request.timeout = timeout;
    request.inDefaultProject = inDefault;
    request.projectVersion = inDefault ? PrjLocator::GetPrjVersion(defProjID) : 0;
    request.writeBackPriority = LocatorCore::WritebackPriority();
    // Two threads may share this locator's object through one locator only by mistake; the
    // attach lock makes sure one of them gets the locator and the other waits or times out.
    request.attach = [this](LocFile* file) {
        COSAutoLock lock(LocatorCore::AttachLock());
        if (m_pFile) return false;
        m_pFile = file;
        return true;
    };
    request.detach = [this](LocFile* file) {
        COSAutoLock lock(LocatorCore::AttachLock());
        if (m_pFile == file) m_pFile = nullptr;
    };
    request.notifyWaiting = [this] { AnnounceLockWait(GetLocation()); };

    const qzo::store::AccessResult result = qzo::store::WaitForAccess(request);
    if (result.result == qzo::store::kAccessObtained) SetRWTrace();
    return result.result;
}

BOOL Locator::WaitForLock(DWORD timeout) {
    return qzo::store::WaitForLock(m_pFile, m_Location.dwObjID, timeout,
                                   [this] { AnnounceLockWait(GetLocation()); });
}

BOOL Locator::Unlock() {
    return qzo::store::UnlockObject(m_pFile, GetLocation(), LocatorCore::Notices());
}

BOOL Locator::ReleaseAccess() {
    if (!m_pFile) return TRUE;
    LocatorTimer timer(LocatorCounter::kRelease);
    LocFile* file = nullptr;
    {
        COSAutoLock lock(LocatorCore::AttachLock());
        file = m_pFile;
        m_pFile = nullptr;
    }
    if (!file) return TRUE;
    if (QueryMode() == kReadWriteTraceMode) {
        // The trace is a developer's request and prints whether debug output is on or not.
        if ((file->GetAccess() & LocFile::kWrite) && file->GetOpenCount() == 1)
            wPrintf(kTraceChannel, kTraceLevel,
                    u"\rLocator::ReleaseAccess (Obj=0x%08x[pFile=%08X])\r\n", m_Location.dwObjID,
                    PointerWord(file));
        SetMode(0);
    }
    file->Close();
    return TRUE;
}

DWORD Locator::QueryAccess() {
    if (!m_pFile)
        return (m_Location.dwFlags & LOCATOR_TEMPORARY) ? LOCATOR_ACCESS_RWE : LOCATOR_ACCESS_READ;
    const DWORD attributes = m_pFile->GetAttributes();
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        // Marked deleted while we held it: whatever we could do with it is gone.
        ReleaseAccess();
        return LOCATOR_ACCESS_READ;
    }
    return m_pFile->GetAccess();
}

BOOL Locator::GetAccessInfo(tagACCESSINFO& info) {
    if (m_pFile) return m_pFile->GetAccessInfo(info);
    BOOL found = FALSE;
    if (WaitForAccess(LOCATOR_ACCESS_READ, kAccessInfoTimeout) == LOCATOR_OK) {
        found = m_pFile->GetAccessInfo(info);
        if (!found) ClearAccessInfo(info);
        Unlock();
    } else {
        ClearAccessInfo(info);
    }
    ReleaseAccess();
    return found && CarriesWriter(info) ? TRUE : FALSE;
}

void Locator::SetRWTrace() {
    if (!m_pFile || !(m_pFile->GetAccess() & LocFile::kWrite)) return;
    DWORD min = 0;
    DWORD max = 0;
    LocatorCore::RWWatchRange(min, max);
    const DWORD objID = m_Location.dwObjID;
    if (!(min < max && objID >= min && objID < max)) return;
    SetMode(kReadWriteTraceMode);
    // Printed whether debug output is on or not, like the release line that ends the trace.
    wPrintf(kTraceChannel, kTraceLevel, u"\rLocator RW access obtained(Obj=0x%08x[pFile=%08X])\r\n",
            objID, PointerWord(m_pFile));
    WalkCallStack(__builtin_return_address(0), __builtin_frame_address(0), kTraceFrames, nullptr);
}

BOOL Locator::PreallocLocations(unsigned count) {
    CProjUniID* generator = LocatorCore::UIDGen();
    if (!generator) return FALSE;
    return generator->ReserveIDs(count);
}
