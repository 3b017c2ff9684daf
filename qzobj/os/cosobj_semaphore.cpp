// COSSemaphore: a counting semaphore with a maximum, created or opened by name.
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/waitobj.h"

namespace platform = qzo::platform;

COSSemaphore::COSSemaphore() : COSSemaphore(nullptr, 1, 1, nullptr) {}

COSSemaphore::COSSemaphore(LONG initialCount, LONG maximumCount, const WCHAR* name)
    : COSSemaphore(nullptr, initialCount, maximumCount, name) {}

COSSemaphore::COSSemaphore(LPSECURITY_ATTRIBUTES /*securityAttributes: process-private objects*/,
                           LONG initialCount, LONG maximumCount, const WCHAR* name) {
    m_hObject = platform::ToHandle(
        platform::CreateSemaphore(initialCount, maximumCount, NameOrDefault(name)));
}

COSSemaphore::~COSSemaphore() {
    CloseObjectHandle();
}

BOOL COSSemaphore::Release(LONG count, LONG* previousCount) {
    if (m_hObject == nullptr) return FALSE;
    return platform::ReleaseSemaphore(platform::FromHandle(m_hObject), count, previousCount)
               ? TRUE
               : FALSE;
}
