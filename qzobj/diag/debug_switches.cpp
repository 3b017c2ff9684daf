// The debug switches (debug mode, debug keys), the load-time reading of the trap settings, and
// the debugger break used by trap actions.
#include <atomic>
#include <cstdio>

#include "qzobj/diag.h"
#include "qzobj/diag/debug_switches.h"
#include "qzobj/frame.h"
#include "qzobj/platform/system.h"
#include "qzobj/uikit.h"

namespace {

constexpr const char* kSection = "QZOUtil";

// -1 until first asked: the debug mode then follows the debug output's state.
std::atomic<int> g_debugMode{-1};
std::atomic<int> g_debugKeys{0};
std::atomic<qzo::diag::DebuggerBreakHook> g_breakHook{nullptr};

void DefaultBreak() {
    if (qzo::platform::IsDebuggerPresent())
        qzo::platform::RaiseBreakpoint();
    else
        wPrintf(0, 5, u"\rDebug break requested, no debugger attached\r\n");
}

// Action word for a "TRAP_EXC%d" value when "TRAPALL" is 0.
DWORD ActionFromKey(int32_t value) {
    if (value == 0) return 0;
    if (value == 2) return EXC_ACTION_PASS_ON;
    return EXC_ACTION_BREAK;
}

// "TRAPALL": negative counts as 0, anything above 2 as 1.
int32_t NormalisedTrapAll(int32_t value) {
    if (value < 0) return 0;
    if (value > 2) return 1;
    return value;
}

void LoadTrapActions(int32_t trapAll) {
    tagEXCEPTIONENTRY* table = GetExceptionTable();
    for (int entry = 0; entry < EXCEPTION_TABLE_SIZE; ++entry) {
        char key[24];
        std::snprintf(key, sizeof key, "TRAP_EXC%d", entry);
        if (trapAll == 0) {
            table[entry].dwAction = ActionFromKey(QZOBJ_GetProfileInt(kSection, key, 0, FALSE));
        } else if (QZOBJ_GetProfileInt(kSection, key, 1, FALSE) != 0) {
            table[entry].dwAction = trapAll == 1 ? EXC_ACTION_BREAK : EXC_ACTION_PASS_ON;
        }
    }
}

}  // namespace

namespace qzo::diag {

void LoadDebugSettings() {
    g_debugMode.store(Is_wPrintf_Active(0) ? 1 : 0);
    g_debugKeys.store(QZOBJ_GetProfileInt(kSection, "DEBUGKEYS", 0, TRUE) != 0 ? 1 : 0);
    LoadTrapActions(NormalisedTrapAll(QZOBJ_GetProfileInt(kSection, "TRAPALL", 0, TRUE)));
}

void ResetDebugSwitches() {
    ResetExceptionTable();
    g_debugMode.store(-1);
    g_debugKeys.store(0);
}

DebuggerBreakHook SetDebuggerBreakHook(DebuggerBreakHook hook) {
    return g_breakHook.exchange(hook);
}

void BreakIntoDebugger() {
    if (DebuggerBreakHook hook = g_breakHook.load())
        hook();
    else
        DefaultBreak();
}

}  // namespace qzo::diag

void SetDebugMode(BOOL on) {
    g_debugMode.store(on ? 1 : 0);
}

BOOL IsDebugOn() {
    int mode = g_debugMode.load();
    if (mode < 0) {
        const int fromOutput = Is_wPrintf_Active(0) ? 1 : 0;
        g_debugMode.compare_exchange_strong(mode, fromOutput);
        mode = g_debugMode.load();
    }
    return mode > 0 ? TRUE : FALSE;
}

BOOL SetDebugKeyMode(BOOL on) {
    const BOOL flag = on ? TRUE : FALSE;
    g_debugKeys.store(flag);
    QZOBJ_WriteProfileInt(kSection, "DEBUGKEYS", flag);
    return flag;
}

BOOL IsDebugKeysOn() {
    return g_debugKeys.load() ? TRUE : FALSE;
}

BOOL IsAsyncKeyPressed(int virtualKey) {
    return (IsDebugKeysOn() && qzo::platform::IsKeyDown(virtualKey)) ? TRUE : FALSE;
}
