// Names for code addresses: the module that holds an address and the exported symbols around
// it, as the dynamic loader knows them, and C++ name demangling.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzo::platform {

struct SymbolLookup {
    uintptr_t moduleBase = 0;
    const char* modulePath = nullptr;  // the module's file as loaded; valid while it stays loaded
    const char* symbolName = nullptr;  // nearest exported symbol at or below the address (raw)
    uintptr_t symbolAddress = 0;
    size_t symbolSize = 0;  // 0 when the symbol's extent is unknown
};

// Asks the dynamic loader which module and exported symbol hold `address`. Takes no lock of
// ours and does not allocate, so fault handlers may use it. False when no module holds it.
bool LookupAddress(const void* address, SymbolLookup& lookup);

// The nearest exported function that starts above `address` in the module holding it, from the
// module's dynamic symbol table. False when there is none.
bool FindSymbolAbove(const void* address, const char** name, uintptr_t* symbolAddress);

// Writes the readable form of a C++ symbol name (cut at capacity-1, terminated), or the name
// unchanged when it is not a mangled name. Allocates: not for fault handlers.
void DemangleName(const char* name, char* out, size_t capacity);

}  // namespace qzo::platform
