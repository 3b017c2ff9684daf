// The locator's access protocol: the checks before an object file is opened, the open that
// waits out other holders, attaching the file to its locator and the header lock.
#include "qzobj/store/locator_access.h"

#include "qzobj/archive/debug_print.h"
#include "qzobj/file_modes.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"

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

// The path exists, its attributes read, and it is not marked deleted (read-only).
bool FileUsable(const AccessRequest& request) {
    if (!request.path || !*request.path) {
        DebugPrint(kFailureLevel, u"\rLocator:WaitForAccess %08x: Object path unretrievable\r\n",
                   request.objID);
        return false;
    }
    const DWORD attributes = qzo::platform::GetFileAttributes(request.path);
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

LocFile* OpenObjectFile(const AccessRequest& request) {
    const bool writing = Writing(request.access);
    const DWORD access = (request.access & kAccessBits) | LocFile::kRead;
    const DWORD share = writing ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE);
    DWORD flags = kSequentialNormal;
    if (writing && request.writeBackPriority == kWriteThroughPriority)
        flags |= FILE_FLAG_WRITE_THROUGH;
    return LocFile::Open(request.path, access, share, OPEN_EXISTING, flags);
}

// Opens the file, waiting while another handle's sharing mode excludes ours. The result code
// goes to `result` when the file could not be had.
LocFile* OpenWhenShared(const AccessRequest& request, WaitDeadline& deadline, DWORD& result) {
    LocFile* file = OpenObjectFile(request);
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
        file = OpenObjectFile(request);
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

// Hands the file to the locator, retrying while another thread's file occupies it.
bool Attach(const AccessRequest& request, LocFile* file, WaitDeadline& deadline) {
    if (!request.attach) return true;
    while (!request.attach(file)) {
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
    if (RefuseWrite(request)) return {kAccessRefused, nullptr};
    if (!FileUsable(request)) return {kAccessFailed, nullptr};

    WaitDeadline deadline(request.timeout, request.ticks);
    DWORD result = kAccessFailed;
    LocFile* file = OpenWhenShared(request, deadline, result);
    if (!file) return {result, nullptr};
    if (!Attach(request, file, deadline)) {
        file->Close();
        return {kAccessTimeout, nullptr};
    }
    if (!WaitForLock(file, request.objID, deadline.Remaining(), request.notifyWaiting,
                     request.ticks)) {
        if (request.attach && request.detach) request.detach(file);
        file->Close();
        return {kAccessTimeout, nullptr};
    }
    return {kAccessObtained, file};
}

BOOL WaitForLock(LocFile* file, DWORD objID, DWORD timeout,
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
            NotifyOnce(notifyWaiting);
        }
        if (deadline.Passed()) {
            DebugPrint(kRefusalLevel, u"\rLocator:WaitForLock %08x: Lock timeout\r\n", objID);
            return FALSE;
        }
        qzo::platform::Sleep(kRetryPause);
    }
}

}  // namespace qzo::store
