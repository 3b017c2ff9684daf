// The pool allocator behind memory blocks: sizes rounded up to 32 bytes, taken from one of the
// library's CHeaps with a fixed allocation-site tag, resized only in place.
#pragma once

#include "qzobj/memblock.h"

class CHeap;

namespace qzo::memory {

// Stateless apart from its configuration, so one constant instance per heap serves every
// thread; the heap itself serialises its allocations.
class CPoolMallocator final : public IMallocator {
  public:
    using HeapAccessor = CHeap& (*)();

    constexpr CPoolMallocator(HeapAccessor heap, const char* siteFile, int allocLine,
                              int reallocLine)
        : heap_(heap), siteFile_(siteFile), allocLine_(allocLine), reallocLine_(reallocLine) {}

    void* Alloc(DWORD* size, DWORD heapFlags) override;
    BOOL Realloc(void* block, DWORD* size, DWORD heapFlags) override;
    BOOL Free(void* block, DWORD heapFlags) override;

  private:
    HeapAccessor heap_;
    const char* siteFile_;
    int allocLine_;
    int reallocLine_;
};

// The granularity of pool blocks, header included.
inline constexpr DWORD kPoolGranularity = 32;

// The allocators of plain memory blocks ("MemPool") and of property blocks ("PropertyPool").
IMallocator* MemPoolMallocator();
IMallocator* PropertyPoolMallocator();

}  // namespace qzo::memory
