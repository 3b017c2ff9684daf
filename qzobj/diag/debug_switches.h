// Internal side of the debug switchboard: the exception table with its trap actions, the
// load-time reading of the "QZOUtil" settings, and the debugger break that trap actions use.
#pragma once

#include <cstdint>

#include "qzobj/qzoplatu.h"
#include "qzobj/types.h"

// Code addresses in messages take as many hex digits as a pointer has nibbles; pass them as
// unsigned long long.
#if UINTPTR_MAX > 0xFFFFFFFFu
#define QZO_ADDRESS_FORMAT u"%016llX"
#else
#define QZO_ADDRESS_FORMAT u"%08llX"
#endif

// One kind of exception and what to do when it is met.
struct tagEXCEPTIONENTRY {
    DWORD dwCode;  // exception code, 0 for the two pseudo-entries
    WCHAR szName[32];
    DWORD dwAction;        // EXC_ACTION_* bits
    tagTRACEFILTER Trace;  // module filter handed to the trace functions
    uintptr_t uRangeLow;   // code range of interest; applies only when low < high
    uintptr_t uRangeHigh;
};

// Action bits.
inline constexpr DWORD EXC_ACTION_BREAK = 0x1;     // break into the debugger after reporting
inline constexpr DWORD EXC_ACTION_SILENT = 0x2;    // report nothing
inline constexpr DWORD EXC_ACTION_DETAILED = 0x4;  // detailed stack trace
inline constexpr DWORD EXC_ACTION_MODULE = 0x8;    // report only when the module filter agrees
inline constexpr DWORD EXC_ACTION_PASS_ON = 0x10;  // let the next handler have it

inline constexpr int EXCEPTION_TABLE_SIZE = 23;
inline constexpr int EXCEPTION_CODED_ENTRIES = 21;   // entries 0 ... 20 carry a code
inline constexpr int EXCEPTION_ENTRY_WARNINGS = 21;  // "Warnings (Debug)", used by WarningMsg
inline constexpr int EXCEPTION_ENTRY_EXPECTED = 22;  // "Expected exceptions", by DebugException

// The table, EXCEPTION_TABLE_SIZE entries. Process-wide and never moved. Entries are plain
// values: written at load, by the setters and by the exception-handling panel, and read without
// a lock (a reader may see an entry half edited, which costs at most one report's shape).
tagEXCEPTIONENTRY* GetExceptionTable();
// The coded entry for an exception code (entries 0 ... 20), or null.
tagEXCEPTIONENTRY* FindExceptionEntry(DWORD code);

namespace qzo::diag {

// Reads "DEBUGKEYS", "TRAPALL" and "TRAP_EXC0" ... "TRAP_EXC22" of "QZOUtil" into the switches
// and the table's action words, and takes the debug mode from the debug output's state. Run at
// library load.
void LoadDebugSettings();

// Puts every entry back to its name and code with no action, filter or range.
void ResetExceptionTable();

// Puts the table and the switches back to their state before any settings were read (the debug
// mode is taken from the debug output again on next use). For tests.
void ResetDebugSwitches();

// Breaks into the debugger, as a trap action does. The default raises a breakpoint trap when a
// debugger is attached and otherwise notes the request in the debug output; a hook replaces it
// (null restores the default). Returns the previous hook.
using DebuggerBreakHook = void (*)();
DebuggerBreakHook SetDebuggerBreakHook(DebuggerBreakHook hook);
void BreakIntoDebugger();

}  // namespace qzo::diag
