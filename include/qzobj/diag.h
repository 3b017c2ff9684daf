// Diagnostics: the debug switches, the exception filter that guarded code uses, warnings for
// conditions that ought never to arise, and the frame functions that name a warning's place.
#pragma once

#include "qzobj/types.h"

// The exception filter of every guarded operation: reports the exception through dmp_printf
// (only its first line outside debug mode) and returns EXCEPTION_EXECUTE_HANDLER (1), or
// EXCEPTION_CONTINUE_SEARCH (0) when the exception's trap action passes it on.
QZOBJ_API LONG AnalyseException(EXCEPTION_POINTERS* pointers);

// Reports a warning with a walk of the call stack from `address`/`frame`, in debug mode only.
QZOBJ_API void WarningMsg(const WCHAR* text, void* address, void* frame);

// Filter for expected exceptions: returns 1, breaking into the debugger first when the
// "Expected exceptions" entry asks for it.
QZOBJ_API LONG DebugException();

// Prints "Message Beep: <file>, line <n>" (channel 0, level 9) and sounds the beep.
QZOBJ_API void DetailedMessageBeep(UINT type, const char* sourceFile, int line);

QZOBJ_API void SetDebugMode(BOOL on);
QZOBJ_API BOOL IsDebugOn();
// Sets the debug-keys flag and stores it as "DEBUGKEYS" of "QZOUtil"; returns the flag.
QZOBJ_API BOOL SetDebugKeyMode(BOOL on);
QZOBJ_API BOOL IsDebugKeysOn();
// Non-zero only while debug keys are on and the key is down.
QZOBJ_API BOOL IsAsyncKeyPressed(int virtualKey);

// The place of a warning: the caller's code address, its return address, its frame pointer
// and the frame pointer of its caller.
QZOBJ_API void* GetAddress();
QZOBJ_API void* GetRetAddress();
QZOBJ_API void* GetEBP();
QZOBJ_API void* GetLastEBP();
