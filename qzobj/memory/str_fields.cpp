// Fixed-size text fields of stored records: DF_Init empties one, DF_LoadInit converts a loaded
// one by the kind mark in its last UTF-16 unit. Fields need not be aligned.
#include <cstring>

#include "qzobj/memory/cp1252.h"
#include "qzobj/strings.h"

namespace {

constexpr DWORD kSmallestField = 3;

WCHAR GetUnit(const BYTE* field, size_t index) {
    WCHAR unit;
    std::memcpy(&unit, field + index * sizeof(WCHAR), sizeof unit);
    return unit;
}

void PutUnit(BYTE* field, size_t index, WCHAR unit) {
    std::memcpy(field + index * sizeof(WCHAR), &unit, sizeof unit);
}

// The field's first `units` bytes hold ANSI text; it becomes UTF-16 text of at most units-1
// characters and a terminator. Working from the last character back, every unit is written at
// or behind the byte it comes from, so the conversion needs no scratch space.
void WidenInPlace(BYTE* field, size_t units) {
    size_t length = 0;
    while (length + 1 < units && field[length] != 0) ++length;
    for (size_t i = length; i-- > 0;) PutUnit(field, i, qzo::cp1252::ToWide(field[i]));
    PutUnit(field, length, 0);
}

}  // namespace

BOOL DF_Init(void* field, DWORD bytes) {
    if (!field || bytes < kSmallestField) return 0;
    BYTE* data = static_cast<BYTE*>(field);
    PutUnit(data, 0, 0);
    PutUnit(data, bytes / sizeof(WCHAR) - 1, 0);
    return 1;
}

BOOL DF_LoadInit(void* field, DWORD bytes) {
    if (!field || bytes < kSmallestField) return 1;
    BYTE* data = static_cast<BYTE*>(field);
    const size_t units = bytes / sizeof(WCHAR);
    const WCHAR mark = GetUnit(data, units - 1);
    if (mark == 0) return 1;
    // Marks 1 and 2 were written by narrow builds; higher marks hold UTF-16 already.
    if (mark <= 2) WidenInPlace(data, units);
    PutUnit(data, units - 1, 0);
    return 1;
}
