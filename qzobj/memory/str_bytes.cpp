// Byte utilities: merging under a mask (PatCpy) and the fault-guarded zero test (IsZeroMemory).
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/platform/guard.h"
#include "qzobj/strings.h"

namespace {

// Everything the guarded scan needs; plain data so that a fault abandons nothing.
struct ZeroScan {
    const BYTE* memory;
    DWORD bytes;
    bool zero;
};

void ScanForNonZero(void* arg) {
    ZeroScan* scan = static_cast<ZeroScan*>(arg);
    const BYTE* p = scan->memory;
    DWORD n = scan->bytes;
    for (; n >= 8; n -= 8, p += 8) {
        unsigned long long word;
        std::memcpy(&word, p, sizeof word);
        if (word != 0) {
            scan->zero = false;
            return;
        }
    }
    for (; n > 0; --n, ++p) {
        if (*p != 0) {
            scan->zero = false;
            return;
        }
    }
    scan->zero = true;
}

LONG ZeroScanFilter(EXCEPTION_POINTERS* pointers, void*) {
    return AnalyseException(pointers);
}

}  // namespace

void PatCpy(void* destination, const void* source, const void* mask, DWORD bytes) {
    if (!destination || !source || !mask) return;
    BYTE* to = static_cast<BYTE*>(destination);
    const BYTE* from = static_cast<const BYTE*>(source);
    const BYTE* bits = static_cast<const BYTE*>(mask);
    for (; bytes >= 4; bytes -= 4, to += 4, from += 4, bits += 4) {
        DWORD d, s, m;
        std::memcpy(&d, to, 4);
        std::memcpy(&s, from, 4);
        std::memcpy(&m, bits, 4);
        d = (d & ~m) | (s & m);
        std::memcpy(to, &d, 4);
    }
    for (; bytes > 0; --bytes, ++to, ++from, ++bits) *to = BYTE((*to & ~*bits) | (*from & *bits));
}

BOOL IsZeroMemory(const void* memory, DWORD bytes) {
    if (bytes == 0) return 1;
    if (!memory) return 0;
    ZeroScan scan = {static_cast<const BYTE*>(memory), bytes, false};
    if (!qzo::platform::RunGuarded(&ScanForNonZero, &scan, &ZeroScanFilter, nullptr)) return 0;
    return scan.zero;
}
