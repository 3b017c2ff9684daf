// CPMemory resizing: in place when the allocator can, else by moving to a new block; the
// unshare call that makes a shared block private; and the resize used while loading.
#include <cstring>

#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/memory/cpmem_diag.h"

using qzo::memory::PrintBlockMessage;

bool CPMemory::CheckOwnBlock(IMallocator* allocator) const {
    if (!HoldsValidBlock()) return false;
    if (!allocator) {
        PrintBlockMessage(
            u"\rCPMemory::ReclaimMemory: pMalloc == NULL, probably uninitialised object\r\n");
        return false;
    }
    if (allocator != pMH->pMalloc) {
        PrintBlockMessage(
            u"\rCPMemory::ReclaimMemory: pMalloc != pMH->pMalloc, probable assignment "
            u"problem\r\n");
        return false;
    }
    return true;
}

bool CPMemory::ResizeInPlace(IMallocator* allocator, DWORD size, DWORD heapFlags) {
    const ULONGLONG request = ULONGLONG(size) + sizeof(tagMEMHEADER);
    if (request > 0xFFFFFFFFull) return false;
    DWORD granted = DWORD(request);
    if (!allocator->Realloc(pMH, &granted, heapFlags | HEAP_REALLOC_IN_PLACE_ONLY)) return false;
    if (granted < request) return false;  // cannot happen with a sound allocator
    pMH->dwAllocSize = granted - DWORD(sizeof(tagMEMHEADER));
    pMH->dwSize = size;
    return true;
}

void CPMemory::MoveToBlock(tagMEMHEADER* fresh) {
    tagMEMHEADER* const old = pMH;
    const LONG oldRef = old->iRef.load(std::memory_order_acquire);
    RelocateMemory(old + 1, old->dwAllocSize, fresh + 1, fresh->dwSize, oldRef);
    if (old->iRef.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // The contents moved when this handle was the only holder: the old block goes back to
        // its allocator without ClearForRelease. When other holders were counted but let go
        // meanwhile, the contents were copied, so the old block is cleared as usual.
        ReleaseMemory(oldRef > 1);
    }
    pMH = fresh;
}

BOOL CPMemory::Realloc(DWORD size, DWORD heapFlags, BOOL forceNew) {
    if (size == 0) return Free();
    if (!pMH) {
        if (heapFlags & HEAP_REALLOC_IN_PLACE_ONLY) return 0;
        if (size == CPMEM_UNSHARE) return 1;
        return Alloc(size, heapFlags & ~HEAP_REALLOC_IN_PLACE_ONLY);
    }
    IMallocator* allocator = GetMallocator();
    if (!CheckOwnBlock(allocator)) return 0;
    const DWORD claimFlags = heapFlags & ~HEAP_REALLOC_IN_PLACE_ONLY;
    tagMEMHEADER* fresh = nullptr;
    if (size == CPMEM_UNSHARE) {
        if (pMH->iRef.load(std::memory_order_acquire) == 1) return 1;
        if (pMH->dwSize == 0) return 0;
        fresh = ClaimMemory(pMH->dwSize, claimFlags);
    } else if (forceNew) {
        fresh = ClaimMemory(size, claimFlags);
    } else if (ResizeInPlace(allocator, size, heapFlags)) {
        dwFlags = 0;
        return 1;
    } else {
        fresh = ClaimMemory(size, claimFlags);
    }
    if (!fresh) return 0;
    MoveToBlock(fresh);
    dwFlags = 0;
    return 1;
}

BOOL CPMemory::LoadRealloc(DWORD size) {
    if (!pMH) return size == 0 ? 1 : Alloc(size, 0);
    if (size == 0) return Free();
    if (!HoldsValidBlock() || pMH->iRef.load(std::memory_order_acquire) >= 2) return 0;
    IMallocator* allocator = GetMallocator();
    if (!allocator || allocator != pMH->pMalloc) return 0;
    const DWORD oldAllocSize = pMH->dwAllocSize;
    if (!ResizeInPlace(allocator, size, 0)) {
        tagMEMHEADER* fresh = ClaimMemory(size, 0);
        if (!fresh) return 0;
        std::memcpy(static_cast<void*>(fresh + 1), Data(),
                    oldAllocSize < size ? oldAllocSize : size);
        allocator->Free(pMH, 0);  // the contents moved: no ClearForRelease
        pMH = fresh;
    }
    // Bytes beyond what the old block could hold are zeroed, whichever way the block grew.
    if (size > oldAllocSize)
        std::memset(static_cast<char*>(Data()) + oldAllocSize, 0, size - oldAllocSize);
    dwFlags = 0;
    return 1;
}
