// CHeap framing: size word and trailer, overruns, double, foreign and other-heap frees, leak
// reports, reallocation, names, flags, settings and the heap list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "memory/heaps/heap_test_support.h"
#include "qzobj/memory/heap_registry.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

class HeapFraming : public QzoTest {};

void ExpectCounters(CHeap& heap, DWORD blocks, DWORD bytes) {
    DWORD count = 0xDEAD;
    EXPECT_EQ(heap.GetHeapState(&count), bytes);
    EXPECT_EQ(count, blocks);
}

TEST_F(HeapFraming, BlocksAreFramedAlignedAndCounted) {
    CHeap heap("Frame", 0, 0x1000, 0, FALSE);
    auto* block = static_cast<char*>(heap.Alloc(10));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
    EXPECT_EQ(SizeWordOf(block), 18u);
    EXPECT_EQ(std::memcmp(block + 10, "WOHC", 4), 0);
    EXPECT_EQ(heap.AllocSize(block), 10u);
    ExpectCounters(heap, 1, 18);

    void* empty = heap.Alloc(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SizeWordOf(empty), 8u);
    EXPECT_EQ(std::memcmp(empty, "WOHC", 4), 0);
    ExpectCounters(heap, 2, 26);

    EXPECT_TRUE(heap.Free(block));
    EXPECT_TRUE(heap.Free(empty));
    ExpectCounters(heap, 0, 0);
}

TEST_F(HeapFraming, HundredBytesAreUsableInBothModes) {
    WatchHeapNamed("Watched100");
    CHeap plain("Plain100", 0, 0x1000, 0, FALSE);
    CHeap watched("Watched100", 0, 0x1000, 0, FALSE);
    ASSERT_TRUE(watched.IsWatchFramed());
    void* a = plain.Alloc(100);
    void* b = watched.Alloc(100);
    EXPECT_EQ(plain.AllocSize(a), 100u);
    EXPECT_EQ(watched.AllocSize(b), 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    EXPECT_TRUE(plain.Free(a));
    EXPECT_TRUE(watched.Free(b));
    EXPECT_EQ(plain.AllocSize(a), 0u);  // no longer live
}

TEST_F(HeapFraming, OverrunIsReportedAndTheBlockKept) {
    CHeap heap("Overrun", 0, 0x1000, 0, FALSE);
    auto* block = static_cast<char*>(heap.Alloc(10));
    block[10] = 'X';  // the first trailer byte
    DebugCapture capture;
    EXPECT_FALSE(heap.Free(block));
    const auto messages = capture.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].Utf8(),
              "\rHeap Overrun: Free: BlockEnd overwritten or already freed.\r\n");
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 1);
    // Damaged blocks are counted out but never released.
    ExpectCounters(heap, 0, 0);
    EXPECT_TRUE(platform::HeapIsLiveBlock(heap.hHeap, block - 4));
}

TEST_F(HeapFraming, DoubleFreeIsRefusedWithoutTouchingCounters) {
    CHeap heap("Twice", 0, 0x1000, 0, FALSE);
    void* keep = heap.Alloc(10);
    void* block = heap.Alloc(10);
    EXPECT_TRUE(heap.Free(block));
    ExpectCounters(heap, 1, 18);
    DebugCapture capture;
    EXPECT_FALSE(heap.Free(block));
    EXPECT_EQ(capture.Messages().at(0).Utf8(),
              "\rHeap Twice: Free: BlockEnd overwritten or already freed.\r\n");
    ExpectCounters(heap, 1, 18);
    capture.Clear();
    EXPECT_EQ(heap.Realloc(block, 20), nullptr);
    EXPECT_EQ(capture.Messages().at(0).Utf8(),
              "\rHeap Twice: Realloc: BlockStart overwritten.\r\n");
    ExpectCounters(heap, 1, 18);
    EXPECT_TRUE(heap.Free(keep));
}

TEST_F(HeapFraming, ForeignPointersAreRefused) {
    CHeap heap("Foreign", 0, 0x1000, 0, FALSE);
    void* keep = heap.Alloc(4);
    alignas(16) char stack[64] = {};
    std::unique_ptr<char, decltype(&std::free)> outside(static_cast<char*>(std::malloc(64)),
                                                        &std::free);
    DebugCapture capture;
    EXPECT_FALSE(heap.Free(stack + 16));
    EXPECT_FALSE(heap.Free(outside.get() + 4));
    EXPECT_EQ(heap.AllocSize(stack + 16), 0u);
    EXPECT_FALSE(heap.Free(nullptr));
    EXPECT_TRUE(
        capture.Contains("\rHeap Foreign: Free: BlockEnd overwritten or already freed.\r\n"));
    ExpectCounters(heap, 1, 12);
    EXPECT_TRUE(heap.Free(keep));
}

TEST_F(HeapFraming, AnotherHeapsBlockIsRefusedInEveryFraming) {
    ScopedDebugMode debug(true);
    WatchHeapNamed("OtherWatched");
    CHeap mine("Mine", 0, 0x1000, 0, FALSE);
    CHeap other("Other", 0, 0x1000, 0, FALSE);
    CHeap watched("OtherWatched", 0, 0x1000, 0, FALSE);
    void* otherBlock = other.Alloc(10);
    void* watchedBlock = watched.Alloc(10);

    DebugCapture capture;
    EXPECT_FALSE(mine.Free(otherBlock));
    EXPECT_TRUE(capture.Contains("WRONG HEAP HANDLE"));
    EXPECT_FALSE(capture.Contains("already freed"));
    capture.Clear();
    EXPECT_FALSE(mine.Free(watchedBlock));
    EXPECT_TRUE(capture.Contains("WRONG HEAP HANDLE"));
    capture.Clear();
    EXPECT_FALSE(watched.Free(otherBlock));
    EXPECT_TRUE(capture.Contains("\rHeap OtherWatched::Free: WATCHINFO bad\r\n"));
    EXPECT_TRUE(capture.Contains("WRONG HEAP HANDLE"));
    capture.Clear();
    EXPECT_EQ(mine.Realloc(otherBlock, 40), nullptr);
    EXPECT_TRUE(capture.Contains("WRONG HEAP HANDLE"));

    ExpectCounters(mine, 0, 0);
    ExpectCounters(other, 1, 18);
    ExpectCounters(watched, 1, 18);
    EXPECT_TRUE(other.Free(otherBlock));
    EXPECT_TRUE(watched.Free(watchedBlock));
}

TEST_F(HeapFraming, DestructionReportsLeaks) {
    DebugCapture capture;
    {
        CHeap heap("Leaky", 0, 0x1000, 0, FALSE);
        for (int i = 0; i < 3; ++i) ASSERT_NE(heap.Alloc(10), nullptr);
        heap.Free(heap.Alloc(7));
    }
    bool found = false;
    for (const auto& message : capture.Messages()) {
        if (message.Utf8() != "Heap Leaky: 3 items (54 bytes) not freed\r\n") continue;
        found = true;
        EXPECT_EQ(message.channel, 0);
        EXPECT_EQ(message.level, 9);
    }
    EXPECT_TRUE(found) << capture.Text();
}

TEST_F(HeapFraming, ReallocKeepsDataAndFrame) {
    CHeap heap("Grow", 0, 0x1000, 0, FALSE);
    auto* block = static_cast<char*>(heap.Realloc(nullptr, 5, HEAP_REALLOC_IN_PLACE_ONLY));
    ASSERT_NE(block, nullptr);
    std::memcpy(block, "hello", 5);
    block = static_cast<char*>(heap.Realloc(block, 3000, HEAP_ZERO_MEMORY));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, "hello", 5), 0);
    for (int i = 5; i < 3000; ++i) ASSERT_EQ(block[i], 0) << i;
    EXPECT_EQ(SizeWordOf(block), 3008u);
    EXPECT_EQ(TrailerOf(block), HEAP_BLOCK_TRAILER);
    ExpectCounters(heap, 1, 3008);
    block = static_cast<char*>(heap.Realloc(block, 2, HEAP_REALLOC_IN_PLACE_ONLY));
    ASSERT_NE(block, nullptr);
    ExpectCounters(heap, 1, 10);
    EXPECT_TRUE(heap.Free(block));
}

TEST_F(HeapFraming, InPlaceGrowthCanBeRefused) {
    CHeap heap("InPlace", 0, 0x1000, 0, FALSE);
    auto* block = static_cast<char*>(heap.Alloc(64));
    platform::SetHeapRefuseInPlaceGrowth(true);
    EXPECT_EQ(heap.Realloc(block, 65, HEAP_REALLOC_IN_PLACE_ONLY), nullptr);
    EXPECT_EQ(heap.Realloc(block, 32, HEAP_REALLOC_IN_PLACE_ONLY), block);  // shrinking stays
    platform::SetHeapRefuseInPlaceGrowth(false);
    EXPECT_EQ(heap.Realloc(block, 1 << 20, HEAP_REALLOC_IN_PLACE_ONLY), nullptr);
    ExpectCounters(heap, 1, 40);
    EXPECT_TRUE(heap.Free(block));
}

TEST_F(HeapFraming, OversizedRequestsFail) {
    CHeap heap("Huge", 0, 0x1000, 0, FALSE);
    DebugCapture capture;
    EXPECT_EQ(heap.Alloc(0xFFFFFFF8u), nullptr);  // the size word would not fit 32 bits
    EXPECT_EQ(capture.Messages().at(0).Utf8(),
              "\rFAILED: HeapAlloc(Huge,hHeap=" + Hex(heap.hHeap) + ")\r\n");
    void* block = heap.Alloc(1);
    EXPECT_EQ(heap.Realloc(block, 0xFFFFFFF8u), nullptr);
    ExpectCounters(heap, 1, 9);
    EXPECT_TRUE(heap.Free(block));

    CHeap bounded("Bounded", 100, 0, 0, FALSE);
    EXPECT_NE(bounded.Alloc(80), nullptr);
    EXPECT_EQ(bounded.Alloc(80), nullptr);  // the maximum is a byte budget

    // An injected failure is reported the same way and counts nothing.
    platform::SetHeapFailNextAllocations(1);
    capture.Clear();
    EXPECT_EQ(heap.Alloc(10), nullptr);
    EXPECT_EQ(capture.Messages().at(0).Utf8(),
              "\rFAILED: HeapAlloc(Huge,hHeap=" + Hex(heap.hHeap) + ")\r\n");
    ExpectCounters(heap, 0, 0);
    EXPECT_TRUE(heap.Free(heap.Alloc(10)));  // only the next allocation failed
}

TEST_F(HeapFraming, NamesSelectLoggingAndTheProcessHeap) {
    CHeap work("@Work", 0, 0x1000, 0, FALSE);
    char name[32];
    work.GetHeapName(name, sizeof(name));
    EXPECT_STREQ(name, "Work");
    EXPECT_EQ(work.GetHeapFlags() & HEAPFLAG_LOG, HEAPFLAG_LOG);

    CHeap proc("proc", 0, 0, 0, FALSE);
    CHeap process("@PROCESS", 0, 0, 0, FALSE);
    EXPECT_EQ(proc.hHeap, platform::GetProcessHeap());
    EXPECT_EQ(process.hHeap, platform::GetProcessHeap());
    void* block = proc.Alloc(10);
    EXPECT_TRUE(proc.Free(block));

    CHeap unnamed;
    EXPECT_EQ(unnamed.hHeap, nullptr);
    unnamed.GetHeapName(name, sizeof(name));
    EXPECT_STREQ(name, "00000000");
    EXPECT_EQ(unnamed.Alloc(4), nullptr);
    EXPECT_EQ(unnamed.SizeHeap(0, 0x1000, 0), 0);
    EXPECT_EQ(unnamed.SizeHeap(0, 0x1000, 0), 0);  // already there: no effect
    void* sized = unnamed.Alloc(4);
    EXPECT_NE(sized, nullptr);
    unnamed.Free(sized);
}

TEST_F(HeapFraming, NameCopiesAlwaysTerminate) {
    CHeap heap("ALongHeapNameThatIsCutAtThirtyOneCharacters", 0, 0x1000, 0, FALSE);
    char name[40];
    std::memset(name, '@', sizeof(name));  // old contents must not matter
    EXPECT_EQ(heap.GetHeapName(name, sizeof(name)), 1);
    EXPECT_STREQ(name, "ALongHeapNameThatIsCutAtThirtyO");
    std::memset(name, '@', sizeof(name));
    heap.GetHeapName(name, 6);
    EXPECT_STREQ(name, "ALong");
    EXPECT_EQ(heap.GetHeapName(nullptr, 10), 0);
    EXPECT_EQ(heap.GetHeapName(name, 0), 0);
}

TEST_F(HeapFraming, FlagsAreMaskedAndSettingsOredIn) {
    QZOBJ_WriteProfileInt("Heaps", "HeapFlags", 1);
    QZOBJ_WriteProfileInt("Flagged", "HeapFlags", 8);
    CHeap flagged("Flagged", 0, 0x1000, 0, FALSE);
    EXPECT_EQ(flagged.GetHeapFlags(), 9u);
    EXPECT_EQ(flagged.SetHeapFlags(0xFF), 1);
    EXPECT_EQ(flagged.GetHeapFlags(), 0x0Fu);
    // Missing keys were written back with their defaults.
    EXPECT_EQ(QZOBJ_GetProfileInt("Heaps", "Watch", -1, FALSE), 0);
    EXPECT_EQ(QZOBJ_GetProfileInt("Flagged", "Watch", -1, FALSE), 0);
}

TEST_F(HeapFraming, ConstructionNoticesNeedDebugOutput) {
    DebugCapture capture;
    { CHeap quiet("Quiet", 0, 0x1000, 0, FALSE); }
    EXPECT_FALSE(capture.Contains("CHeap(Quiet)"));
    ScopedDebugMode debug(true);
    CHeap loud("Loud", 0, 0x1000, 0, FALSE);
    EXPECT_TRUE(capture.Contains("\rCHeap(Loud), Handle=" + Hex(loud.hHeap) + "\r\n"));
    const bool watchHeapExisted = memory::WatchHeap() != nullptr;
    WatchHeapNamed("LoudWatched");
    CHeap watched("LoudWatched", 0, 0x1000, 0, FALSE);
    EXPECT_EQ(capture.Contains("\rCHeap: hWatchHeap = hWatchHeap\r\n"), !watchHeapExisted);
}

TEST_F(HeapFraming, ListHoldsAtMost256Heaps) {
    EXPECT_EQ(CHeap::GetHeapList(nullptr, 10), 0);
    CHeap* before[256];
    const int existing = CHeap::GetHeapList(before, 256);
    std::vector<std::unique_ptr<CHeap>> heaps;
    for (int i = existing; i <= 256; ++i) heaps.push_back(std::make_unique<CHeap>());
    CHeap* listed[300];
    EXPECT_EQ(CHeap::GetHeapList(listed, 300), 256);
    for (int i = 0; i < 256; ++i) EXPECT_NE(listed[i], heaps.back().get());
    EXPECT_EQ(heaps.back()->SizeHeap(0, 0, 0), 0);
    void* block = heaps.back()->Alloc(3);  // the unlisted heap still works
    EXPECT_TRUE(heaps.back()->Free(block));
    EXPECT_EQ(CHeap::GetHeapList(listed, 2), 2);
    heaps.clear();
    EXPECT_EQ(CHeap::GetHeapList(listed, 300), existing);
}

TEST_F(HeapFraming, StoreWatchConfigWritesEveryListedHeap) {
    CHeap next("WatchNext", 0, 0x1000, 0, FALSE);
    CHeap plain("NoWatchNext", 0, 0x1000, 0, FALSE);
    QZOBJ_WriteProfileInt("Heaps", "Watch", 5);
    EXPECT_EQ(CHeap::StoreWatchConfig(), 1);
    EXPECT_EQ(QZOBJ_GetProfileInt("Heaps", "Watch", -1, FALSE), 0);
    next.SetHeapFlags(HEAPFLAG_WATCHNEXTSTART);
    QZOBJ_WriteProfileInt("Heaps", "Watch", 5);
    EXPECT_EQ(CHeap::StoreWatchConfig(), 1);
    EXPECT_EQ(QZOBJ_GetProfileInt("WatchNext", "Watch", -1, FALSE), 1);
    EXPECT_EQ(QZOBJ_GetProfileInt("NoWatchNext", "Watch", -1, FALSE), 0);
    EXPECT_EQ(QZOBJ_GetProfileInt("Heaps", "Watch", -1, FALSE), 5);  // left alone
    EXPECT_FALSE(next.IsWatchFramed());                              // only the next start watches
}

TEST_F(HeapFraming, LibraryHeapsAreNamedAndShared) {
    char name[32];
    memory::CSHeap().GetHeapName(name, sizeof(name));
    EXPECT_STREQ(name, "CSHeap");
    EXPECT_EQ(&memory::CSHeap(), &memory::CSHeap());
    memory::ObjHeap().GetHeapName(name, sizeof(name));
    EXPECT_STREQ(name, "CQZRTObjectHeap");
    for (CHeap* heap : {&memory::MemPool(), &memory::PropertyPool(), &memory::DIBPool(),
                        &memory::LocFileHeap(), &memory::PrjHeap()}) {
        EXPECT_NE(heap->hHeap, nullptr);
    }
}

}  // namespace
}  // namespace qzo::test
