// COSEvent and COSExtEvent: events created, opened by name or duplicated from a handle.
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/waitobj.h"

namespace platform = qzo::platform;

namespace {

HANDLE DuplicateOrNull(HANDLE handle) {
    const platform::KernelHandle source = platform::FromHandle(handle);
    return source ? platform::ToHandle(platform::DuplicateKernelHandle(source)) : nullptr;
}

HANDLE CreateAutoResetEvent(const WCHAR* name) {
    return platform::ToHandle(platform::CreateEvent(false, false, name));
}

}  // namespace

COSEvent::COSEvent() {
    m_hObject = CreateAutoResetEvent(GetDefaultName());
}

COSEvent::COSEvent(HANDLE handle) {
    m_hObject = DuplicateOrNull(handle);
}

COSEvent::COSEvent(const WCHAR* name, BOOL create) {
    // An opened event gets every right Wait, Set, Reset and Pulse need.
    m_hObject = create ? CreateAutoResetEvent(NameOrDefault(name))
                       : platform::ToHandle(platform::OpenEvent(name));
}

COSEvent::COSEvent(LPSECURITY_ATTRIBUTES /*securityAttributes: process-private objects*/,
                   BOOL manualReset, BOOL initialState, const WCHAR* name) {
    m_hObject = platform::ToHandle(
        platform::CreateEvent(manualReset != FALSE, initialState != FALSE, NameOrDefault(name)));
}

COSEvent::~COSEvent() {
    CloseObjectHandle();
}

BOOL COSEvent::Set() {
    return m_hObject && platform::SetEvent(platform::FromHandle(m_hObject)) ? TRUE : FALSE;
}

BOOL COSEvent::Reset() {
    return m_hObject && platform::ResetEvent(platform::FromHandle(m_hObject)) ? TRUE : FALSE;
}

BOOL COSEvent::Pulse() {
    return m_hObject && platform::PulseEvent(platform::FromHandle(m_hObject)) ? TRUE : FALSE;
}

COSExtEvent::COSExtEvent() : COSEvent(static_cast<HANDLE>(nullptr)) {}

BOOL COSExtEvent::Open(HANDLE handle) {
    if (m_hObject != nullptr) return FALSE;
    m_hObject = DuplicateOrNull(handle);
    return m_hObject != nullptr ? TRUE : FALSE;
}

BOOL COSExtEvent::Close() {
    CloseObjectHandle();
    return TRUE;
}
