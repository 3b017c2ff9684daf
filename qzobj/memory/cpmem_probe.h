// Fault-guarded inspection of a block header reached through a handle that may be damaged.
#pragma once

#include "qzobj/memblock.h"

namespace qzo::memory {

// A copy of the header fields that decide whether a block may be shared.
struct HeaderView {
    DWORD dwSignature;
    LONG iRef;
    const char* pClassID;
    DWORD dwAllocSize;
    IMallocator* pMalloc;
};

// Copies the header's fields under the fault guard. False when reading them faulted (the
// fault has then been reported through the exception filter).
bool ProbeHeader(const tagMEMHEADER* header, HeaderView* view);

}  // namespace qzo::memory
