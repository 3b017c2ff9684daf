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

struct PlatformHeap {
    std::mutex mutex;                            // guards everything below
    std::unordered_map<uintptr_t, size_t> live;  // handed-out address -> requested size
    size_t liveBytes = 0;
    size_t maximumSize = 0;  // 0: no limit
    size_t pad = 0;          // bytes between the malloc pointer and the handed-out address
    bool isProcessHeap = false;
};

std::atomic<bool> g_refuseInPlaceGrowth{false};
std::atomic<DWORD> g_failNextAllocations{0};

PlatformHeap* FromHandle(HANDLE heap) {
    return static_cast<PlatformHeap*>(heap);
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

bool WithinBudget(const PlatformHeap& heap, size_t releasing, size_t requesting) {
    if (heap.maximumSize == 0) return true;
    size_t after = heap.liveBytes - releasing;
    return requesting <= heap.maximumSize && after <= heap.maximumSize - requesting;
}

bool PaddedSize(const PlatformHeap& heap, size_t size, size_t* padded) {
    if (size > SIZE_MAX - heap.pad - 1) return false;
    *padded = size + heap.pad + (size == 0 && heap.pad == 0 ? 1 : 0);
    return true;
}

char* BaseOf(const PlatformHeap& heap, uintptr_t block) {
    return reinterpret_cast<char*>(block - heap.pad);
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
    for (const auto& [block, size] : heap->live) std::free(BaseOf(*heap, block));
    delete heap;
    return true;
}

void* HeapAlloc(HANDLE handle, DWORD flags, size_t size) {
    PlatformHeap* heap = FromHandle(handle);
    size_t padded = 0;
    if (heap == nullptr || !PaddedSize(*heap, size, &padded) || InjectedFailure()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(heap->mutex);
    if (!WithinBudget(*heap, 0, size)) return nullptr;
    char* base = static_cast<char*>(std::malloc(padded));
    if (base == nullptr) return nullptr;
    char* block = base + heap->pad;
    if (flags & kHeapZeroMemory) std::memset(block, 0, size);
    try {
        heap->live.emplace(reinterpret_cast<uintptr_t>(block), size);
    } catch (...) {
        std::free(base);
        return nullptr;
    }
    heap->liveBytes += size;
    return block;
}

void* HeapReAlloc(HANDLE handle, DWORD flags, void* block, size_t size) {
    PlatformHeap* heap = FromHandle(handle);
    size_t padded = 0;
    if (heap == nullptr || block == nullptr || !PaddedSize(*heap, size, &padded)) return nullptr;
    std::lock_guard<std::mutex> lock(heap->mutex);
    auto entry = heap->live.find(reinterpret_cast<uintptr_t>(block));
    if (entry == heap->live.end()) return nullptr;
    const size_t oldSize = entry->second;
    if (!WithinBudget(*heap, oldSize, size) || InjectedFailure()) return nullptr;
    char* base = BaseOf(*heap, entry->first);
    char* result = nullptr;
    if (flags & kHeapReallocInPlaceOnly) {
        const bool growing = size > oldSize;
        if (growing && g_refuseInPlaceGrowth.load(std::memory_order_relaxed)) return nullptr;
        if (padded > malloc_usable_size(base)) return nullptr;
        result = static_cast<char*>(block);
    } else {
        char* moved = static_cast<char*>(std::realloc(base, padded));
        if (moved == nullptr) return nullptr;
        result = moved + heap->pad;
        if (result != block) {
            // Re-key the existing node: no allocation, so nothing can fail after the move.
            auto node = heap->live.extract(entry);
            node.key() = reinterpret_cast<uintptr_t>(result);
            entry = heap->live.insert(std::move(node)).position;
        }
    }
    if ((flags & kHeapZeroMemory) && size > oldSize) {
        std::memset(result + oldSize, 0, size - oldSize);
    }
    entry->second = size;
    heap->liveBytes = heap->liveBytes - oldSize + size;
    return result;
}

bool HeapFree(HANDLE handle, DWORD /*flags*/, void* block) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr || block == nullptr) return false;
    std::lock_guard<std::mutex> lock(heap->mutex);
    auto entry = heap->live.find(reinterpret_cast<uintptr_t>(block));
    if (entry == heap->live.end()) return false;
    heap->liveBytes -= entry->second;
    std::free(BaseOf(*heap, entry->first));
    heap->live.erase(entry);
    return true;
}

size_t HeapSize(HANDLE handle, DWORD /*flags*/, const void* block) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr) return static_cast<size_t>(-1);
    std::lock_guard<std::mutex> lock(heap->mutex);
    auto entry = heap->live.find(reinterpret_cast<uintptr_t>(block));
    return entry == heap->live.end() ? static_cast<size_t>(-1) : entry->second;
}

bool HeapIsLiveBlock(HANDLE handle, const void* block) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr || block == nullptr) return false;
    std::lock_guard<std::mutex> lock(heap->mutex);
    return heap->live.count(reinterpret_cast<uintptr_t>(block)) != 0;
}

size_t HeapLiveBlocks(HANDLE handle, size_t* liveBytes) {
    PlatformHeap* heap = FromHandle(handle);
    if (heap == nullptr) {
        if (liveBytes) *liveBytes = 0;
        return 0;
    }
    std::lock_guard<std::mutex> lock(heap->mutex);
    if (liveBytes) *liveBytes = heap->liveBytes;
    return heap->live.size();
}

void SetHeapRefuseInPlaceGrowth(bool refuse) {
    g_refuseInPlaceGrowth.store(refuse, std::memory_order_relaxed);
}

void SetHeapFailNextAllocations(DWORD count) {
    g_failNextAllocations.store(count, std::memory_order_relaxed);
}

}  // namespace qzo::platform
