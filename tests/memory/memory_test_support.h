// Helpers shared by the memory tests: heap framing readers and counters, watch switches in
// "QZO.INI", the pointer-width hexadecimal of heap messages, a memory block that records its
// protected hooks, an allocator under the test's control, and the 8-byte list item with a list
// that records its item hooks.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/containers.h"
#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/recording_archive.h"

namespace qzo::test {

// ---- Heaps

inline DWORD FrameWord(const void* address) {
    DWORD value;
    std::memcpy(&value, address, sizeof(value));
    return value;
}
inline DWORD SizeWordOf(const void* block) {
    return FrameWord(static_cast<const char*>(block) - 4);
}
inline DWORD TrailerOf(const void* block) {
    return FrameWord(static_cast<const char*>(block) - 4 + SizeWordOf(block) - 4);
}
inline tagWATCHINFO* RecordOf(void* block) {
    return reinterpret_cast<tagWATCHINFO*>(static_cast<char*>(block) - 4 - sizeof(tagWATCHINFO));
}

// "%08zX"-style text of a pointer-width value.
inline std::string Hex(uintptr_t value, bool upper = true) {
    char text[32];
    std::snprintf(text, sizeof(text), upper ? "%08" PRIXPTR : "%08" PRIxPTR, value);
    return text;
}
inline std::string Hex(const void* p, bool upper = true) {
    return Hex(reinterpret_cast<uintptr_t>(p), upper);
}

// Makes the next heap of this name watched (its own section's "Watch").
inline void WatchHeapNamed(const char* name) {
    QZOBJ_WriteProfileInt(name, "Watch", 1);
}

inline DWORD LiveBlocks(CHeap& heap) {
    DWORD count = 0;
    heap.GetHeapState(&count);
    return count;
}

// Blocks a heap gained since construction (negative when it lost some).
struct HeapGrowth {
    explicit HeapGrowth(CHeap& heap) : heap_(heap), start_(LiveBlocks(heap)) {}
    int Blocks() const { return int(LiveBlocks(heap_)) - int(start_); }

  private:
    CHeap& heap_;
    DWORD start_;
};

struct RefuseInPlaceGrowth {
    RefuseInPlaceGrowth() { qzo::platform::SetHeapRefuseInPlaceGrowth(true); }
    ~RefuseInPlaceGrowth() { qzo::platform::SetHeapRefuseInPlaceGrowth(false); }
};

// ---- Memory blocks

// An allocator on the C heap that refuses in-place growth and counts its calls.
class TestMallocator final : public IMallocator {
  public:
    void* Alloc(DWORD* size, DWORD) override {
        ++allocs;
        void* block = std::aligned_alloc(16, (size_t(*size) + 15) / 16 * 16);
        if (block) sizes.push_back({block, *size});
        return block;
    }
    // A C heap block never grows in place: only shrinking (or keeping the size) succeeds.
    BOOL Realloc(void* block, DWORD* size, DWORD) override {
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
    int allocs = 0, frees = 0;
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

// ---- Lists

struct Item8 {
    DWORD id;
    DWORD value;
};

inline Item8 MakeItem(DWORD value) {
    return Item8{0xEEEEEEEE, value};
}

// The values and identifiers of the list's items in order.
inline std::vector<DWORD> Values(const CPvList& list) {
    std::vector<DWORD> values;
    for (DWORD i = 0; i < list.GetNItems(); ++i)
        values.push_back(static_cast<const Item8*>(list.GetCItem(i))->value);
    return values;
}
inline std::vector<DWORD> Ids(const CPvList& list) {
    std::vector<DWORD> ids;
    for (DWORD i = 0; i < list.GetNItems(); ++i)
        ids.push_back(static_cast<const Item8*>(list.GetCItem(i))->id);
    return ids;
}

// Adds items of the values `first`..`last` to `list`.
inline void AddRange(CPvList& list, DWORD first, DWORD last) {
    for (DWORD v = first; v <= last; ++v) {
        Item8 item = MakeItem(v);
        list.Add(&item);
    }
}

// A list of Item8 whose hooks are recorded. Items whose value is in `vetoed` refuse deletion.
class HookedList : public CPvList {
  public:
    HookedList() : CPvList(sizeof(Item8), 5) {}
    ~HookedList() override { Free(); }

    std::vector<std::string> calls;
    std::vector<DWORD> vetoed;

  protected:
    void InitItem(void* item) override {
        calls.push_back("init");
        CPvList::InitItem(item);
    }
    void InsertItem(void* slot, const void* source) override {
        calls.push_back("insert " + std::to_string(static_cast<const Item8*>(source)->value));
        CPvList::InsertItem(slot, source);
    }
    int DeleteItem(void* item, uintptr_t parameter) override {
        const DWORD value = static_cast<Item8*>(item)->value;
        calls.push_back("delete " + std::to_string(value) + " " + std::to_string(parameter));
        for (DWORD v : vetoed)
            if (v == value) return 0;
        return 1;
    }
    void LoadInitItem(void* item) override {
        calls.push_back("load " + std::to_string(static_cast<Item8*>(item)->value));
    }
};

// Saves a list into a fresh archive and returns the bytes.
template <class List>
std::string SavedBytes(const List& list, const char* name) {
    RecordingArchive archive;
    EXPECT_TRUE(list.DynaSave(name, archive));
    return archive.Bytes();
}

}  // namespace qzo::test
