// COSObject: waits on one object or several, going on through signals that the objects declare
// spurious until the time-out measured from the start has passed.
#include "qzobj/diag.h"
#include "qzobj/os/wait_time.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/waitobj.h"

namespace platform = qzo::platform;

namespace {

// Waits with `waitOnce(remaining ms)` until it returns a result other than a success below
// `count`, or a success that `verify` does not call spurious (258). The remaining time is always
// the time-out less the time elapsed since the start, so repeated spurious rounds neither
// shorten the wait nor let it run over, and INFINITE stays infinite.
template <typename WaitOnce, typename Verify>
DWORD WaitThroughSpurious(DWORD count, DWORD timeout, WaitOnce waitOnce, Verify verify) {
    const DWORD start = platform::GetTickCount();
    DWORD remaining = timeout;
    for (;;) {
        DWORD result = waitOnce(remaining);
        if (result >= count) return result;  // time-out, abandoned or failure
        result = verify(result);
        if (result != WAIT_TIMEOUT) return result;
        const DWORD now = platform::GetTickCount();
        if (qzo::os::TimeoutPassed(timeout, start, now)) return WAIT_TIMEOUT;
        remaining = qzo::os::RemainingTimeout(timeout, start, now);
    }
}

struct WaitMessages {
    const WCHAR* tooMany;
    const WCHAR* missing;
};

constexpr WaitMessages kWaitMultipleMessages = {
    u"ObjectWaitMultiple: Too many objects",
    u"ObjectWaitMultiple: Object(s) do(es) not exist",
};
constexpr WaitMessages kMsgWaitMultipleMessages = {
    u"MsgObjectWaitMultiple: Too many objects",
    u"MsgObjectWaitMultiple: Object(s) do(es) not exist",
};

DWORD Refuse(const WCHAR* warning, DWORD error, void* address, void* frame) {
    WarningMsg(warning, address, frame);
    platform::SetLastError(error);
    return WAIT_FAILED;
}

// The shared body of WaitMultiple and MsgWaitMultiple; `address` and `frame` name the caller
// in warnings.
DWORD WaitForObjects(DWORD count, COSObject** objects, BOOL waitAll, DWORD timeout,
                     const WaitMessages& messages, void* address, void* frame) {
    if (count > MAXIMUM_WAIT_OBJECTS)
        return Refuse(messages.tooMany, COSObject::ErrorTooManyObjects, address, frame);
    if (count == 0 || objects == nullptr) {
        platform::SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    platform::KernelHandle handles[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        handles[i] = objects[i] ? platform::FromHandle(objects[i]->GetHandle()) : 0;
        if (handles[i] == 0)
            return Refuse(messages.missing, COSObject::ErrorObjectMissing, address, frame);
    }
    return WaitThroughSpurious(
        count, timeout,
        [&](DWORD remaining) {
            return platform::WaitForMultipleObjects(count, handles, waitAll != FALSE, remaining);
        },
        [&](DWORD result) { return objects[result]->VerifyWaitSuccessful(result); });
}

}  // namespace

COSObject::COSObject() : m_hObject(nullptr) {}

COSObject::~COSObject() = default;

DWORD COSObject::VerifyWaitSuccessful(DWORD result) {
    return result;
}

DWORD COSObject::Wait(DWORD timeout) {
    if (m_hObject == nullptr)
        return Refuse(u"ObjectWait: Object does not exist", ErrorObjectMissing, GetAddress(),
                      GetEBP());
    const platform::KernelHandle handle = platform::FromHandle(m_hObject);
    return WaitThroughSpurious(
        1, timeout,
        [handle](DWORD remaining) { return platform::WaitForSingleObject(handle, remaining); },
        [this](DWORD result) { return VerifyWaitSuccessful(result); });
}

DWORD COSObject::WaitMultiple(DWORD count, COSObject** objects, BOOL waitAll, DWORD timeout) {
    return WaitForObjects(count, objects, waitAll, timeout, kWaitMultipleMessages, GetAddress(),
                          GetEBP());
}

DWORD COSObject::MsgWaitMultiple(DWORD count, COSObject** objects, BOOL waitAll, DWORD timeout,
                                 DWORD /*wakeMask: no message queue to watch*/) {
    return WaitForObjects(count, objects, waitAll, timeout, kMsgWaitMultipleMessages, GetAddress(),
                          GetEBP());
}

void COSObject::CloseObjectHandle() {
    if (m_hObject == nullptr) return;
    platform::CloseKernelHandle(platform::FromHandle(m_hObject));
    m_hObject = nullptr;
}
