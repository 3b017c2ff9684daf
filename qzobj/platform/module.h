// Modules (the library, the main program and loaded driver libraries) and the resources
// compiled into them. A module handle is the module's base address.
#pragma once

#include <cstddef>

#include "qzobj/types.h"

namespace qzo::platform {

HMODULE ThisModule();  // the module that holds the library's code
HMODULE MainModule();  // the main program
HMODULE ModuleFromAddress(const void* address);  // null when no module holds the address

// Full file name of a module (the main program's from /proc/self/exe) in system form. Returns
// the length, or 0 on failure or when it does not fit (ERROR_INSUFFICIENT_BUFFER).
DWORD GetModuleFileName(HMODULE module, WCHAR* buffer, DWORD size);

HMODULE LoadLibrary(const WCHAR* path);
BOOL FreeLibrary(HMODULE module);
void* GetProcAddress(HMODULE module, const char* name);

// String tables, registered per module at static initialisation. The texts must outlive the
// registration (string literals).
struct StringResource {
    UINT id;
    const WCHAR* text;
};
void RegisterStringTable(HMODULE module, const StringResource* entries, size_t count);
void UnregisterStringTable(HMODULE module);
// The string, or null when the module has no such string.
const WCHAR* FindStringResource(HMODULE module, UINT id, size_t* length);

// Other resources (type name, number) compiled into a module.
void RegisterResource(HMODULE module, const char* type, UINT id, const void* data, size_t size);
const void* FindResource(HMODULE module, const char* type, UINT id, size_t* size);

}  // namespace qzo::platform
