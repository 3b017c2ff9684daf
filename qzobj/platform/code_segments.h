// Loaded module images and their segments: whether an address lies in a module's code or in its
// read-only data, so that a pointer into a virtual table can be checked before anything is
// called through it.
#pragma once

#include <cstddef>

namespace qzo::platform {

enum class SegmentKind {
    kAny,   // any loaded segment of a module image
    kData,  // a segment that is not executable (virtual tables, constants)
    kCode,  // an executable segment
};

// True when the whole range [address, address + size) lies inside one loaded segment of a
// module image (the main program, this library or any other loaded shared object) of the given
// kind. Takes the loader's lock: not for fault handlers.
bool IsInModuleSegment(const void* address, size_t size, SegmentKind kind);

}  // namespace qzo::platform
