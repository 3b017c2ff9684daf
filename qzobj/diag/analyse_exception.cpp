// AnalyseException, the exception filter of every guarded operation, and DebugException, the
// filter for expected exceptions.
#include "qzobj/diag.h"
#include "qzobj/diag/debug_switches.h"
#include "qzobj/platform/system.h"
#include "qzobj/qzoplatu.h"

namespace {

using Address = unsigned long long;

Address AddressValue(const void* address) {
    return static_cast<Address>(reinterpret_cast<uintptr_t>(address));
}

bool InRange(const tagEXCEPTIONENTRY& entry, const void* address) {
    if (entry.uRangeLow >= entry.uRangeHigh) return true;
    const auto value = reinterpret_cast<uintptr_t>(address);
    return value >= entry.uRangeLow && value < entry.uRangeHigh;
}

// The module filter, when one applies: false when the filter says the exception does not
// involve its module. A filter without a module name agrees with everything.
bool ModuleFilterAgrees(EXCEPTION_POINTERS* pointers, const tagEXCEPTIONENTRY& entry) {
    const bool wanted = (GetExceptionTable()[EXCEPTION_ENTRY_WARNINGS].dwAction | entry.dwAction) &
                        EXC_ACTION_MODULE;
    if (!wanted || entry.Trace.szModule[0] == '\0') return true;
    return TraceOutException(pointers, -1, &entry.Trace) != 0;
}

void WriteSystemFigures() {
    qzo::platform::MemoryStatus memory;
    qzo::platform::GetMemoryStatus(memory);
    dmp_printf(u"\rNumber of processors: %u", qzo::platform::GetNumberOfProcessors());
    dmp_printf(u"\rMemory load         : %u%%", memory.memoryLoad);
    dmp_printf(u"\rTotal physical      : %llu", memory.totalPhysical);
    dmp_printf(u"\rAvailable physical  : %llu", memory.availablePhysical);
    dmp_printf(u"\rTotal pageable      : %llu", memory.totalPageFile);
    dmp_printf(u"\rAvailable pageable  : %llu", memory.availablePageFile);
    dmp_printf(u"\rTotal virtual       : %llu", memory.totalVirtual);
    dmp_printf(u"\rAvailable virtual   : %llu", memory.availableVirtual);
}

void WriteRegisters(const CONTEXT* given) {
    const CONTEXT none{};
    const CONTEXT& c = given ? *given : none;
    dmp_printf(u"\r\nGS =%08X FS =%08X ES =%08X DS =%08X SS =%08X", c.SegGs, c.SegFs, c.SegEs,
               c.SegDs, c.SegSs);
    dmp_printf(u"\r\nRAX=%016llX RBX=%016llX", c.Rax, c.Rbx);
    dmp_printf(u"\r\nRCX=%016llX RDX=%016llX", c.Rcx, c.Rdx);
    dmp_printf(u"\r\nRDI=%016llX RSI=%016llX", c.Rdi, c.Rsi);
    dmp_printf(u"\r\nRSP=%016llX RBP=%016llX", c.Rsp, c.Rbp);
    dmp_printf(u"\r\nR8 =%016llX R9 =%016llX", c.R8, c.R9);
    dmp_printf(u"\r\nR10=%016llX R11=%016llX", c.R10, c.R11);
    dmp_printf(u"\r\nR12=%016llX R13=%016llX", c.R12, c.R13);
    dmp_printf(u"\r\nR14=%016llX R15=%016llX", c.R14, c.R15);
}

}  // namespace

LONG AnalyseException(EXCEPTION_POINTERS* pointers) {
    LONG result = EXCEPTION_EXECUTE_HANDLER;
    if (!pointers || !pointers->ExceptionRecord) {
        dmp_printf(u"\r\nException, NO EXCEPTION INFORMATION!!!!!\r\n");
        return result;
    }
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const Address address = AddressValue(record.ExceptionAddress);
    dmp_printf(u"\r\nException 0x%08X @ 0x" QZO_ADDRESS_FORMAT u"\r\n", record.ExceptionCode,
               address);
    if (!IsDebugOn()) return result;

    const tagEXCEPTIONENTRY* entry = FindExceptionEntry(record.ExceptionCode);
    bool detailed = false;
    if (entry) {
        if (entry->dwAction & EXC_ACTION_PASS_ON) result = EXCEPTION_CONTINUE_SEARCH;
        if (entry->dwAction & EXC_ACTION_SILENT) return result;
        if (!InRange(*entry, record.ExceptionAddress)) return result;
        if (!ModuleFilterAgrees(pointers, *entry)) return result;
        detailed = (entry->dwAction & EXC_ACTION_DETAILED) != 0;
        dmp_printf(u"\r\n%s @ 0x" QZO_ADDRESS_FORMAT, entry->szName, address);
    } else {
        dmp_printf(u"\r\nException 0x%08X @ 0x" QZO_ADDRESS_FORMAT, record.ExceptionCode, address);
    }
    WriteSystemFigures();
    WriteRegisters(pointers->ContextRecord);
    TraceOutException(pointers, detailed ? 1 : -1, nullptr);
    if (entry && (entry->dwAction & EXC_ACTION_BREAK)) qzo::diag::BreakIntoDebugger();
    return result;
}

LONG DebugException() {
    if (GetExceptionTable()[EXCEPTION_ENTRY_EXPECTED].dwAction & EXC_ACTION_BREAK)
        qzo::diag::BreakIntoDebugger();
    return EXCEPTION_EXECUTE_HANDLER;
}
