// Process-wide state shared by all CHeap objects: the heap list, the count of live heaps, the
// watch heap that holds trace bookkeeping, and the interned module names of the traces.
#pragma once

#include <cstddef>
#include <mutex>

#include "qzobj/memory.h"

namespace qzo::memory {

inline constexpr int kMaxListedHeaps = 256;
inline constexpr size_t kWatchHeapInitialSize = 0x10000;

// The lock guarding the heap list, the module list and the watch heap's creation and
// destruction. Created on first use and never destroyed, so it outlives every static heap.
std::recursive_mutex& HeapListLock();

// Counts a heap in (construction) and out (destruction). The last heap out frees the module
// names and destroys the watch heap.
void CountHeapIn();
void CountHeapOut();

// Under the heap-list lock: lists the heap when fewer than 256 are listed, and, when `wantWatch`
// is set, makes sure the watch heap exists. Returns whether watch mode is available.
bool ListHeap(CHeap* heap, bool wantWatch);
void UnlistHeap(CHeap* heap);

// Copies up to `capacity` listed heaps.
int CopyHeapList(CHeap** heaps, int capacity);

// The watch heap, null when none exists.
HANDLE WatchHeap();

// Returns the interned copy of a module name (compared without case), adding it when new; null
// when the watch heap cannot hold it.
const char* InternModuleName(const char* name);

// True when `allocation` is a live platform block of a listed heap other than `self`.
bool IsLiveInOtherHeap(const CHeap* self, const void* allocation);

// Number and bytes of the watch heap's live blocks (traces and module names).
size_t WatchHeapLiveBlocks(size_t* liveBytes);

}  // namespace qzo::memory
