// The locator's hold on its object's file: the object file's path, the checks before it is
// opened, the open that waits out other holders, attaching the file to its locator and the
// header lock; unlocking with the change notice, releasing, the access queries and the
// read-write trace.
#include "qzobj/store/locator/locator_access.h"

#include <cstring>
#include <string>

#include "qzobj/archive/debug_print.h"
#include "qzobj/diag.h"
#include "qzobj/file_modes.h"
#include "qzobj/locator.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locfile.h"
#include "qzobj/uikit.h"

namespace qzo::store {
namespace {

using qzo::platform::GetLastError;

constexpr int kFailureLevel = 3;
constexpr int kRefusalLevel = 4;
constexpr int kWaitLevel = 5;
constexpr DWORD kRetryPause = 1;
constexpr DWORD kAccessBits = LocFile::kRead | LocFile::kWrite | LocFile::kEdit;
constexpr DWORD kSequentialNormal = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;
constexpr DWORD kWriteThroughPriority = 2;

DWORD PlatformTick() {
    return qzo::platform::GetTickCount();
}

bool Writing(DWORD access) {
    return (access & LocFile::kWrite) != 0;
}

// The refusals of step one: writing needs the working project at a version we understand.
bool RefuseWrite(const AccessRequest& request) {
    if (!Writing(request.access)) return false;
    if (!request.inDefaultProject) {
        DebugPrint(kRefusalLevel,
                   u"\rLocator:WaitForAccess %08x: Project does not have edit access\r\n",
                   request.objID);
        return true;
    }
    if (request.projectVersion > kHighestWritableProjectVersion) {
        DebugPrint(kRefusalLevel,
                   u"\rLocator:WaitForAccess %08x: Project version higher than current -> Edit "
                   u"access deniedr\n",
                   request.objID);
        return true;
    }
    return false;
}

// The path exists, its attributes read, and it is not marked deleted (read-only). The path is
// resolved here, once, into `native`: every open attempt of the wait uses that.
bool FileUsable(const AccessRequest& request, std::string& native) {
    if (!request.path || !*request.path) {
        DebugPrint(kFailureLevel, u"\rLocator:WaitForAccess %08x: Object path unretrievable\r\n",
                   request.objID);
        return false;
    }
    const DWORD attributes = qzo::platform::ResolveFilePath(request.path, native)
                                 ? qzo::platform::GetNativeFileAttributes(native)
                                 : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DebugPrint(kFailureLevel,
                   u"\rLocator:WaitForAccess %08x: Attributes unretrievable (error %u)\r\n",
                   request.objID, GetLastError());
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        DebugPrint(kFailureLevel, u"\rLocator:WaitForAccess %08x: Object marked as deleted\r\n",
                   request.objID);
        return false;
    }
    return true;
}

LocFile* OpenObjectFile(const AccessRequest& request, const std::string& native) {
    const bool writing = Writing(request.access);
    const DWORD access = (request.access & kAccessBits) | LocFile::kRead;
    const DWORD share = writing ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD flags = kSequentialNormal;
    if (writing && request.writeBackPriority == kWriteThroughPriority)
        flags |= FILE_FLAG_WRITE_THROUGH;
    return LocFile::OpenExisting(native, access, share, flags);
}

// Opens the file, waiting while another handle's sharing mode excludes ours. The result code
// goes to `result` when the file could not be had.
LocFile* OpenWhenShared(const AccessRequest& request, const std::string& native,
                        WaitDeadline& deadline, DWORD& result) {
    LocFile* file = OpenObjectFile(request, native);
    if (file) return file;
    if (GetLastError() != ERROR_SHARING_VIOLATION) {
        DebugPrint(kFailureLevel, u"\rLocator:WaitForAccess %08x: Object does not exist\r\n",
                   request.objID);
        result = kAccessFailed;
        return nullptr;
    }
    DebugPrint(kWaitLevel,
               u"\rLocator:WaitForAccess %08x: Waiting (%u ms) for exclusive access to be "
               u"released\r\n",
               request.objID, request.timeout);
    for (;;) {
        if (deadline.Passed()) {
            DebugPrint(kRefusalLevel, u"\rLocator:WaitForAccess %08x: Sharing timeout\r\n",
                       request.objID);
            result = kAccessTimeout;
            return nullptr;
        }
        qzo::platform::Sleep(kRetryPause);
        file = OpenObjectFile(request, native);
        if (file) {
            DebugPrint(kWaitLevel, u"\rLocator:WaitForAccess %08x: Exclusive access released\r\n",
                       request.objID);
            return file;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION) {
            DebugPrint(kFailureLevel,
                       u"\rLocator:WaitForAccess %08x: Object does not exist, error %d\r\n",
                       request.objID, int(error));
            result = kAccessFailed;
            return nullptr;
        }
    }
}

// Makes the open file the locator's own under the attach lock; false while the locator already
// holds another file (two threads sharing one locator by mistake).
bool TryAttach(Locator& owner, LocFile* file) {
    COSAutoLock lock(LocatorCore::AttachLock());
    LocFile*& held = LocatorLife::File(owner);
    if (held) return false;
    held = file;
    return true;
}

void Detach(Locator& owner, LocFile* file) {
    COSAutoLock lock(LocatorCore::AttachLock());
    LocFile*& held = LocatorLife::File(owner);
    if (held == file) held = nullptr;
}

// Hands the file to the locator (or the caller's attach hook), retrying every 1 ms while another
// thread's file occupies it.
bool Attach(const AccessRequest& request, Locator* owner, LocFile* file, WaitDeadline& deadline) {
    if (!owner && !request.attach) return true;
    while (owner ? !TryAttach(*owner, file) : !request.attach(file)) {
        if (deadline.Passed()) {
            DebugPrint(kRefusalLevel,
                       u"\rLocator:WaitForAccess %08x: Assignment timeout, multithreaded access "
                       u"problem\r\n",
                       request.objID);
            return false;
        }
        qzo::platform::Sleep(kRetryPause);
    }
    return true;
}

void NotifyOnce(const std::function<void()>& notify) {
    if (!notify) return;
    try {
        notify();
    } catch (...) {
        // A failing listener must not break the wait it was told about.
    }
}

// Takes the header lock, retrying every 1 ms until `timeout` has elapsed. The first failure
// prints the waiting message, tells the state-notify callbacks that `waitingFor` (when given)
// waits for a header lock, and calls `notifyWaiting` once.
BOOL LockWithin(LocFile* file, DWORD objID, DWORD timeout, const Location* waitingFor,
                const std::function<void()>& notifyWaiting, const TickSource& ticks) {
    if (!file) return FALSE;
    WaitDeadline deadline(timeout, ticks);
    bool waited = false;
    for (;;) {
        if (file->Lock(0, kHeaderLockLength)) {
            if (waited)
                DebugPrint(kWaitLevel, u"\rLocator:WaitForLock %08x: Lock obtained\r\n", objID);
            return TRUE;
        }
        if (GetLastError() == ERROR_INVALID_HANDLE) {
            DebugPrint(kFailureLevel, u"\rLocator:WaitForLock %08x: Invalid handle\r\n", objID);
            return FALSE;
        }
        if (!waited) {
            waited = true;
            DebugPrint(kWaitLevel,
                       u"\rLocator:WaitForLock %08x: Waiting (%u ms) for lock to be "
                       u"released...\r\n",
                       objID, timeout);
            if (waitingFor) LocatorCore::NotifyState(waitingFor, LOCATOR_NOTIFY_LOCKWAIT, 0);
            NotifyOnce(notifyWaiting);
        }
        if (deadline.Passed()) {
            DebugPrint(kRefusalLevel, u"\rLocator:WaitForLock %08x: Lock timeout\r\n", objID);
            return FALSE;
        }
        qzo::platform::Sleep(kRetryPause);
    }
}

// The whole access wait; with an `owner` the file is attached to that locator (else through the
// request's hooks, when given) before the header lock is taken, and detached again when the lock
// is not obtained.
AccessResult Obtain(const AccessRequest& request, Locator* owner) {
    if (RefuseWrite(request)) return {kAccessRefused, nullptr};
    std::string native;
    if (!FileUsable(request, native)) return {kAccessFailed, nullptr};

    WaitDeadline deadline(request.timeout, request.ticks);
    DWORD result = kAccessFailed;
    LocFile* file = OpenWhenShared(request, native, deadline, result);
    if (!file) return {result, nullptr};
    if (!Attach(request, owner, file, deadline)) {
        file->Close();
        return {kAccessTimeout, nullptr};
    }
    const Location* waitingFor = owner ? &LocatorLife::Where(*owner) : nullptr;
    if (!LockWithin(file, request.objID, deadline.Remaining(), waitingFor, request.notifyWaiting,
                    request.ticks)) {
        if (owner)
            Detach(*owner, file);
        else if (request.attach && request.detach)
            request.detach(file);
        file->Close();
        return {kAccessTimeout, nullptr};
    }
    return {kAccessObtained, file};
}

}  // namespace

WaitDeadline::WaitDeadline(DWORD timeout, TickSource ticks)
    : ticks_(ticks ? std::move(ticks) : TickSource(&PlatformTick)),
      timeout_(timeout),
      lastTick_(ticks_()) {}

void WaitDeadline::Advance() {
    const DWORD now = ticks_();
    elapsed_ += DWORD(now - lastTick_);  // modulo 2^32: right across a wrap
    lastTick_ = now;
}

bool WaitDeadline::Passed() {
    if (timeout_ == kWaitForever) return false;
    Advance();
    return elapsed_ >= timeout_;
}

DWORD WaitDeadline::Remaining() {
    if (timeout_ == kWaitForever) return kWaitForever;
    Advance();
    return elapsed_ >= timeout_ ? 0 : DWORD(timeout_ - elapsed_);
}

DWORD AlreadyHasAccess(DWORD objID) {
    DebugPrint(kWaitLevel, u"\rLocator:WaitForAccess %08x: Object has already access\r\n", objID);
    return kAccessObtained;
}

AccessResult WaitForAccess(const AccessRequest& request) {
    return Obtain(request, nullptr);
}

BOOL WaitForLock(LocFile* file, DWORD objID, DWORD timeout,
                 const std::function<void()>& notifyWaiting, const TickSource& ticks) {
    return LockWithin(file, objID, timeout, nullptr, notifyWaiting, ticks);
}

}  // namespace qzo::store

using qzo::store::LocatorCore;
using qzo::store::LocatorCounter;
using qzo::store::LocatorTimer;

namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// Appends `value` as eight capital hex digits.
WCHAR* AppendHex(WCHAR* at, DWORD value) {
    for (int shift = 28; shift >= 0; shift -= 4) *at++ = kHexDigits[(value >> shift) & 0xF];
    return at;
}

WCHAR* AppendText(WCHAR* at, const char16_t* text) {
    while (*text) *at++ = *text++;
    return at;
}

size_t Length(const WCHAR* text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length]) ++length;
    return length;
}

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
    const qzo::store::AccessResult result = qzo::store::Obtain(request, this);
    if (result.result == qzo::store::kAccessObtained) SetRWTrace();
    return result.result;
}

BOOL Locator::WaitForLock(DWORD timeout) {
    return qzo::store::LockWithin(m_pFile, m_Location.dwObjID, timeout, &m_Location, {}, {});
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

BOOL Locator::GetObjectPath(WCHAR* buffer) const {
    if (!buffer) return FALSE;
    buffer[0] = 0;
    if (!m_Location.IsDiskObject()) return FALSE;
    const WCHAR* project = LocatorCore::ProjectPath(m_Location.dwProjID);
    if (!project) return FALSE;
    // "OBJ/" + 8 digits + "/" + 8 digits + ".QZO" and the terminator.
    constexpr size_t kTail = 4 + 8 + 1 + 8 + 4;
    const size_t length = Length(project, MAX_PATH);
    if (length + kTail >= MAX_PATH) return FALSE;
    std::memcpy(buffer, project, length * sizeof(WCHAR));
    WCHAR* at = buffer + length;
    at = AppendText(at, u"OBJ/");
    at = AppendHex(at, m_Location.dwHashID);
    *at++ = u'/';
    at = AppendHex(at, m_Location.dwObjID);
    at = AppendText(at, u".QZO");
    *at = 0;
    return TRUE;
}
