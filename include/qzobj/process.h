// Process inspection and the computer's identity: the module that holds an address, the
// computer's name and identifier, and small hex and memory helpers.
//
// A module ("image") is a loaded ELF object: the main program or a shared library. A "DLL" is
// any image but the main program. Module handles are base addresses (the ELF header's address).
// All functions may be called from any thread.
#pragma once

#include "qzobj/types.h"

// The computer's name in upper case (at most 15 characters, terminated); makes and sets one
// when the computer has none. 1 on success, 0 when `capacity` is below 16 or `name` is null.
// The name is process-wide: $QZO_COMPUTERNAME, else the host's first label. An empty
// QZO_COMPUTERNAME means the computer has no name; then "ZORB" + years since 1996, month, day
// and the seconds since midnight (UTC) becomes this process's name. The host name is never set.
QZOBJ_API int GetCreateComputerName(WCHAR* name, DWORD capacity);

// The hash identifier of the computer's name, computed once and cached; 0xFC00 when none.
QZOBJ_API DWORD GetComputerID();

// The full path of the module holding `address`, copied into `path` (cut at capacity-1 and
// terminated). Returns `path`, or null when no module holds the address or `path` is null.
// The form without a capacity assumes MAX_PATH (260) characters.
QZOBJ_API WCHAR* GetModuleFilenameFromAddress(const void* address, WCHAR* path, DWORD capacity);
QZOBJ_API WCHAR* GetModuleFilenameFromAddress(const void* address, WCHAR* path);

// The base of the module holding `address`, null when none does.
QZOBJ_API HMODULE GetModuleInstanceFromAddress(const void* address);

// The folder of the process's executable, ending with a separator (cut at capacity-1 and
// terminated). FALSE when it is unknown or `path` is null. The form without a capacity assumes
// MAX_PATH (260) characters.
QZOBJ_API BOOL GetProcessStartupDir(WCHAR* path, DWORD capacity);
QZOBJ_API BOOL GetProcessStartupDir(WCHAR* path);

// Prints every loaded image to the debug output (channel 0, level 9): base, the file's
// last-modified time and path, and " (APP)" for the main program, " (DLL)" for the others.
QZOBJ_API void DumpAppDLLs();

// Exchanges `count` bytes of `a` and `b` one by one with atomic exchanges. 1 when done (also for
// count 0 or a == b), 0 when the buffers overlap or one is null or unreadable.
QZOBJ_API int SwapNOMemory(void* a, void* b, DWORD count);

// Hex code with the letters A..P: each byte becomes "A" + low nibble, then "A" + high nibble;
// 0x3C gives "MD". Bin2HexCode writes 2 * count characters and a terminator (the caller's
// buffer must hold them) and returns 1; 0 for null pointers.
QZOBJ_API int Bin2HexCode(WCHAR* text, const BYTE* bytes, DWORD count);
// Decodes `count` bytes; 1 when all were decoded, 0 when the text ends early or holds a
// character outside "A".."P" (then the bytes decoded so far are written).
QZOBJ_API int HexCode2Bin(BYTE* bytes, const WCHAR* text, DWORD count);

// Dialog items as hex numbers: writes the value as "%08X"; reads up to 9 characters of the item
// as hex, 0 when the item is missing or unreadable. Dialogs are headless: item texts live in a
// process-wide store keyed by dialog and item.
QZOBJ_API BOOL _SetDlgItemHex(HWND dialog, int item, DWORD value);
QZOBJ_API DWORD _GetDlgItemHex(HWND dialog, int item);

// The bases of the loaded images in load order, at most `capacity` of them stored (none when
// `bases` is null). Returns the number of images, which may exceed `capacity`.
QZOBJ_API DWORD GetDLLFootprint(HMODULE* bases, DWORD capacity);
// The base of the main program, cached; null when unknown.
QZOBJ_API HMODULE GetMainInstance();
// The address of a symbol the image `module` defines in its dynamic symbol table, the name
// compared without regard to case; null when `module` is no image or has no such symbol.
QZOBJ_API void* DirectGetProcAddress(HMODULE module, const char* name);
// 0 when `address` is not mapped or lies in a shared library; 1 otherwise (the main program and
// memory outside every image).
QZOBJ_API int IsApp(const void* address);
// 1 when `address` lies in a loaded image, else 0.
QZOBJ_API int IsStaticArea(const void* address);
// The size of the mapping that holds `address`, 0 when it is not mapped.
QZOBJ_API size_t GetAllocSize(const void* address);
// The resource (numeric type, numeric name) compiled into `module`; stores its size. Null when
// the module has no such resource. Resources carry no language here, so the user's language
// ($LANG) selects nothing.
QZOBJ_API const void* GetResourcePtr(HMODULE module, UINT typeId, UINT nameId, DWORD* size);
// 1: the system provides the full set of services (always so here).
QZOBJ_API int IsNTSystem();
// The current UTC time as a file time; 1 on success, 0 for a null pointer.
QZOBJ_API int GetCurrentFileTime(FILETIME* fileTime);

// Shows "<function> called by <module file> no longer supported", caption "STUB MESSAGE", stop
// icon; returns the message box's answer.
QZOBJ_API int StubMsg(const WCHAR* functionName, const void* callerAddress);

// A short description of an exception for message boxes: "Exception 0x%08X @ 0x<address>" or,
// for a code of the exception table, "<name> @ 0x<address>", followed by the module and offset
// and the symbols around the address when known. Cut at capacity-1 and terminated. 1 on
// success, 0 for null pointers, a capacity of 0, or a fault while reading the exception. The
// form without a capacity assumes 512 characters.
QZOBJ_API int GetExceptionInfo(EXCEPTION_POINTERS* pointers, WCHAR* text, DWORD capacity);
QZOBJ_API int GetExceptionInfo(EXCEPTION_POINTERS* pointers, WCHAR* text);
