// Reading a loaded ELF module's dynamic symbol table, shared by the symbol lookup and the module
// inspection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzo::platform {

// Number of entries of the dynamic symbol table, from the classic hash table (`hash`) or, when
// there is none, the GNU hash table (`gnuHash`); 0 when neither exists.
size_t CountDynamicSymbols(uintptr_t hash, uintptr_t gnuHash);

}  // namespace qzo::platform
