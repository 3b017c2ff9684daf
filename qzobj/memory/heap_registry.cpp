// The process-wide bookkeeping of the debug heaps: heap list, live-heap count, watch heap and
// the interned module names of watch traces.
#include "qzobj/memory/heap_registry.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/platform/heap.h"
#include "qzobj/uikit.h"

namespace qzo::memory {
namespace {

// A module name stored once in the watch heap and shared by every trace that names it.
struct tagWATCHMODULE {
    tagWATCHMODULE* pNext;
    char szName[1];  // terminated, allocated to length
};

// All guarded by HeapListLock(), except the live count, which is atomic.
CHeap* g_heapList[kMaxListedHeaps];
int g_heapListSize = 0;
std::atomic<unsigned> g_liveHeaps{0};
HANDLE g_watchHeap = nullptr;
tagWATCHMODULE* g_moduleList = nullptr;

bool EqualNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const unsigned char ca = static_cast<unsigned char>(*a);
        const unsigned char cb = static_cast<unsigned char>(*b);
        const unsigned char la = (ca >= 'A' && ca <= 'Z') ? ca + 32 : ca;
        const unsigned char lb = (cb >= 'A' && cb <= 'Z') ? cb + 32 : cb;
        if (la != lb) return false;
        if (la == 0) return true;
    }
}

void ReleaseWatchBookkeeping() {
    g_moduleList = nullptr;  // the module names live in the watch heap
    if (g_watchHeap != nullptr) platform::HeapDestroy(g_watchHeap);
    g_watchHeap = nullptr;
}

}  // namespace

std::recursive_mutex& HeapListLock() {
    static auto* lock = new std::recursive_mutex;  // never destroyed
    return *lock;
}

void CountHeapIn() {
    g_liveHeaps.fetch_add(1, std::memory_order_relaxed);
}

void CountHeapOut() {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    if (g_liveHeaps.fetch_sub(1, std::memory_order_relaxed) == 1) ReleaseWatchBookkeeping();
}

bool ListHeap(CHeap* heap, bool wantWatch) {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    if (g_heapListSize < kMaxListedHeaps) g_heapList[g_heapListSize++] = heap;
    if (!wantWatch) return false;
    if (g_watchHeap == nullptr) {
        g_watchHeap = platform::HeapCreate(0, kWatchHeapInitialSize, 0, 0);
        if (g_watchHeap == nullptr) return false;
        if (IsDebugOn()) wPrintf(0, 9, u"\rCHeap: hWatchHeap = hWatchHeap\r\n");
    }
    return true;
}

void UnlistHeap(CHeap* heap) {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    for (int i = 0; i < g_heapListSize; ++i) {
        if (g_heapList[i] != heap) continue;
        std::memmove(&g_heapList[i], &g_heapList[i + 1],
                     sizeof(CHeap*) * static_cast<size_t>(g_heapListSize - i - 1));
        --g_heapListSize;
        return;
    }
}

int CopyHeapList(CHeap** heaps, int capacity) {
    if (heaps == nullptr || capacity <= 0) return 0;
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    const int count = capacity < g_heapListSize ? capacity : g_heapListSize;
    for (int i = 0; i < count; ++i) heaps[i] = g_heapList[i];
    return count;
}

HANDLE WatchHeap() {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    return g_watchHeap;
}

const char* InternModuleName(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    for (tagWATCHMODULE* module = g_moduleList; module != nullptr; module = module->pNext) {
        if (EqualNoCase(module->szName, name)) return module->szName;
    }
    if (g_watchHeap == nullptr) return nullptr;
    const size_t length = std::strlen(name);
    auto* module = static_cast<tagWATCHMODULE*>(
        platform::HeapAlloc(g_watchHeap, 0, offsetof(tagWATCHMODULE, szName) + length + 1));
    if (module == nullptr) return nullptr;
    std::memcpy(module->szName, name, length + 1);
    module->pNext = g_moduleList;
    g_moduleList = module;
    return module->szName;
}

bool IsLiveInOtherHeap(const CHeap* self, const void* allocation) {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    for (int i = 0; i < g_heapListSize; ++i) {
        const CHeap* other = g_heapList[i];
        if (other == self || other->hHeap == nullptr || other->hHeap == self->hHeap) continue;
        if (platform::HeapIsLiveBlock(other->hHeap, allocation)) return true;
    }
    return false;
}

size_t WatchHeapLiveBlocks(size_t* liveBytes) {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    return platform::HeapLiveBlocks(g_watchHeap, liveBytes);
}

}  // namespace qzo::memory
