// The platform heap beneath CHeap: exact sizes, alignment offsets, liveness without touching
// blocks, in-place reallocation, zeroing, byte budgets, destruction and the fault hooks.
#include <gtest/gtest.h>

#include <cstring>

#include "qzobj/platform/heap.h"

namespace qzo::platform {
namespace {

TEST(PlatformHeap, SizesAreExactAndOffsetsAligned) {
    HANDLE heap = HeapCreate(0, 0, 0, 4);
    ASSERT_NE(heap, nullptr);
    for (size_t size : {0u, 1u, 13u, 4096u}) {
        char* block = static_cast<char*>(HeapAlloc(heap, kHeapZeroMemory, size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ((reinterpret_cast<uintptr_t>(block) + 4) % 16, 0u);
        EXPECT_EQ(HeapSize(heap, 0, block), size);
        for (size_t i = 0; i < size; ++i) ASSERT_EQ(block[i], 0);
        EXPECT_TRUE(HeapIsLiveBlock(heap, block));
        EXPECT_TRUE(HeapFree(heap, 0, block));
        EXPECT_FALSE(HeapIsLiveBlock(heap, block));
        EXPECT_FALSE(HeapFree(heap, 0, block));
        EXPECT_EQ(HeapSize(heap, 0, block), static_cast<size_t>(-1));
    }
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(PlatformHeap, LivenessIsPerHeap) {
    HANDLE a = HeapCreate(0, 0, 0, 0);
    HANDLE b = HeapCreate(0, 0, 0, 0);
    void* block = HeapAlloc(a, 0, 8);
    EXPECT_FALSE(HeapIsLiveBlock(b, block));
    EXPECT_FALSE(HeapFree(b, 0, block));
    EXPECT_EQ(HeapReAlloc(b, 0, block, 16), nullptr);
    EXPECT_TRUE(HeapIsLiveBlock(a, block));
    size_t bytes = 0;
    EXPECT_EQ(HeapLiveBlocks(a, &bytes), 1u);
    EXPECT_EQ(bytes, 8u);
    EXPECT_TRUE(HeapDestroy(a));  // releases the live block
    EXPECT_TRUE(HeapDestroy(b));
}

TEST(PlatformHeap, ReallocInPlaceOnlyNeverMoves) {
    HANDLE heap = HeapCreate(0, 0, 0, 4);
    char* block = static_cast<char*>(HeapAlloc(heap, 0, 100));
    std::memset(block, 'a', 100);
    EXPECT_EQ(HeapReAlloc(heap, kHeapReallocInPlaceOnly, block, 50), block);
    EXPECT_EQ(HeapSize(heap, 0, block), 50u);
    EXPECT_EQ(HeapReAlloc(heap, kHeapReallocInPlaceOnly, block, 1 << 20), nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 50u);
    SetHeapRefuseInPlaceGrowth(true);
    EXPECT_EQ(HeapReAlloc(heap, kHeapReallocInPlaceOnly, block, 51), nullptr);
    SetHeapRefuseInPlaceGrowth(false);
    char* moved = static_cast<char*>(HeapReAlloc(heap, kHeapZeroMemory, block, 1 << 16));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ((reinterpret_cast<uintptr_t>(moved) + 4) % 16, 0u);
    EXPECT_EQ(moved[49], 'a');
    EXPECT_EQ(moved[50], 0);
    EXPECT_EQ(moved[(1 << 16) - 1], 0);
    EXPECT_TRUE(HeapIsLiveBlock(heap, moved));
    if (moved != block) {
        EXPECT_FALSE(HeapIsLiveBlock(heap, block));
    }
    HeapDestroy(heap);
}

TEST(PlatformHeap, MaximumIsAByteBudget) {
    HANDLE heap = HeapCreate(0, 0, 100, 0);
    void* a = HeapAlloc(heap, 0, 60);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(HeapAlloc(heap, 0, 41), nullptr);
    void* b = HeapAlloc(heap, 0, 40);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(HeapReAlloc(heap, 0, a, 61), nullptr);
    EXPECT_NE(HeapReAlloc(heap, 0, b, 10), nullptr);
    EXPECT_EQ(HeapAlloc(heap, 0, static_cast<size_t>(-1)), nullptr);
    HeapDestroy(heap);
}

TEST(PlatformHeap, ProcessHeapIsNeverDestroyed) {
    HANDLE process = GetProcessHeap();
    EXPECT_EQ(process, GetProcessHeap());
    EXPECT_FALSE(HeapDestroy(process));
    EXPECT_FALSE(HeapDestroy(nullptr));
    void* block = HeapAlloc(process, 0, 3);
    EXPECT_TRUE(HeapFree(process, 0, block));
}

TEST(PlatformHeap, InjectedFailuresAreCounted) {
    HANDLE heap = HeapCreate(0, 0, 0, 0);
    SetHeapFailNextAllocations(2);
    EXPECT_EQ(HeapAlloc(heap, 0, 1), nullptr);
    void* block = nullptr;
    EXPECT_EQ(HeapAlloc(heap, 0, 1), nullptr);
    block = HeapAlloc(heap, 0, 1);
    EXPECT_NE(block, nullptr);
    SetHeapFailNextAllocations(1);
    EXPECT_EQ(HeapReAlloc(heap, 0, block, 2), nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 1u);
    HeapDestroy(heap);
}

}  // namespace
}  // namespace qzo::platform
