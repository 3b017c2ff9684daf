// Helpers of the memory-block tests: a handle class that exposes and records the protected
// hooks, an allocator under the test's control, heap counters and a scoped debug mode.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "support/capture.h"

namespace qzo::test {

using ScopedDebug = ScopedDebugOutput;

inline DWORD LiveBlocks(CHeap& heap) {
    DWORD count = 0;
    heap.GetHeapState(&count);
    return count;
}

// An allocator on the C heap that refuses in-place growth and counts its calls.
class TestMallocator final : public IMallocator {
  public:
    void* Alloc(DWORD* size, DWORD) override {
        ++allocs;
        lastRequest = *size;
        void* block = std::aligned_alloc(16, (size_t(*size) + 15) / 16 * 16);
        if (block) sizes.push_back({block, *size});
        return block;
    }
    // A C heap block never grows in place: only shrinking (or keeping the size) succeeds.
    BOOL Realloc(void* block, DWORD* size, DWORD) override {
        ++reallocs;
        for (const auto& entry : sizes)
            if (entry.block == block) return *size <= entry.size;
        return 0;
    }
    BOOL Free(void* block, DWORD) override {
        ++frees;
        std::free(block);
        return 1;
    }
    struct Entry {
        void* block;
        DWORD size;
    };
    std::vector<Entry> sizes;
    int allocs = 0, reallocs = 0, frees = 0;
    DWORD lastRequest = 0;
};

// A plain memory block ("CPMemory" class ID) whose hooks are recorded and whose protected
// members the tests reach. An allocator may be plugged in.
class ProbeMemory : public CPMemory {
  public:
    ProbeMemory() = default;
    explicit ProbeMemory(IMallocator* allocator, bool nullAllocator = false)
        : allocator_(allocator), nullAllocator_(nullAllocator) {}
    ProbeMemory(const ProbeMemory& source) : CPMemory(), allocator_(source.allocator_) {
        CopyCPMemory(source);
    }
    ProbeMemory& operator=(const ProbeMemory& source) = default;
    ~ProbeMemory() override { Free(); }

    struct Relocation {
        DWORD sourceSize;
        DWORD destinationSize;
        LONG iRef;
    };
    std::vector<Relocation> relocations;
    int clears = 0;

    tagMEMHEADER* Header() const { return pMH; }
    void SetHeader(tagMEMHEADER* header) { pMH = header; }
    BOOL CallLoadRealloc(DWORD size) { return LoadRealloc(size); }

  protected:
    IMallocator* GetMallocator() const override {
        if (nullAllocator_) return nullptr;
        return allocator_ ? allocator_ : CPMemory::GetMallocator();
    }
    void RelocateMemory(const void* source, DWORD sourceSize, void* destination,
                        DWORD destinationSize, LONG iRef) override {
        relocations.push_back({sourceSize, destinationSize, iRef});
        CPMemory::RelocateMemory(source, sourceSize, destination, destinationSize, iRef);
    }
    BOOL ClearForRelease() override {
        ++clears;
        return 1;
    }

  private:
    IMallocator* allocator_ = nullptr;
    bool nullAllocator_ = false;
};

inline void Fill(CPMemory& block, const std::string& bytes) {
    std::memcpy(block.GetDataPtr(), bytes.data(), bytes.size());
}

inline std::string Contents(const CPMemory& block) {
    const void* data = block.GetCDataPtr();
    return data ? std::string(static_cast<const char*>(data), block.GetSize()) : std::string();
}

}  // namespace qzo::test
