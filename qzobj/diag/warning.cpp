// WarningMsg, the report for conditions that ought never to arise, and DetailedMessageBeep for
// lost locks.
#include "qzobj/diag.h"
#include "qzobj/diag/debug_switches.h"
#include "qzobj/platform/system.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"

namespace {

bool InRange(const tagEXCEPTIONENTRY& entry, const void* address) {
    if (entry.uRangeLow >= entry.uRangeHigh) return true;
    const auto value = reinterpret_cast<uintptr_t>(address);
    return value >= entry.uRangeLow && value < entry.uRangeHigh;
}

}  // namespace

void WarningMsg(const WCHAR* text, void* address, void* frame) {
    if (!IsDebugOn()) return;
    const tagEXCEPTIONENTRY& entry = GetExceptionTable()[EXCEPTION_ENTRY_WARNINGS];
    const DWORD action = entry.dwAction;
    if (action & EXC_ACTION_SILENT) return;
    if (!InRange(entry, address)) return;
    // The module filter decides only when it names a module; without one it agrees.
    if ((action & EXC_ACTION_MODULE) && entry.Trace.szModule[0] != '\0' &&
        WalkCallStack(address, frame, -1, &entry.Trace) == 0)
        return;
    wPrintf(0, 3, u"\r\nWarning: %s\r\n", text ? text : u"");
    WalkCallStack(address, frame, (action & EXC_ACTION_DETAILED) ? 1 : -1, nullptr);
    if (action & EXC_ACTION_BREAK) qzo::diag::BreakIntoDebugger();
}

void DetailedMessageBeep(UINT type, const char* sourceFile, int line) {
    (void)type;  // one sound for every beep type: the terminal bell
    wPrintf(0, 9, u"\rMessage Beep: %hs, line %d\r\n", sourceFile ? sourceFile : "", line);
    qzo::platform::Beep();
}
