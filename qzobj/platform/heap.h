// Private heaps with Windows heap semantics on top of the C allocator: every heap keeps a
// registry of its live blocks, so that callers can ask whether an address is a live block of a
// heap without touching the memory, and destroying a heap releases whatever it still holds.
#pragma once

#include <cstddef>

#include "qzobj/types.h"

namespace qzo::platform {

// Options and per-call flags (the Windows values).
inline constexpr DWORD kHeapNoSerialize = 0x00000001;         // ignored: heaps always serialise
inline constexpr DWORD kHeapZeroMemory = 0x00000008;          // new bytes are zeroed
inline constexpr DWORD kHeapReallocInPlaceOnly = 0x00000010;  // fail rather than move

// Blocks are placed so that (block + alignOffset) is 16-byte aligned: a caller that puts a
// header of alignOffset bytes in front of its data gets aligned data.
//
// Thread safety: every function may be called from any thread. Each heap's registry is split
// into shards by address, each under its own mutex; no lock is shared between heaps. A heap
// must not be destroyed while another thread still uses it.

// Creates a heap. `maximumSize` 0 means growable without limit; otherwise the sum of the live
// blocks' sizes may not exceed it. The initial size is a hint. Null when out of memory.
HANDLE HeapCreate(DWORD options, size_t initialSize, size_t maximumSize, size_t alignOffset = 4);
// The process's own heap: created on first use, never destroyed (HeapDestroy refuses it).
HANDLE GetProcessHeap();
// Releases every live block and the heap itself. False for null or the process heap.
bool HeapDestroy(HANDLE heap);

// A block of exactly `size` usable bytes (HeapSize reports `size`), or null.
void* HeapAlloc(HANDLE heap, DWORD flags, size_t size);
// Resizes a live block. With kHeapReallocInPlaceOnly it succeeds only when the block's memory
// already holds the new size, and the address stays. Null (block untouched) on failure or when
// `block` is not a live block of the heap.
void* HeapReAlloc(HANDLE heap, DWORD flags, void* block, size_t size);
// Releases a live block. False (nothing touched) when `block` is not a live block of the heap.
bool HeapFree(HANDLE heap, DWORD flags, void* block);
// The requested size of a live block, or (size_t)-1 when `block` is not one.
size_t HeapSize(HANDLE heap, DWORD flags, const void* block);
// Whether `block` is the start of a live block of the heap. Reads only the registry.
bool HeapIsLiveBlock(HANDLE heap, const void* block);
// Number and total requested size of the heap's live blocks.
size_t HeapLiveBlocks(HANDLE heap, size_t* liveBytes = nullptr);

// Fault injection for tests, process-wide: refuse every in-place growth (shrinking still
// succeeds in place), and make the next `count` allocations and reallocations of any heap fail.
void SetHeapRefuseInPlaceGrowth(bool refuse);
void SetHeapFailNextAllocations(DWORD count);

}  // namespace qzo::platform
