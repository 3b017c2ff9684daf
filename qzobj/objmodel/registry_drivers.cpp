// The services a driver library's entry points use: its own module handle, its string table
// and the registration of its classes, in one step at load and one at unload.
#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/platform/module.h"

static_assert(sizeof(QZOBJ_STRINGRES) == sizeof(qzo::platform::StringResource) &&
                  offsetof(QZOBJ_STRINGRES, text) == offsetof(qzo::platform::StringResource, text),
              "string table entries are passed through unchanged");

HINSTANCE QZOBJ_ModuleFromAddress(const void* address) {
    return qzo::platform::ModuleFromAddress(address);
}

DWORD QZOBJ_AttachDriver(HINSTANCE module, const QZOBJ_STRINGRES* strings, size_t stringCount,
                         const QZOBJ_DRIVERCLASS* classes, size_t classCount) {
    if (!module) return 0;
    if (strings && stringCount)
        qzo::platform::RegisterStringTable(
            module, reinterpret_cast<const qzo::platform::StringResource*>(strings), stringCount);
    DWORD registered = 0;
    for (size_t i = 0; classes && i < classCount; ++i) {
        const QZOBJ_DRIVERCLASS& entry = classes[i];
        if (entry.pClass &&
            entry.pClass->RegisterClass(module, entry.pBaseClass, entry.dwBaseObjSize) == 0)
            ++registered;
    }
    return registered;
}

void QZOBJ_DetachDriver(HINSTANCE module, const QZOBJ_DRIVERCLASS* classes, size_t classCount) {
    for (size_t i = classCount; classes && i-- > 0;)
        if (classes[i].pClass) classes[i].pClass->UnRegisterClass();
    if (module) qzo::platform::UnregisterStringTable(module);
}
