// Reserved address ranges: address space taken without memory behind it, committed page by page
// (readable and writable, zero-filled) as a structure grows, and released in one piece.
#pragma once

#include <cstddef>

namespace qzo::platform {

// Reserves `size` bytes of address space with no access; null on failure.
void* ReserveAddressRange(size_t size);
// Makes [base, base + size) readable and writable; the range must lie inside a reservation and
// be page aligned. False on failure.
bool CommitAddressRange(void* base, size_t size);
// Releases a whole reservation made by ReserveAddressRange.
void ReleaseAddressRange(void* base, size_t size);

}  // namespace qzo::platform
