// The suite's platform diagnostics as this library provides them: diagnostic printing, stack
// walks, and names for code addresses.
#pragma once

#include "qzobj/types.h"

// Prints to the dump output: the debug output, or the file chosen with dmp_output. Same format
// rules as wPrintf. Returns the number of characters formatted.
QZOBJ_API int dmp_printf(const WCHAR* format, ...);
// Sends dump output to a file (appended, UTF-8); null or empty returns it to the debug output.
QZOBJ_API void dmp_output(const WCHAR* path);

// Module filter block handed to the trace functions: a narrow module name of at most 15
// characters; an empty name (or a null block) filters nothing.
struct tagTRACEFILTER {
    char szModule[16];
};
static_assert(sizeof(tagTRACEFILTER) == 16, "the filter block is 16 bytes");

// Writes the call stack of an exception through dmp_printf: a "Call stack:" line, then one line
// per frame with address, module+offset and symbol+offset. `detail` 1 walks up to 64 frames, -1
// gives 10 frames. With a non-empty filter nothing is written: the result tells whether the
// exception involves the module (its address or a frame of its stack lies in it; the name
// matches without case, with or without extension), 0 when it does not. Otherwise non-zero; 0
// for null pointers.
QZOBJ_API int TraceOutException(EXCEPTION_POINTERS* pointers, int detail,
                                const tagTRACEFILTER* filter);
// The same for the current stack, starting at `address` with the frame pointer `frame` (both
// may be null: the caller's).
QZOBJ_API int WalkCallStack(void* address, void* frame, int detail, const tagTRACEFILTER* filter);

// What is known of a code address. Symbols are the modules' exported ones; names are readable
// (demangled) C++ names.
struct tagADDRESSINFO {
    uintptr_t uModuleBase;  // base address of the module, 0 when unknown
    char szModule[260];     // module file name (without folder)
    char szFunction[256];   // the function before the address that holds it, "" when unknown
    char szFunction2[256];  // the next function after the address, "" when unknown
    DWORD dwDisplacement;   // address minus the first function's start
    DWORD dwDistance;       // the second function's start minus the address
};
// Fills the record (zeroed first); non-zero when a module holds the address. Results are cached
// per address.
QZOBJ_API BOOL GetAddressInfo(const void* address, tagADDRESSINFO* info);
// "module+0xOFFSET function+0xOFFSET" text for an address ("module+0xOFFSET next-0xDISTANCE"
// when only the next function is known, "0x" and the address's hex digits when no module holds
// it), cut at size-1. Returns the length.
QZOBJ_API int GetAddressInfoString(const void* address, WCHAR* buffer, int size);
