// Helpers shared by the heap tests: framing readers, watch switches in "QZO.INI", formatting of
// the pointer-width hexadecimal the heap messages use, and a scoped debug mode.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/memory.h"
#include "support/capture.h"

namespace qzo::test {

inline DWORD FrameWord(const void* address) {
    DWORD value;
    std::memcpy(&value, address, sizeof(value));
    return value;
}

inline DWORD SizeWordOf(const void* block) {
    return FrameWord(static_cast<const char*>(block) - 4);
}

inline DWORD TrailerOf(const void* block) {
    return FrameWord(static_cast<const char*>(block) - 4 + SizeWordOf(block) - 4);
}

inline tagWATCHINFO* RecordOf(void* block) {
    return reinterpret_cast<tagWATCHINFO*>(static_cast<char*>(block) - 4 - sizeof(tagWATCHINFO));
}

// "%08zX"-style text of a pointer-width value.
inline std::string Hex(uintptr_t value, bool upper = true) {
    char text[32];
    std::snprintf(text, sizeof(text), upper ? "%08" PRIXPTR : "%08" PRIxPTR, value);
    return text;
}
inline std::string Hex(const void* p, bool upper = true) {
    return Hex(reinterpret_cast<uintptr_t>(p), upper);
}

// Makes the next heap of this name watched (its own section's "Watch").
inline void WatchHeapNamed(const char* name) {
    QZOBJ_WriteProfileInt(name, "Watch", 1);
}

using ScopedDebugMode = ScopedDebugOutput;

}  // namespace qzo::test
