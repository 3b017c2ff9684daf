// System information and process services: memory figures, processors, ticks and the
// performance counter, sleeping, computer and user names, key state, debugger presence.
#pragma once

#include <string>

#include "qzobj/types.h"

namespace qzo::platform {

struct MemoryStatus {
    DWORD memoryLoad = 0;  // percent of physical memory in use
    ULONGLONG totalPhysical = 0;
    ULONGLONG availablePhysical = 0;
    ULONGLONG totalPageFile = 0;  // physical memory plus swap
    ULONGLONG availablePageFile = 0;
    ULONGLONG totalVirtual = 0;  // the address space of the process
    ULONGLONG availableVirtual = 0;
};
bool GetMemoryStatus(MemoryStatus& status);
DWORD GetNumberOfProcessors();

// Milliseconds of the monotonic clock, as a 32-bit value that wraps.
DWORD GetTickCount();
ULONGLONG QueryPerformanceCounter();    // nanoseconds of the monotonic clock
ULONGLONG QueryPerformanceFrequency();  // counts per second
void Sleep(DWORD milliseconds);

DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// The computer's name: $QZO_COMPUTERNAME, else the first label of the host name, upper-cased,
// at most 15 characters. The user's name: $QZO_USERNAME, else the account's name.
std::u16string ComputerName();
std::u16string UserName();

// Keyboard state: every key is up unless a hook says otherwise (tests plug one in).
using KeyStateHook = bool (*)(int virtualKey);
void SetKeyStateHook(KeyStateHook hook);
bool IsKeyDown(int virtualKey);

// Whether a debugger (a tracer) is attached, and a breakpoint trap for it.
bool IsDebuggerPresent();
void RaiseBreakpoint();

// Sounds the terminal bell when standard error is a terminal.
void Beep();

}  // namespace qzo::platform
