// CHeap under concurrent use: exact counters after many allocations and frees on several
// threads, in plain and watch mode.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "memory/heaps/heap_test_support.h"
#include "qzobj/memory/heap_registry.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

class HeapThreads : public QzoTest {};

constexpr int kThreads = 4;
constexpr int kKeptPerThread = 100;

// Each thread allocates and frees `operations` blocks of varying sizes, reallocating some, and
// keeps `kKeptPerThread` blocks of 24 bytes alive at the end.
void Churn(CHeap& heap, int operations, std::vector<void*>& kept, int seed) {
    std::vector<void*> window(16, nullptr);
    for (int i = 0; i < operations; ++i) {
        const size_t slot = static_cast<size_t>(i * 7 + seed) % window.size();
        if (window[slot] != nullptr) {
            ASSERT_TRUE(heap.Free(window[slot]));
            window[slot] = nullptr;
        }
        const DWORD size = static_cast<DWORD>((i * 31 + seed) % 1024);
        void* block = heap.Alloc(size, 0, "threads.cpp", seed);
        ASSERT_NE(block, nullptr);
        if (i % 8 == 0) block = heap.Realloc(block, size + 100, 0, "threads.cpp", seed);
        ASSERT_NE(block, nullptr);
        window[slot] = block;
    }
    for (void* block : window) {
        if (block != nullptr) {
            ASSERT_TRUE(heap.Free(block));
        }
    }
    for (int i = 0; i < kKeptPerThread; ++i) kept.push_back(heap.Alloc(24));
}

void RunThreads(CHeap& heap, int operations) {
    std::vector<std::vector<void*>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { Churn(heap, operations, kept[t], t + 1); });
    }
    for (auto& thread : threads) thread.join();
    DWORD count = 0;
    EXPECT_EQ(heap.GetHeapState(&count), DWORD{kThreads * kKeptPerThread * 32});
    EXPECT_EQ(count, DWORD{kThreads * kKeptPerThread});
    for (auto& blocks : kept) {
        for (void* block : blocks) EXPECT_TRUE(heap.Free(block));
    }
    EXPECT_EQ(heap.GetHeapState(&count), 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(HeapThreads, PlainCountersStayExact) {
    CHeap heap("ThreadsPlain", 0, 0x10000, 0, FALSE);
    RunThreads(heap, 100000);
}

TEST_F(HeapThreads, WatchCountersAndListStayExact) {
    WatchHeapNamed("ThreadsWatched");
    CHeap heap("ThreadsWatched", 0, 0x10000, 0, FALSE);
    ASSERT_TRUE(heap.IsWatchFramed());
    // Traces intern the module names they meet once; warm them up on a worker thread too, so
    // the baseline already holds every name the churn will see.
    heap.Free(heap.Alloc(1, 0, "threads.cpp", 1));
    std::thread([&] { heap.Free(heap.Alloc(1, 0, "threads.cpp", 1)); }).join();
    size_t baselineBytes = 0;
    const size_t baseline = memory::WatchHeapLiveBlocks(&baselineBytes);
    RunThreads(heap, 20000);
    size_t bytes = 0;
    EXPECT_EQ(memory::WatchHeapLiveBlocks(&bytes), baseline);
    EXPECT_EQ(bytes, baselineBytes);
}

}  // namespace
}  // namespace qzo::test
