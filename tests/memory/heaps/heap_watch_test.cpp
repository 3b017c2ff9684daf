// Watch mode: trace texts with a fixed frame walk and resolver, dumps, the watch list across
// reallocation and damage, flag changes on live heaps and the watch heap's bookkeeping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory/heaps/heap_test_support.h"
#include "qzobj/memory/heap_registry.h"
#include "qzobj/memory/heap_trace.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

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
    WatchHeapNamed("Traced");
    CHeap heap("Traced", 0, 0x1000, 0, FALSE);
    ASSERT_TRUE(heap.IsWatchFramed());
    EXPECT_EQ(heap.GetHeapFlags() & HEAPFLAG_WATCH, HEAPFLAG_WATCH);
    void* block = heap.Alloc(10, 0, "C:\\src\\qzobj\\cosobj.cpp", 136);
    ASSERT_NE(block, nullptr);
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
    WatchHeapNamed("Dumped");
    CHeap heap("Dumped", 0, 0x1000, 0, FALSE);
    void* block = heap.Alloc(10, 0, "qzobj/cosobj", 136);
    void* unresolved = heap.Alloc(3, 0, nullptr, 0, reinterpret_cast<void*>(kUnknown));
    DebugCapture capture;
    heap.Dump(TRUE);
    const std::string expected =
        "\rDump [Dumped]: 2 items not freed"
        "\r"
        "lib.so|+2048"
        "\r  "
        "lib.so|helper-8"
        "\r    "
        "app.so|ns::Func+16"
        "\r      " +
        Hex(kUnknown, false) + "{11 bytes @ " + Hex(static_cast<char*>(unresolved) - 4, false) +
        "}\r\n"
        "\r"
        "lib.so|+2048"
        "\r  "
        "lib.so|helper-8"
        "\r    "
        "app.so|ns::Func+16"
        "\r      "
        "cosobj|line 136"
        "{18 bytes @ " +
        Hex(static_cast<char*>(block) - 4, false) +
        "}\r\n"
        "\r\n";
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

TEST_F(HeapWatch, DeepStacksKeepSevenPieces) {
    memory::SetTraceSourceForTesting(&DeepWalk, &FixedResolver);
    WatchHeapNamed("Deep");
    CHeap heap("Deep", 0, 0x1000, 0, FALSE);
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
    WatchHeapNamed("WatchGrow");
    CHeap keeper("WatchGrow", 0, 0x1000, 0, FALSE);
    void* first = keeper.Alloc(10, 0, "grow.cpp", 1);
    keeper.Free(first);  // interns the module names once
    size_t baselineBytes = 0;
    const size_t baseline = memory::WatchHeapLiveBlocks(&baselineBytes);

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
    DWORD count = 0;
    EXPECT_EQ(keeper.GetHeapState(&count), 5008u);
    EXPECT_EQ(count, 1u);
    DebugCapture capture;
    keeper.Dump(TRUE);
    EXPECT_TRUE(capture.Contains("grow.cpp|line 3{5008 bytes @ "));
    EXPECT_TRUE(keeper.Free(block));

    // Every trace, including those replaced by reallocations, went back to the watch heap.
    size_t bytes = 0;
    EXPECT_EQ(memory::WatchHeapLiveBlocks(&bytes), baseline);
    EXPECT_EQ(bytes, baselineBytes);
}

TEST_F(HeapWatch, WatchHeapReturnsToBaselineUnderLoad) {
    WatchHeapNamed("WatchLoad");
    CHeap heap("WatchLoad", 0, 0x1000, 0, FALSE);
    heap.Free(heap.Alloc(1, 0, "load.cpp", 1));
    size_t baselineBytes = 0;
    const size_t baseline = memory::WatchHeapLiveBlocks(&baselineBytes);
    std::vector<void*> blocks;
    for (int i = 0; i < 200; ++i) blocks.push_back(heap.Alloc(i, 0, "load.cpp", 1));
    for (int i = 0; i < 200; i += 2)
        blocks[i] = heap.Realloc(blocks[i], 3 * i + 1, 0, "load.cpp", 1);
    for (void* block : blocks) ASSERT_TRUE(heap.Free(block));
    size_t bytes = 0;
    EXPECT_EQ(memory::WatchHeapLiveBlocks(&bytes), baseline);
    EXPECT_EQ(bytes, baselineBytes);
    DWORD count = 1;
    EXPECT_EQ(heap.GetHeapState(&count), 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(HeapWatch, FlippedWatchBitIsHarmless) {
    CHeap plain("FlipPlain", 0, 0x1000, 0, FALSE);
    WatchHeapNamed("FlipWatched");
    CHeap watched("FlipWatched", 0, 0x1000, 0, FALSE);
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
    DWORD count = 1;
    EXPECT_EQ(watched.GetHeapState(&count), 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(HeapWatch, OverrunOfAWatchedBlockPrintsItsEntry) {
    WatchHeapNamed("WatchOverrun");
    CHeap heap("WatchOverrun", 0, 0x1000, 0, FALSE);
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
    WatchHeapNamed("WatchDamage");
    CHeap heap("WatchDamage", 0, 0x1000, 0, FALSE);
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
    ScopedDebugMode debug(true);
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

}  // namespace
}  // namespace qzo::test
