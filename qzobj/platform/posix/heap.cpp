// Private heaps on the C allocator. Each block is a malloc allocation with a small pad in front
// so that the caller's header ends on a 16-byte boundary; the heap's registry maps the address
// it handed out to the requested size, which is how liveness is answered without touching the
// block and how HeapDestroy finds what to release.
#include "qzobj/platform/heap.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace qzo::platform {
namespace {

constexpr size_t kAlignment = 16;  // malloc's guarantee on x86-64 and the caller's wish

// The registry is split into shards by address so that threads allocating from one heap rarely
// wait for each other: each shard has its own mutex, and malloc and free run outside them.
constexpr size_t kShards = 32;

// Each shard fills whole cache lines of its own, so that threads working on neighbouring shards
// do not pull each other's lock word back and forth.
struct alignas(64) RegistryShard {
    std::mutex mutex;                            // guards `live` and `bytes`
    std::unordered_map<uintptr_t, size_t> live;  // handed-out address -> requested size
    size_t bytes = 0;                            // sum of `live`'s sizes
};

struct PlatformHeap {
    RegistryShard shards[kShards];
    // Sum of the live blocks' requested sizes, kept only for a heap with a maximum size (the
    // budget must be checked before the block exists); growable heaps add up their shards'
    // sums instead, so that allocating threads share no counter.
    alignas(64) std::atomic<size_t> liveBytes{0};
    size_t maximumSize = 0;  // 0: no limit
    size_t pad = 0;          // bytes between the malloc pointer and the handed-out address
    bool isProcessHeap = false;
};

std::atomic<bool> g_refuseInPlaceGrowth{false};
std::atomic<DWORD> g_failNextAllocations{0};

PlatformHeap* FromHandle(HANDLE heap) {
    return static_cast<PlatformHeap*>(heap);
}

RegistryShard& ShardOf(PlatformHeap& heap, uintptr_t block) {
    // Blocks are 16-byte aligned; mix the higher bits so neighbours spread over the shards.
    const uintptr_t mixed = (block >> 4) ^ (block >> 12);
    return heap.shards[mixed % kShards];
}

// Consumes one injected failure, if any is pending.
bool InjectedFailure() {
    DWORD pending = g_failNextAllocations.load(std::memory_order_relaxed);
    while (pending != 0) {
        if (g_failNextAllocations.compare_exchange_weak(pending, pending - 1,
                                                        std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

// Accounts `requesting` bytes in place of `releasing` ones, within the heap's budget.
bool ReserveBytes(PlatformHeap& heap, size_t releasing, size_t requesting) {
    if (heap.maximumSize == 0) return true;
    size_t current = heap.liveBytes.load(std::memory_order_relaxed);
    for (;;) {
        const size_t after = current - releasing;
        if (heap.maximumSize != 0 &&
            (requesting > heap.maximumSize || after > heap.maximumSize - requesting)) {
            return false;
        }
        if (heap.liveBytes.compare_exchange_weak(current, after + requesting,
                                                 std::memory_order_relaxed)) {
            return true;
        }
    }
}

void ReturnBytes(PlatformHeap& heap, size_t reserved, size_t released) {
    if (heap.maximumSize == 0 || reserved == released) return;
    if (reserved > released) {
        heap.liveBytes.fetch_sub(reserved - released, std::memory_order_relaxed);
    } else {
        heap.liveBytes.fetch_add(released - reserved, std::memory_order_relaxed);
    }
}

bool PaddedSize(const PlatformHeap& heap, size_t size, size_t* padded) {
    if (size > SIZE_MAX - heap.pad - 1) return false;
    *padded = size + heap.pad + (size == 0 && heap.pad == 0 ? 1 : 0);
    return true;
}

char* BaseOf(const PlatformHeap& heap, uintptr_t block) {
    return reinterpret_cast<char*>(block - heap.pad);
}

// Records a block; false (nothing recorded) when the registry cannot grow.
bool Register(PlatformHeap& heap, uintptr_t block, size_t size) {
    RegistryShard& shard = ShardOf(heap, block);
    std::lock_guard<std::mutex> lock(shard.mutex);
    try {
        shard.live.emplace(block, size);
    } catch (...) {
        return false;
    }
    shard.bytes += size;
    return true;
}

}  // namespace

HANDLE HeapCreate(DWORD /*options*/, size_t /*initialSize*/, size_t maximumSize,
                  size_t alignOffset) {
    auto* heap = new (std::nothrow) PlatformHeap;
    if (heap == nullptr) return nullptr;
    heap->maximumSize = maximumSize;
    heap->pad = (kAlignment - alignOffset % kAlignment) % kAlignment;
    return heap;
}

HANDLE GetProcessHeap() {
    // Never destroyed: blocks of the process heap may outlive every static object.
    static PlatformHeap* processHeap = [] {
        auto* heap = static_cast<PlatformHeap*>(HeapCreate(0, 0, 0, 4));
        heap->isProcessHeap = true;
        return heap;
    }();
    return processHeap;
}

bool HeapDestroy(HANDLE handle) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr || heap->isProcessHeap) return false;
    for (RegistryShard& shard : heap->shards) {
        for (const auto& [block, size] : shard.live) std::free(BaseOf(*heap, block));
    }
    delete heap;
    return true;
}

void* HeapAlloc(HANDLE handle, DWORD flags, size_t size) {
    PlatformHeap* heap = FromHandle(handle);
    size_t padded = 0;
    if (heap == nullptr || !PaddedSize(*heap, size, &padded) || InjectedFailure()) {
        return nullptr;
    }
    if (!ReserveBytes(*heap, 0, size)) return nullptr;
    char* base = static_cast<char*>(std::malloc(padded));
    if (base == nullptr) {
        ReturnBytes(*heap, size, 0);
        return nullptr;
    }
    char* block = base + heap->pad;
    if (flags & kHeapZeroMemory) std::memset(block, 0, size);
    if (!Register(*heap, reinterpret_cast<uintptr_t>(block), size)) {
        std::free(base);
        ReturnBytes(*heap, size, 0);
        return nullptr;
    }
    return block;
}

void* HeapReAlloc(HANDLE handle, DWORD flags, void* block, size_t size) {
    PlatformHeap* heap = FromHandle(handle);
    size_t padded = 0;
    if (heap == nullptr || block == nullptr || !PaddedSize(*heap, size, &padded)) return nullptr;
    const auto address = reinterpret_cast<uintptr_t>(block);
    RegistryShard& shard = ShardOf(*heap, address);
    std::unique_lock<std::mutex> lock(shard.mutex);
    auto entry = shard.live.find(address);
    if (entry == shard.live.end()) return nullptr;
    const size_t oldSize = entry->second;
    if (InjectedFailure() || !ReserveBytes(*heap, oldSize, size)) return nullptr;
    char* base = BaseOf(*heap, address);
    if (flags & kHeapReallocInPlaceOnly) {
        const bool growing = size > oldSize;
        if ((growing && g_refuseInPlaceGrowth.load(std::memory_order_relaxed)) ||
            padded > malloc_usable_size(base)) {
            ReturnBytes(*heap, size, oldSize);
            return nullptr;
        }
        if ((flags & kHeapZeroMemory) && growing) {
            std::memset(static_cast<char*>(block) + oldSize, 0, size - oldSize);
        }
        shard.bytes += size - oldSize;  // wraps back for a shrink: the sum stays exact
        entry->second = size;
        return block;
    }
    // The caller owns the block while it is being moved; take its node out of the registry so
    // the move needs no lock, and put it back under the new address (no allocation, so nothing
    // can fail after realloc succeeded).
    auto node = shard.live.extract(entry);
    shard.bytes -= oldSize;
    lock.unlock();
    char* moved = static_cast<char*>(std::realloc(base, padded));
    char* result = moved ? moved + heap->pad : static_cast<char*>(block);
    if (moved == nullptr) {
        ReturnBytes(*heap, size, oldSize);
    } else {
        if ((flags & kHeapZeroMemory) && size > oldSize) {
            std::memset(result + oldSize, 0, size - oldSize);
        }
        node.key() = reinterpret_cast<uintptr_t>(result);
        node.mapped() = size;
    }
    RegistryShard& target = ShardOf(*heap, reinterpret_cast<uintptr_t>(result));
    std::lock_guard<std::mutex> relock(target.mutex);
    target.bytes += node.mapped();
    target.live.insert(std::move(node));
    return moved ? result : nullptr;
}

bool HeapFree(HANDLE handle, DWORD /*flags*/, void* block) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr || block == nullptr) return false;
    const auto address = reinterpret_cast<uintptr_t>(block);
    RegistryShard& shard = ShardOf(*heap, address);
    size_t size = 0;
    {
        std::lock_guard<std::mutex> lock(shard.mutex);
        auto entry = shard.live.find(address);
        if (entry == shard.live.end()) return false;
        size = entry->second;
        shard.live.erase(entry);
        shard.bytes -= size;
    }
    std::free(BaseOf(*heap, address));
    ReturnBytes(*heap, size, 0);
    return true;
}

size_t HeapSize(HANDLE handle, DWORD /*flags*/, const void* block) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr) return static_cast<size_t>(-1);
    const auto address = reinterpret_cast<uintptr_t>(block);
    RegistryShard& shard = ShardOf(*heap, address);
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto entry = shard.live.find(address);
    return entry == shard.live.end() ? static_cast<size_t>(-1) : entry->second;
}

bool HeapIsLiveBlock(HANDLE handle, const void* block) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr || block == nullptr) return false;
    const auto address = reinterpret_cast<uintptr_t>(block);
    RegistryShard& shard = ShardOf(*heap, address);
    std::lock_guard<std::mutex> lock(shard.mutex);
    return shard.live.count(address) != 0;
}

size_t HeapLiveBlocks(HANDLE handle, size_t* liveBytes) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr) {
        if (liveBytes) *liveBytes = 0;
        return 0;
    }
    size_t count = 0;
    size_t bytes = 0;
    for (RegistryShard& shard : heap->shards) {
        std::lock_guard<std::mutex> lock(shard.mutex);
        count += shard.live.size();
        bytes += shard.bytes;
    }
    if (liveBytes) *liveBytes = bytes;
    return count;
}

void SetHeapRefuseInPlaceGrowth(bool refuse) {
    g_refuseInPlaceGrowth.store(refuse, std::memory_order_relaxed);
}

void SetHeapFailNextAllocations(DWORD count) {
    g_failNextAllocations.store(count, std::memory_order_relaxed);
}

}  // namespace qzo::platform
