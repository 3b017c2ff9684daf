// Size limits shared by the list, array and string code: the largest block a 32-bit request
// can carry with its header and the allocator's rounding.
#pragma once

#include "qzobj/memblock.h"

namespace qzo::memory {

// Sizes are computed in 64 bits and refused above this, so that header, data and the pool's
// 32-byte rounding never wrap a 32-bit allocation request.
inline constexpr ULONGLONG kLargestListBlock = 0xFFFFFFFFull - sizeof(tagMEMHEADER) - 64;

}  // namespace qzo::memory
