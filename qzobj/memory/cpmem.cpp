// CPMemory's life cycle: claiming blocks, sharing them between handles and releasing them when
// the last handle lets go.
#include <cstring>
#include <new>

#include "qzobj/diag.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/memory/cpmem_diag.h"
#include "qzobj/memory/cpmem_mallocator.h"
#include "qzobj/memory/cpmem_probe.h"

using qzo::memory::PrintBlockMessage;

const char classidCPMemory[] = "CPMemory";
const char classidCPMemoryCS[] = "CPMemoryCS";
const char classidCPProperty[] = "CPProperty";

const char* CPMemory::GetClassID() const {
    return classidCPMemory;
}

IMallocator* CPMemory::GetMallocator() const {
    return qzo::memory::MemPoolMallocator();
}

void CPMemory::RelocateMemory(const void* source, DWORD sourceSize, void* destination,
                              DWORD destinationSize, LONG /*iRef*/) {
    if (!source || !destination) return;
    std::memmove(destination, source, sourceSize < destinationSize ? sourceSize : destinationSize);
}

BOOL CPMemory::ClearForRelease() {
    return 1;
}

CPMemory::CPMemory(const CPMemory& source) {
    CopyCPMemory(source);
}

CPMemory& CPMemory::operator=(const CPMemory& source) {
    if (this != &source) CopyCPMemory(source);
    return *this;
}

CPMemory::~CPMemory() {
    Free();
}

void CPMemory::Construct() {
    new (this) CPMemory();
}

bool CPMemory::HoldsValidBlock() const {
    return pMH && pMH->dwSignature == MEMHEADER_SIGNATURE && pMH->pClassID == GetClassID();
}

tagMEMHEADER* CPMemory::ClaimMemory(DWORD size, DWORD heapFlags) {
    IMallocator* allocator = GetMallocator();
    if (!allocator) {
        PrintBlockMessage(
            u"\rCPMemory::ClaimMemory: pMalloc == NULL, probably uninitialised object\r\n");
        return nullptr;
    }
    // Computed in 64 bits: a size a 32-bit request cannot carry is refused, never wrapped.
    const ULONGLONG request = ULONGLONG(size) + sizeof(tagMEMHEADER);
    if (request > 0xFFFFFFFFull) return nullptr;
    DWORD granted = DWORD(request);
    void* block = allocator->Alloc(&granted, heapFlags & ~HEAP_REALLOC_IN_PLACE_ONLY);
    if (!block) return nullptr;
    if (granted < request) {  // an allocator that reports less than asked is not trusted
        allocator->Free(block, 0);
        return nullptr;
    }
    return new (block) tagMEMHEADER{MEMHEADER_SIGNATURE,
                                    1,
                                    GetClassID(),
                                    granted - DWORD(sizeof(tagMEMHEADER)),
                                    size,
                                    allocator};
}

BOOL CPMemory::Alloc(DWORD size, DWORD heapFlags) {
    Free();
    if (size == 0) return 0;
    pMH = ClaimMemory(size, heapFlags);
    return pMH != nullptr;
}

void CPMemory::CopyCPMemory(const CPMemory& source) {
    const DWORD sourceFlags = source.dwFlags;
    if (pMH == source.pMH) {
        dwFlags = sourceFlags;
        return;
    }
    tagMEMHEADER* const block = source.pMH;
    if (!block) {
        Free();
        dwFlags = sourceFlags;
        return;
    }
    IMallocator* allocator = GetMallocator();
    if (!allocator) {
        Free();
        PrintBlockMessage(
            u"\rCPMemory::CopyCPMemory: pMalloc == NULL, probably uninitialised object\r\n");
        return;
    }
    // The source's block is referenced before this handle lets go of its own, so that a source
    // living inside the block this handle drops stays readable.
    qzo::memory::HeaderView view;
    const bool shareable = qzo::memory::ProbeHeader(block, &view) &&
                           view.dwSignature == MEMHEADER_SIGNATURE &&
                           view.pClassID == GetClassID() && view.pMalloc == allocator &&
                           view.dwAllocSize != 0 && view.iRef != 0;
    if (!shareable) {
        Free();
        QZO_BLOCK_WARNING(
            u"CPMemory::CopyCPMemory: Invalid assignment (bad pointer or different "
            u"classes)!");
        return;
    }
    const LONG count = block->iRef.fetch_add(1, std::memory_order_relaxed) + 1;
    Free();
    if (count <= 1) {
        QZO_BLOCK_WARNING(u"CPMemory::CopyCPMemory: iRef confusion!");
        return;
    }
    pMH = block;
    dwFlags = sourceFlags;
}

BOOL CPMemory::ReleaseMemory(bool clear) {
    const BOOL cleared = clear ? ClearForRelease() : 1;
    IMallocator* allocator = GetMallocator();
    if (!allocator) {
        PrintBlockMessage(
            u"\rCPMemory::ReleaseMemory: pMalloc == NULL, probably uninitialised object\r\n");
        return 0;
    }
    if (allocator != pMH->pMalloc) {
        PrintBlockMessage(
            u"\rCPMemory::ReleaseMemory: pMalloc != pMH->pMalloc, probable assignment "
            u"problem\r\n");
        return 0;
    }
    const BOOL freed = allocator->Free(pMH, 0);
    return cleared && freed;
}

BOOL CPMemory::Free() {
    BOOL result = 1;
    if (pMH) {
        if (HoldsValidBlock() && pMH->iRef.load(std::memory_order_relaxed) > 0) {
            if (pMH->iRef.fetch_sub(1, std::memory_order_acq_rel) == 1)
                result = ReleaseMemory(true);
        } else {
            result = 0;  // a damaged block is left alone
        }
    }
    pMH = nullptr;
    dwFlags = 0;
    return result;
}
