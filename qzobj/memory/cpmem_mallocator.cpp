// The pool allocators of memory blocks and property blocks.
#include "qzobj/memory/cpmem_mallocator.h"

#include "qzobj/memory.h"
#include "qzobj/platform/site_tags.h"

namespace qzo::memory {
namespace site = qzo::platform::site;
namespace {

// The request rounded up to the pool granularity, or 0 when a 32-bit size cannot hold it.
DWORD RoundedRequest(DWORD size) {
    const ULONGLONG rounded =
        (ULONGLONG(size) + kPoolGranularity - 1) / kPoolGranularity * kPoolGranularity;
    return rounded > 0xFFFFFFFFull ? 0 : DWORD(rounded);
}

}  // namespace

void* CPoolMallocator::Alloc(DWORD* size, DWORD heapFlags) {
    if (!size) return nullptr;
    const DWORD request = RoundedRequest(*size);
    if (request == 0) return nullptr;
    void* block =
        heap_().Alloc(request, heapFlags & ~HEAP_REALLOC_IN_PLACE_ONLY, siteFile_, allocLine_);
    if (block) *size = request;
    return block;
}

BOOL CPoolMallocator::Realloc(void* block, DWORD* size, DWORD heapFlags) {
    if (!block || !size) return 0;
    const DWORD request = RoundedRequest(*size);
    if (request == 0) return 0;
    void* resized = heap_().Realloc(block, request, heapFlags | HEAP_REALLOC_IN_PLACE_ONLY,
                                    siteFile_, reallocLine_);
    if (!resized) return 0;
    *size = request;
    return 1;
}

BOOL CPoolMallocator::Free(void* block, DWORD heapFlags) {
    return block ? heap_().Free(block, heapFlags) : 0;
}

IMallocator* MemPoolMallocator() {
    static constinit CPoolMallocator allocator(&MemPool, site::kCpmem, site::kMemoryAlloc,
                                               site::kMemoryRealloc);
    return &allocator;
}

IMallocator* PropertyPoolMallocator() {
    static constinit CPoolMallocator allocator(&PropertyPool, site::kCpprop, site::kPropertyAlloc,
                                               site::kPropertyRealloc);
    return &allocator;
}

}  // namespace qzo::memory
