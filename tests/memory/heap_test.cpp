// Heaps: the platform heap beneath CHeap (exact sizes, alignment, liveness, in-place
// reallocation, byte budgets, fault hooks); CHeap's framing (size word and trailer, overruns,
// double, foreign and other-heap frees, leak reports, names, flags, settings, the heap list);
// watch mode (traces with a fixed frame walk and resolver, dumps, the watch list across
// reallocation and damage); and exact counters under concurrent use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "memory/memory_test_support.h"
#include "qzobj/memory/heap_registry.h"
#include "qzobj/memory/heap_trace.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Heaps = QzoTest;

void ExpectCounters(CHeap& heap, DWORD blocks, DWORD bytes) {
    DWORD count = 0xDEAD;
    EXPECT_EQ(heap.GetHeapState(&count), bytes);
    EXPECT_EQ(count, blocks);
}

// A heap whose section asks for watch mode before it is made.
struct WatchedHeap : CHeap {
    explicit WatchedHeap(const char* name)
        : CHeap((WatchHeapNamed(name), name), 0, 0x1000, 0, FALSE) {}
};

// The watch heap's live blocks and bytes, to show that every trace went back to it.
struct WatchHeapBaseline {
    size_t bytes = 0;
    size_t blocks = memory::WatchHeapLiveBlocks(&bytes);
    void ExpectUnchanged() const {
        size_t now = 0;
        EXPECT_EQ(memory::WatchHeapLiveBlocks(&now), blocks);
        EXPECT_EQ(now, bytes);
    }
};

TEST_F(Heaps, BlocksAreFramedAlignedAndCounted) {
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
    EXPECT_EQ(heap.AllocSize(block), 0u);  // no longer live
}

// Blocks whose frame does not check out are refused with a message naming the heap and the
// check; the counters stay, and a damaged block is counted out but never released.
TEST_F(Heaps, BadBlocksAreRefusedAndReported) {
    CHeap heap("Refuse", 0, 0x1000, 0, FALSE);
    void* keep = heap.Alloc(10);
    auto* overrun = static_cast<char*>(heap.Alloc(10));
    overrun[10] = 'X';  // the first trailer byte
    void* freed = heap.Alloc(10);
    ASSERT_TRUE(heap.Free(freed));
    alignas(16) char stack[64] = {};
    std::unique_ptr<char, decltype(&std::free)> outside(static_cast<char*>(std::malloc(64)),
                                                        &std::free);
    const std::string end = "\rHeap Refuse: Free: BlockEnd overwritten or already freed.\r\n";
    const struct {
        const char* name;
        std::function<bool()> call;
        std::string message;
    } rows[] = {
        {"overrun", [&] { return heap.Free(overrun); }, end},
        {"double free", [&] { return heap.Free(freed); }, end},
        {"realloc of a freed block", [&] { return heap.Realloc(freed, 20) != nullptr; },
         "\rHeap Refuse: Realloc: BlockStart overwritten.\r\n"},
        {"stack", [&] { return heap.Free(stack + 16); }, end},
        {"C heap", [&] { return heap.Free(outside.get() + 4); }, end},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DebugCapture capture;
        EXPECT_FALSE(row.call());
        const auto messages = capture.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0].Utf8(), row.message);
        EXPECT_EQ(messages[0].channel, 0);
        EXPECT_EQ(messages[0].level, 1);
        ExpectCounters(heap, 1, 18);
    }
    EXPECT_TRUE(platform::HeapIsLiveBlock(heap.hHeap, overrun - 4));
    EXPECT_EQ(heap.AllocSize(stack + 16), 0u);
    EXPECT_FALSE(heap.Free(nullptr));
    EXPECT_TRUE(heap.Free(keep));
}

TEST_F(Heaps, AnotherHeapsBlockIsRefusedInEveryFraming) {
    ScopedDebugOutput debug(true);
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

TEST_F(Heaps, DestructionReportsLeaks) {
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

TEST_F(Heaps, ReallocKeepsDataAndFrame) {
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

TEST_F(Heaps, InPlaceGrowthCanBeRefused) {
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

TEST_F(Heaps, OversizedRequestsFail) {
    CHeap heap("Huge", 0, 0x1000, 0, FALSE);
    DebugCapture capture;
    EXPECT_EQ(heap.Alloc(0xFFFFFFF8u), nullptr);  // the size word would not fit 32 bits
    EXPECT_EQ(capture.Messages().at(0).Utf8(),
              "\rFAILED: HeapAlloc(Huge,hHeap=" + Hex(heap.hHeap) + ")\r\n");
    void* block = heap.Alloc(1);
    EXPECT_EQ(heap.Realloc(block, 0xFFFFFFF8u), nullptr);
    ExpectCounters(heap, 1, 9);
    EXPECT_TRUE(heap.Free(block));

    // An injected failure is reported the same way and counts nothing.
    platform::SetHeapFailNextAllocations(1);
    capture.Clear();
    EXPECT_EQ(heap.Alloc(10), nullptr);
    EXPECT_EQ(capture.Messages().at(0).Utf8(),
              "\rFAILED: HeapAlloc(Huge,hHeap=" + Hex(heap.hHeap) + ")\r\n");
    ExpectCounters(heap, 0, 0);
    EXPECT_TRUE(heap.Free(heap.Alloc(10)));  // only the next allocation failed
}

TEST_F(Heaps, NamesSelectLoggingAndTheProcessHeap) {
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

TEST_F(Heaps, NameCopiesAlwaysTerminate) {
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

TEST_F(Heaps, FlagsAreMaskedAndSettingsOredIn) {
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

TEST_F(Heaps, ConstructionNoticesNeedDebugOutput) {
    DebugCapture capture;
    { CHeap quiet("Quiet", 0, 0x1000, 0, FALSE); }
    EXPECT_FALSE(capture.Contains("CHeap(Quiet)"));
    ScopedDebugOutput debug(true);
    CHeap loud("Loud", 0, 0x1000, 0, FALSE);
    EXPECT_TRUE(capture.Contains("\rCHeap(Loud), Handle=" + Hex(loud.hHeap) + "\r\n"));
    const bool watchHeapExisted = memory::WatchHeap() != nullptr;
    WatchedHeap watched("LoudWatched");
    EXPECT_EQ(capture.Contains("\rCHeap: hWatchHeap = hWatchHeap\r\n"), !watchHeapExisted);
}

TEST_F(Heaps, ListHoldsAtMost256Heaps) {
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

TEST_F(Heaps, StoreWatchConfigWritesEveryListedHeap) {
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

TEST_F(Heaps, LibraryHeapsAreNamedAndShared) {
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

// ---- Watch mode: trace texts with a fixed frame walk and resolver, dumps, the watch list
// across reallocation and damage, flag changes on live heaps and the watch heap's bookkeeping.

constexpr uintptr_t kInner = 0x1000;    // resolves to a function
constexpr uintptr_t kMiddle = 0x2000;   // only the nearest symbol below is known
constexpr uintptr_t kOuter = 0x3000;    // only the module is known
constexpr uintptr_t kUnknown = 0x4000;  // not resolved

size_t FixedWalk(const void*, void** out, size_t capacity) {
    const uintptr_t frames[] = {kInner, kMiddle, kOuter};
    size_t count = 0;
    for (uintptr_t frame : frames) {
        if (count < capacity) out[count++] = reinterpret_cast<void*>(frame);
    }
    return count;
}

size_t DeepWalk(const void*, void** out, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i) out[i] = reinterpret_cast<void*>(kUnknown + i);
    return capacity;
}

BOOL FixedResolver(const void* address, tagADDRESSINFO* info) {
    switch (reinterpret_cast<uintptr_t>(address)) {
        case kInner:
            std::strcpy(info->szModule, "app.so");
            std::strcpy(info->szFunction, "void ns::Func(int)");
            info->dwDisplacement = 0x10;
            return TRUE;
        case kMiddle:
            std::strcpy(info->szModule, "LIB.so");
            std::strcpy(info->szFunction2, "helper(char)");
            info->dwDistance = 8;
            return TRUE;
        case kOuter:
            std::strcpy(info->szModule, "lib.so");  // the same module, interned once
            info->uModuleBase = 0x2800;
            return TRUE;
        default:
            return FALSE;
    }
}

class HeapWatch : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        memory::SetTraceSourceForTesting(&FixedWalk, &FixedResolver);
    }
    void TearDown() override {
        memory::SetTraceSourceForTesting(nullptr, nullptr);
        QzoTest::TearDown();
    }
};

TEST_F(HeapWatch, TraceHoldsPiecesOutermostFirst) {
    WatchedHeap heap("Traced");
    ASSERT_TRUE(heap.IsWatchFramed());
    EXPECT_EQ(heap.GetHeapFlags() & HEAPFLAG_WATCH, HEAPFLAG_WATCH);
    void* block = heap.Alloc(10, 0, "C:\\src\\qzobj\\cosobj.cpp", 136);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
    EXPECT_EQ(heap.AllocSize(block), 10u);
    const tagWATCHINFO* record = RecordOf(block);
    EXPECT_EQ(record->dwSignature, WATCHINFO_SIGNATURE);
    EXPECT_EQ(std::memcmp(record, "tWhc", 4), 0);
    EXPECT_EQ(+record->hHeap, heap.hHeap);
    EXPECT_EQ(record->dwSize, 18u);
    ASSERT_NE(record->pszTrace, nullptr);
    EXPECT_STREQ(record->pszTrace, "%hs|+%u{%hs|helper%+d{%hs|ns::Func%+d{%hs|line %d{");
    EXPECT_STREQ(record->pModule[6], "lib.so");
    EXPECT_EQ(+record->pModule[5], +record->pModule[6]);  // compared without case
    EXPECT_STREQ(record->pModule[4], "app.so");
    EXPECT_STREQ(record->pModule[3], "cosobj.cpp");
    EXPECT_EQ(+record->dwValue[6], 0x800u);
    EXPECT_EQ(static_cast<intptr_t>(record->dwValue[5]), -8);
    EXPECT_EQ(+record->dwValue[4], 0x10u);
    EXPECT_EQ(+record->dwValue[3], 136u);
    EXPECT_EQ(+record->pModule[2], nullptr);
    EXPECT_TRUE(heap.Free(block));
}

TEST_F(HeapWatch, DumpSplitsTracesIntoIndentedPieces) {
    WatchedHeap heap("Dumped");
    void* block = heap.Alloc(10, 0, "qzobj/cosobj", 136);
    void* unresolved = heap.Alloc(3, 0, nullptr, 0, reinterpret_cast<void*>(kUnknown));
    DebugCapture capture;
    heap.Dump(TRUE);
    // Each trace piece on a line of its own, indented one step deeper than the one before.
    const std::string pieces = "\rlib.so|+2048\r  lib.so|helper-8\r    app.so|ns::Func+16\r      ";
    const std::string expected =
        "\rDump [Dumped]: 2 items not freed" + pieces + Hex(kUnknown, false) + "{11 bytes @ " +
        Hex(static_cast<char*>(unresolved) - 4, false) + "}\r\n" + pieces +
        "cosobj|line 136{18 bytes @ " + Hex(static_cast<char*>(block) - 4, false) + "}\r\n\r\n";
    EXPECT_EQ(capture.Text(), expected);
    for (const auto& message : capture.Messages()) EXPECT_EQ(message.channel, 0);

    capture.Clear();
    heap.Dump(FALSE);
    EXPECT_EQ(capture.Text(), "\rDump [Dumped]: 2 items not freed\r\n");
    heap.Free(block);
    heap.Free(unresolved);
    capture.Clear();
    heap.Dump(TRUE);
    EXPECT_EQ(capture.Text(), "");  // an empty list prints nothing
}

TEST_F(HeapWatch, AllocationsWithoutSourceOrCallerTraceTheirCaller) {
    // Without a source line or a caller address, a reallocated block's new trace ends at the
    // code that called Realloc, not at a null address.
    WatchedHeap heap("Callers");
    void* block = heap.Alloc(8, 0, "first.cpp", 1);
    ASSERT_NE(block, nullptr);
    block = heap.Realloc(block, 4000, 0, nullptr, 0, nullptr);
    ASSERT_NE(block, nullptr);
    // Below the three walked frames, the unresolved caller: its address is the piece's value.
    EXPECT_EQ(+RecordOf(block)->pModule[3], nullptr);
    EXPECT_NE(+RecordOf(block)->dwValue[3], 0u);
    heap.Free(block);
}

TEST_F(HeapWatch, DeepStacksKeepSevenPieces) {
    memory::SetTraceSourceForTesting(&DeepWalk, &FixedResolver);
    WatchedHeap heap("Deep");
    void* block = heap.Alloc(1, 0, "deep.cpp", 7);
    const tagWATCHINFO* record = RecordOf(block);
    EXPECT_EQ(+record->dwValue[6], kUnknown + 5);  // the outermost of the six frames
    EXPECT_EQ(+record->dwValue[1], kUnknown);
    EXPECT_STREQ(record->pModule[0], "deep.cpp");
    EXPECT_EQ(+record->dwValue[0], 7u);
    DebugCapture capture;
    heap.Dump(TRUE);
    EXPECT_TRUE(capture.Contains("\r            deep.cpp|line 7{9 bytes @ "));
    heap.Free(block);
}

TEST_F(HeapWatch, FunctionNamesAreTrimmed) {
    char out[64];
    memory::TrimFunctionName("void ns::Func(int)", out, sizeof(out));
    EXPECT_STREQ(out, "ns::Func");
    memory::TrimFunctionName("ns::Type::Method(char const*) const", out, sizeof(out));
    EXPECT_STREQ(out, "ns::Type::Method");
    memory::TrimFunctionName("plain", out, sizeof(out));
    EXPECT_STREQ(out, "plain");
    memory::TrimFunctionName("abcdefgh", out, 4);
    EXPECT_STREQ(out, "abc");
}

TEST_F(HeapWatch, LeakedBlocksAreDumpedAtDestruction) {
    WatchHeapNamed("WatchLeak");
    DebugCapture capture;
    {
        CHeap heap("WatchLeak", 0, 0x1000, 0, FALSE);
        for (int i = 0; i < 3; ++i) heap.Alloc(10, 0, "leak.cpp", 40 + i);
    }
    const std::string text = capture.Text();
    const size_t report = text.find("Heap WatchLeak: 3 items (54 bytes) not freed\r\n");
    const size_t dump = text.find("\rDump [WatchLeak]: 3 items not freed");
    ASSERT_NE(report, std::string::npos) << text;
    ASSERT_NE(dump, std::string::npos) << text;
    EXPECT_LT(report, dump);
    // Newest first.
    EXPECT_LT(text.find("leak.cpp|line 42"), text.find("leak.cpp|line 40"));
}

TEST_F(HeapWatch, ReallocMovesTheRecordAndItsTrace) {
    WatchedHeap keeper("WatchGrow");
    void* first = keeper.Alloc(10, 0, "grow.cpp", 1);
    keeper.Free(first);  // interns the module names once
    const WatchHeapBaseline baseline;
    auto* block = static_cast<char*>(keeper.Alloc(10, 0, "grow.cpp", 1));
    std::memcpy(block, "0123456789", 10);
    block = static_cast<char*>(keeper.Realloc(block, 5000, 0, "grow.cpp", 2));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::memcmp(block, "0123456789", 10), 0);
    EXPECT_EQ(RecordOf(block)->dwSize, 5008u);
    EXPECT_EQ(+RecordOf(block)->dwValue[3], 2u);
    EXPECT_EQ(TrailerOf(block), HEAP_BLOCK_TRAILER);
    platform::SetHeapRefuseInPlaceGrowth(true);
    EXPECT_EQ(keeper.Realloc(block, 6000, HEAP_REALLOC_IN_PLACE_ONLY, "grow.cpp", 3), nullptr);
    platform::SetHeapRefuseInPlaceGrowth(false);
    EXPECT_EQ(RecordOf(block)->dwSize, 5008u);  // re-registered as it was
    ExpectCounters(keeper, 1u, 5008u);
    DebugCapture capture;
    keeper.Dump(TRUE);
    EXPECT_TRUE(capture.Contains("grow.cpp|line 3{5008 bytes @ "));
    EXPECT_TRUE(keeper.Free(block));

    baseline.ExpectUnchanged();  // every trace, the replaced ones too, went back
}

TEST_F(HeapWatch, FlippedWatchBitIsHarmless) {
    CHeap plain("FlipPlain", 0, 0x1000, 0, FALSE);
    WatchedHeap watched("FlipWatched");
    void* a = plain.Alloc(10);
    void* b = watched.Alloc(10, 0, "flip.cpp", 1);
    plain.SetHeapFlags(0xFF);
    watched.SetHeapFlags(0);
    DebugCapture capture;
    void* c = plain.Alloc(10);
    void* d = watched.Alloc(10, 0, "flip.cpp", 2);
    EXPECT_FALSE(plain.IsWatchFramed());
    EXPECT_TRUE(watched.IsWatchFramed());
    EXPECT_EQ(plain.AllocSize(c), 10u);
    EXPECT_EQ(watched.AllocSize(d), 10u);
    EXPECT_TRUE(plain.Free(a));
    EXPECT_TRUE(plain.Free(c));
    EXPECT_TRUE(watched.Free(b));
    EXPECT_TRUE(watched.Free(d));
    EXPECT_EQ(capture.Text(), "");  // nothing misread
    ExpectCounters(watched, 0, 0);
}

TEST_F(HeapWatch, OverrunOfAWatchedBlockPrintsItsEntry) {
    WatchedHeap heap("WatchOverrun");
    auto* block = static_cast<char*>(heap.Alloc(4, 0, "over.cpp", 9));
    block[4] = 0;
    DebugCapture capture;
    EXPECT_FALSE(heap.Free(block));
    const std::string text = capture.Text();
    EXPECT_EQ(text.find("\rHeap WatchOverrun: Free: BlockEnd overwritten or already freed.\r\n"),
              0u);
    EXPECT_NE(text.find("over.cpp|line 9{12 bytes @ "), std::string::npos) << text;
    EXPECT_FALSE(capture.Contains("Heap corruption!"));  // the warning is for plain heaps
    capture.Clear();
    heap.Dump(FALSE);
    EXPECT_EQ(capture.Text(), "\rDump [WatchOverrun]: 0 items not freed\r\n");  // still listed
}

TEST_F(HeapWatch, DamagedRecordIsRefused) {
    WatchedHeap heap("WatchDamage");
    void* block = heap.Alloc(4, 0, "damage.cpp", 1);
    RecordOf(block)->dwSignature = 0;
    DebugCapture capture;
    EXPECT_FALSE(heap.Free(block));
    EXPECT_TRUE(capture.Contains("\rHeap WatchDamage::Free: Invalid signature\r\n"));
    capture.Clear();
    heap.Dump(TRUE);
    EXPECT_EQ(capture.Text(),
              "\rDump [WatchDamage]: 0 items not freed\rHeap WatchDamage: Block damaged "
              "(overwrite)\r\n");
}

TEST_F(HeapWatch, LogAndFreeTraceLinesNeedDebugOutput) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    CHeap heap("@Logged", 0, 0x1000, 0, FALSE);
    void* block = heap.Alloc(4);
    EXPECT_TRUE(capture.Contains("Heap Logged: Alloc " + Hex(block) + "\r\n"));
    block = heap.Realloc(block, 8);
    EXPECT_TRUE(capture.Contains("Heap Logged: Realloc " + Hex(block) + "\r\n"));
    heap.SetHeapFlags(HEAPFLAG_LOG | HEAPFLAG_TRACEFREE);
    heap.Free(block);
    EXPECT_TRUE(capture.Contains("Heap(Logged)::Free Trace " + Hex(block) + "\r\n"));
    EXPECT_TRUE(capture.Contains("Heap Logged: Free " + Hex(block) + "\r\n"));
}

// ---- Exact counters after many allocations and frees on several threads, plain and watched.

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
    ExpectCounters(heap, kThreads * kKeptPerThread, kThreads * kKeptPerThread * 32);
    for (auto& blocks : kept) {
        for (void* block : blocks) EXPECT_TRUE(heap.Free(block));
    }
    ExpectCounters(heap, 0, 0);
}

TEST_F(Heaps, PlainCountersStayExact) {
    CHeap heap("ThreadsPlain", 0, 0x10000, 0, FALSE);
    RunThreads(heap, 100000);
}

TEST_F(Heaps, WatchCountersAndListStayExact) {
    WatchedHeap heap("ThreadsWatched");
    ASSERT_TRUE(heap.IsWatchFramed());
    // Traces intern the module names they meet once; warm them up on a worker thread too, so
    // the baseline already holds every name the churn will see.
    heap.Free(heap.Alloc(1, 0, "threads.cpp", 1));
    std::thread([&] { heap.Free(heap.Alloc(1, 0, "threads.cpp", 1)); }).join();
    const WatchHeapBaseline baseline;
    RunThreads(heap, 20000);
    baseline.ExpectUnchanged();
}

}  // namespace
}  // namespace qzo::test

// ---- The platform heap beneath CHeap.

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
