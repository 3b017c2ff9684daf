// What the class registry asks of the dynamic loader beyond the module service: whether an
// address lies in a library image, and whether a module is still mapped after it was freed.
#pragma once

#include "qzobj/types.h"

namespace qzo::platform {

// True when `address` lies in a shared library's image; false for the main program and for
// memory that belongs to no module (heap, stack, anonymous mappings).
bool IsLibraryImage(const void* address);

// True while a module with this base address is mapped.
bool IsModuleMapped(HMODULE module);

}  // namespace qzo::platform
