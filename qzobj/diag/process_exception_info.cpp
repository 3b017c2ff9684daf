// Texts about exceptions and retired functions for message boxes: GetExceptionInfo and StubMsg.
// GetExceptionInfo also runs inside the fault handler, so it formats into the caller's buffer
// and allocates nothing.
#include "qzobj/diag/debug_switches.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/suitelibs/uikit/debug_output.h"
#include "qzobj/uikit.h"

namespace {

constexpr DWORD kDescriptionUnits = 512;  // what the form without a capacity assumes

struct DescriptionJob {
    EXCEPTION_POINTERS* pointers;
    WCHAR* text;
    size_t capacity;
};

// Appends formatted text behind what the buffer holds.
template <class... Args>
void Append(WCHAR* text, size_t capacity, const WCHAR* format, Args... args) {
    const size_t used = qzo::text::BoundedLength(text, capacity);
    if (used + 1 >= capacity) return;
    qzo::uikit::Format(text + used, capacity - used, format, args...);
}

void Describe(const DescriptionJob& job) {
    const EXCEPTION_RECORD& record = *job.pointers->ExceptionRecord;
    const auto address =
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
    if (const tagEXCEPTIONENTRY* entry = FindExceptionEntry(record.ExceptionCode))
        qzo::uikit::Format(job.text, job.capacity, u"%s @ 0x" QZO_ADDRESS_FORMAT u"\r\n",
                           entry->szName, address);
    else
        qzo::uikit::Format(job.text, job.capacity,
                           u"Exception 0x%08X @ 0x" QZO_ADDRESS_FORMAT u"\r\n",
                           record.ExceptionCode, address);
    tagADDRESSINFO info;
    if (!GetAddressInfo(record.ExceptionAddress, &info)) return;
    Append(job.text, job.capacity, u"%hs, offset %08X", info.szModule,
           DWORD(reinterpret_cast<uintptr_t>(record.ExceptionAddress) - info.uModuleBase));
    const bool before = info.szFunction[0] != '\0';
    const bool after = info.szFunction2[0] != '\0';
    if (before && after)
        Append(job.text, job.capacity, u"\r\n[%hs + %ud , %hs -%ud]", info.szFunction,
               info.dwDisplacement, info.szFunction2, info.dwDistance);
    else if (before)
        Append(job.text, job.capacity, u"\r\n[%hs + %ud]", info.szFunction, info.dwDisplacement);
    else if (after)
        Append(job.text, job.capacity, u"\r\n[%hs - %ud]", info.szFunction2, info.dwDistance);
}

}  // namespace

int GetExceptionInfo(EXCEPTION_POINTERS* pointers, WCHAR* text, DWORD capacity) {
    if (!pointers || !text || capacity == 0) return 0;
    text[0] = 0;
    const DescriptionJob job{pointers, text, capacity};
    if (!pointers->ExceptionRecord) return 0;
    // Inside the fault handler a further fault ends the process anyway; a guard there would
    // only prepare the thread, which allocates.
    if (qzo::platform::InFaultHandler()) {
        Describe(job);
        return 1;
    }
    auto body = [&job] { Describe(job); };
    if (qzo::platform::Guarded(body, nullptr)) return 1;
    text[capacity - 1] = 0;
    return 0;
}

int GetExceptionInfo(EXCEPTION_POINTERS* pointers, WCHAR* text) {
    return GetExceptionInfo(pointers, text, kDescriptionUnits);
}

int StubMsg(const WCHAR* functionName, const void* callerAddress) {
    WCHAR module[MAX_PATH] = {};
    GetModuleFilenameFromAddress(callerAddress, module, MAX_PATH);
    const WCHAR* fileName = module;
    for (const WCHAR* p = module; *p; ++p)
        if (*p == u'/' || *p == u'\\') fileName = p + 1;
    WCHAR message[1024];
    qzo::uikit::Format(message, 1024, u"%s called by %s no longer supported",
                       functionName ? functionName : u"", fileName);
    return XMessageBox(nullptr, message, u"STUB MESSAGE", MB_OK | MB_ICONHAND, nullptr, 0);
}
