// The exception table: one entry per exception kind with its trap action, module filter and
// code range, constant-initialised so it is ready before any code of the library runs.
#include <cstring>

#include "qzobj/diag/debug_switches.h"

namespace {

constexpr tagEXCEPTIONENTRY kDefaultTable[EXCEPTION_TABLE_SIZE] = {
    {EXCEPTION_ACCESS_VIOLATION, u"ACCESS_VIOLATION", 0, {}, 0, 0},
    {EXCEPTION_DATATYPE_MISALIGNMENT, u"DATATYPE_MISALIGNMENT", 0, {}, 0, 0},
    {EXCEPTION_BREAKPOINT, u"BREAKPOINT", 0, {}, 0, 0},
    {EXCEPTION_SINGLE_STEP, u"SINGLE_STEP", 0, {}, 0, 0},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, u"ARRAY_BOUNDS_EXCEEDED", 0, {}, 0, 0},
    {EXCEPTION_FLT_DENORMAL_OPERAND, u"FLT_DENORMAL_OPERAND", 0, {}, 0, 0},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, u"FLT_DIVIDE_BY_ZERO", 0, {}, 0, 0},
    {EXCEPTION_FLT_INEXACT_RESULT, u"FLT_INEXACT_RESULT", 0, {}, 0, 0},
    {EXCEPTION_FLT_INVALID_OPERATION, u"FLT_INVALID_OPERATION", 0, {}, 0, 0},
    {EXCEPTION_FLT_OVERFLOW, u"FLT_OVERFLOW", 0, {}, 0, 0},
    {EXCEPTION_FLT_STACK_CHECK, u"FLT_STACK_CHECK", 0, {}, 0, 0},
    {EXCEPTION_FLT_UNDERFLOW, u"FLT_UNDERFLOW", 0, {}, 0, 0},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, u"INT_DIVIDE_BY_ZERO", 0, {}, 0, 0},
    {EXCEPTION_INT_OVERFLOW, u"INT_OVERFLOW", 0, {}, 0, 0},
    {EXCEPTION_PRIV_INSTRUCTION, u"PRIV_INSTRUCTION", 0, {}, 0, 0},
    {EXCEPTION_IN_PAGE_ERROR, u"IN_PAGE_ERROR", 0, {}, 0, 0},
    {EXCEPTION_ILLEGAL_INSTRUCTION, u"ILLEGAL_INSTRUCTION", 0, {}, 0, 0},
    {EXCEPTION_NONCONTINUABLE_EXCEPTION, u"NONCONTINUABLE_EXCEPTION", 0, {}, 0, 0},
    {EXCEPTION_STACK_OVERFLOW, u"STACK_OVERFLOW", 0, {}, 0, 0},
    {EXCEPTION_INVALID_DISPOSITION, u"INVALID_DISPOSITION", 0, {}, 0, 0},
    {EXCEPTION_GUARD_PAGE, u"GUARD_PAGE", 0, {}, 0, 0},
    {0, u"Warnings (Debug)", 0, {}, 0, 0},
    {0, u"Expected exceptions", 0, {}, 0, 0},
};

tagEXCEPTIONENTRY g_table[EXCEPTION_TABLE_SIZE] = {
    kDefaultTable[0],  kDefaultTable[1],  kDefaultTable[2],  kDefaultTable[3],  kDefaultTable[4],
    kDefaultTable[5],  kDefaultTable[6],  kDefaultTable[7],  kDefaultTable[8],  kDefaultTable[9],
    kDefaultTable[10], kDefaultTable[11], kDefaultTable[12], kDefaultTable[13], kDefaultTable[14],
    kDefaultTable[15], kDefaultTable[16], kDefaultTable[17], kDefaultTable[18], kDefaultTable[19],
    kDefaultTable[20], kDefaultTable[21], kDefaultTable[22],
};

}  // namespace

tagEXCEPTIONENTRY* GetExceptionTable() {
    return g_table;
}

tagEXCEPTIONENTRY* FindExceptionEntry(DWORD code) {
    for (int i = 0; i < EXCEPTION_CODED_ENTRIES; ++i)
        if (g_table[i].dwCode == code) return &g_table[i];
    return nullptr;
}

namespace qzo::diag {

void ResetExceptionTable() {
    std::memcpy(g_table, kDefaultTable, sizeof g_table);
}

}  // namespace qzo::diag
