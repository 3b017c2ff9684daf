// Modules (the library, the main program and loaded driver libraries) and the resources
// compiled into them. A module handle is the module's base address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qzobj/types.h"

namespace qzo::platform {

// Last-error codes of module loading.
inline constexpr DWORD kErrorModuleNotFound = 126;     // the library cannot be loaded
inline constexpr DWORD kErrorProcedureNotFound = 127;  // the module has no such symbol

HMODULE ThisModule();                            // the module that holds the library's code
HMODULE MainModule();                            // the main program
HMODULE ModuleFromAddress(const void* address);  // null when no module holds the address

// Full file name of a module (the main program's from /proc/self/exe) in system form; a null
// module names the main program. Returns the length, or 0 on failure or when it does not fit
// (ERROR_INSUFFICIENT_BUFFER; the buffer then holds the name cut at size-1).
DWORD GetModuleFileName(HMODULE module, WCHAR* buffer, DWORD size);

// Loads a library (a system path, mapped by ResolvePath) with all its symbols bound at once.
// Loading one library again returns the same handle; each load needs its own FreeLibrary.
// Null on failure, with the last error set.
HMODULE LoadLibrary(const WCHAR* path);
// Releases one load made by LoadLibrary; FALSE (ERROR_INVALID_HANDLE) for other handles.
BOOL FreeLibrary(HMODULE module);
// The address of an exported symbol defined in the module itself (not in the libraries it
// depends on); null (kErrorProcedureNotFound) when it has none.
void* GetProcAddress(HMODULE module, const char* name);

// String tables, registered per module at static initialisation. The texts must outlive the
// registration (string literals). A module may register several tables; a later entry with the
// same number replaces an earlier one. All registry functions are thread-safe.
struct StringResource {
    UINT id;
    const WCHAR* text;
};
void RegisterStringTable(HMODULE module, const StringResource* entries, size_t count);
void UnregisterStringTable(HMODULE module);
// The string, or null when the module has no such string. A null module names the main program.
const WCHAR* FindStringResource(HMODULE module, UINT id, size_t* length);

// Other resources (type, number) compiled into a module. A type is a name, compared without
// case, or a number given as MakeIntResource(n), which equals the name "#n". The data must
// outlive the registration.
void RegisterResource(HMODULE module, const char* type, UINT id, const void* data, size_t size);
const void* FindResource(HMODULE module, const char* type, UINT id, size_t* size);
// Drops every resource and string table of a module (when a driver library is unloaded).
void UnregisterResources(HMODULE module);

// A numeric resource type in the place of a type name.
inline const char* MakeIntResource(UINT id) {
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(id & 0xFFFF));
}
inline bool IsIntResource(const char* type) {
    return reinterpret_cast<uintptr_t>(type) < 0x10000;
}

}  // namespace qzo::platform
