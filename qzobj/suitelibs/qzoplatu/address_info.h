// Internal side of the address services: the resolver behind GetAddressInfo, replaceable by
// tests, and its cache.
#pragma once

#include "qzobj/qzoplatu.h"
#include "qzobj/suitelibs/qzoplatu/text_line.h"

namespace qzo::platu {

// Fills `info` (already zeroed) for `address`; non-zero when resolved.
using AddressResolver = BOOL (*)(const void* address, tagADDRESSINFO* info);

// Replaces the resolver (null restores the dynamic loader's) and empties the cache. Returns the
// previous resolver (null for the loader's).
AddressResolver SetAddressResolver(AddressResolver resolver);
void ClearAddressInfoCache();

// Names one frame of a stack trace into a narrow line: "module+0xOFFSET symbol+0xOFFSET".
// Inside the fault handler it asks the loader directly (raw symbol names, no cache, no
// allocation); elsewhere it goes through GetAddressInfo.
void AppendFrameName(const void* address, TextLine& line);

// The file name (no folder) of the module holding `address`, without allocating; false when no
// module holds it.
bool ModuleFileName(const void* address, char* out, size_t capacity);

}  // namespace qzo::platu
