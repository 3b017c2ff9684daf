// Memory blocks: sharing, copy-on-write, READONLY, class and allocator checks, resizing,
// refused sizes and damaged handles.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "memory/memblock/block_test_support.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

const char kReadOnlyWarning[] =
    "Warning: CPMemory::operator PVOID: Attempt to write-access cast READONLY memory.";
const char kInvalidAssignment[] =
    "Warning: CPMemory::CopyCPMemory: Invalid assignment (bad pointer or different classes)!";

struct RefuseInPlaceGrowth {
    RefuseInPlaceGrowth() { qzo::platform::SetHeapRefuseInPlaceGrowth(true); }
    ~RefuseInPlaceGrowth() { qzo::platform::SetHeapRefuseInPlaceGrowth(false); }
};

using MemoryBlocks = QzoTest;

TEST_F(MemoryBlocks, AllocTakesThirtyTwoByteStepsFromMemPool) {
    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
    ProbeMemory block;
    ASSERT_TRUE(block.Alloc(10));
    EXPECT_EQ(block.GetSize(), 10u);
    EXPECT_EQ(block.GetAllocSize(), 32u);  // 10 + 32-byte header, rounded up to 64
    EXPECT_EQ(block.GetRefCnt(), 1);
    EXPECT_EQ(std::memcmp(block.Header(), "meMC", 4), 0);
    EXPECT_EQ(block.Header()->pClassID, classidCPMemory);
    EXPECT_STREQ(classidCPMemory, "CPMemory");
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block.GetCDataPtr()) % 16, 0u);
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline + 1);

    ASSERT_TRUE(block.Alloc(33));
    EXPECT_EQ(block.GetAllocSize(), 64u);
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline + 1);

    EXPECT_FALSE(block.Alloc(0));  // drops the block and holds nothing
    EXPECT_EQ(block.Header(), nullptr);
    EXPECT_EQ(block.GetSize(), 0u);
    EXPECT_EQ(block.GetRefCnt(), 0);
    EXPECT_EQ(block.GetCDataPtr(), nullptr);
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline);
    EXPECT_TRUE(block.Free());  // nothing held
}

TEST_F(MemoryBlocks, CopiesShareOneCountedBlock) {
    CPMemory a;
    ASSERT_TRUE(a.Alloc(16));
    Fill(a, "0123456789abcdef");
    CPMemory b(a);
    EXPECT_EQ(b.GetCDataPtr(), a.GetCDataPtr());
    EXPECT_EQ(a.GetRefCnt(), 2);
    CPMemory c;
    c = a;
    c = c;
    c = b;  // already the same block
    EXPECT_EQ(a.GetRefCnt(), 3);
    {
        CPMemory d(c);
        EXPECT_EQ(a.GetRefCnt(), 4);
    }
    EXPECT_TRUE(b.Free());
    EXPECT_EQ(b.GetCDataPtr(), nullptr);
    EXPECT_EQ(a.GetRefCnt(), 2);
    CPMemory empty;
    c = empty;
    EXPECT_EQ(c.GetCDataPtr(), nullptr);
    EXPECT_EQ(a.GetRefCnt(), 1);
    EXPECT_EQ(Contents(a), "0123456789abcdef");
}

TEST_F(MemoryBlocks, UnshareMakesAPrivateCopyOnlyWhenShared) {
    ProbeMemory a;
    ASSERT_TRUE(a.Alloc(10));
    Fill(a, "abcdefghij");
    ProbeMemory b(a);
    ASSERT_TRUE(b.Realloc(CPMEM_UNSHARE, 0, 0));
    EXPECT_NE(b.GetCDataPtr(), a.GetCDataPtr());
    EXPECT_EQ(a.GetRefCnt(), 1);
    EXPECT_EQ(b.GetRefCnt(), 1);
    EXPECT_EQ(Contents(b), "abcdefghij");
    EXPECT_TRUE(static_cast<const CPMemory&>(a) == static_cast<const CPMemory&>(b));
    ASSERT_EQ(b.relocations.size(), 1u);
    EXPECT_EQ(b.relocations[0].sourceSize, 32u);
    EXPECT_EQ(b.relocations[0].destinationSize, 10u);
    EXPECT_EQ(b.relocations[0].iRef, 2);
    EXPECT_EQ(b.clears, 0);  // the old block lives on with a

    const void* before = a.GetCDataPtr();
    EXPECT_TRUE(a.Realloc(CPMEM_UNSHARE, 0, 0));
    EXPECT_EQ(a.GetCDataPtr(), before);
    EXPECT_TRUE(a.relocations.empty());

    ProbeMemory empty;  // an empty handle unshares trivially
    EXPECT_TRUE(empty.Realloc(CPMEM_UNSHARE, 0, 0));
    EXPECT_EQ(empty.Header(), nullptr);

    ASSERT_TRUE(a.SetSize(0));  // a shared block of size 0 cannot be copied
    ProbeMemory c(a);
    EXPECT_FALSE(c.Realloc(CPMEM_UNSHARE, 0, 0));
}

TEST_F(MemoryBlocks, ReadOnlyRefusesWriteAccessWithAWarning) {
    ScopedDebug debug(true);
    DebugCapture capture;
    CPMemory a;
    ASSERT_TRUE(a.Alloc(8));
    Fill(a, "readonly");
    a.SetFlags(CPMEM_READONLY | 0x6);
    EXPECT_EQ(a.GetFlags(), CPMEM_READONLY);
    EXPECT_EQ(a.GetDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(kReadOnlyWarning));
    EXPECT_NE(a.GetCDataPtr(), nullptr);
    EXPECT_EQ(Contents(a), "readonly");

    capture.Clear();
    const CPMemory& constView = a;
    EXPECT_NE(static_cast<const void*>(constView), nullptr);
    EXPECT_FALSE(capture.Contains(kReadOnlyWarning));
    // A non-const handle resolves even a const cast to the writable one.
    EXPECT_EQ(static_cast<const void*>(a), nullptr);
    EXPECT_TRUE(capture.Contains(kReadOnlyWarning));

    a.SetFlags(0);
    EXPECT_EQ(a.GetFlags(), CPMEM_READONLY);
    EXPECT_FALSE(a.SetSize(4));
    EXPECT_EQ(a.GetSize(), 8u);

    CPMemory copy(a);  // the mark travels with assignment
    EXPECT_EQ(copy.GetFlags(), CPMEM_READONLY);
    ASSERT_TRUE(copy.Realloc(16));
    EXPECT_EQ(copy.GetFlags(), 0u);
    a.Free();
    EXPECT_EQ(a.GetFlags(), 0u);
    a.SetFlags(CPMEM_READONLY);
    ASSERT_TRUE(a.Alloc(4));
    EXPECT_EQ(a.GetFlags(), 0u);

    SetDebugMode(FALSE);
    capture.Clear();
    a.SetFlags(CPMEM_READONLY);
    EXPECT_EQ(a.GetDataPtr(), nullptr);  // refused silently outside debug mode
    EXPECT_FALSE(capture.Contains(kReadOnlyWarning));
}

TEST_F(MemoryBlocks, BlocksAreSharedOnlyWithinOneClassAndAllocator) {
    ScopedDebug debug(true);
    DebugCapture capture;
    CPMemory plain;
    ASSERT_TRUE(plain.Alloc(4));

    // A derived class that keeps CPMemory's ID and allocator shares (as strings do).
    ProbeMemory derived;
    static_cast<CPMemory&>(derived) = plain;
    EXPECT_EQ(plain.GetRefCnt(), 2);
    EXPECT_FALSE(capture.Contains(kInvalidAssignment));

    CPProperty property(1, GUID{});
    ASSERT_TRUE(property.Alloc(4));
    CPMemory target;
    ASSERT_TRUE(target.Alloc(4));
    target = property;
    EXPECT_EQ(target.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(kInvalidAssignment));
    EXPECT_EQ(property.GetRefCnt(), 1);

    capture.Clear();
    CPMemoryCS guarded;
    ASSERT_TRUE(guarded.Alloc(4));
    target = guarded;
    EXPECT_EQ(target.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(kInvalidAssignment));

    capture.Clear();
    TestMallocator allocator;
    ProbeMemory foreign(&allocator);
    ASSERT_TRUE(foreign.Alloc(4));
    target = foreign;  // same class ID, other allocator
    EXPECT_EQ(target.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(kInvalidAssignment));
    EXPECT_FALSE(target.cmpMEMHEADER(foreign, FALSE));
    EXPECT_FALSE(static_cast<const CPMemory&>(plain) == static_cast<const CPMemory&>(property));
}

TEST_F(MemoryBlocks, SizesAndComparison) {
    CPMemory a, b;
    EXPECT_TRUE(a == b);  // two empty handles
    ASSERT_TRUE(a.Alloc(10));
    EXPECT_FALSE(a == b);
    ASSERT_TRUE(b.Alloc(10));
    Fill(a, "0123456789");
    Fill(b, "0123456789");
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a.cmpMEMHEADER(b, TRUE));
    static_cast<char*>(b.GetDataPtr())[9] = 'X';
    EXPECT_TRUE(a != b);

    EXPECT_FALSE(a.SetSize(33));
    EXPECT_EQ(a.GetSize(), 10u);
    EXPECT_TRUE(a.SetSize(32));
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a.cmpMEMHEADER(b, TRUE));
    EXPECT_TRUE(a.cmpMEMHEADER(b, FALSE));
    EXPECT_TRUE(a.SetSize(0));
    EXPECT_EQ(a.GetDataPtr(), nullptr);
    EXPECT_EQ(a.GetAllocSize(), 32u);
}

TEST_F(MemoryBlocks, ReallocResizesInPlaceOrMovesWhenRefused) {
    ProbeMemory a;
    ASSERT_TRUE(a.Alloc(10));
    Fill(a, "abcdefghij");
    const void* before = a.GetCDataPtr();
    ASSERT_TRUE(a.Realloc(20));  // still within the 64-byte request
    EXPECT_EQ(a.GetCDataPtr(), before);
    EXPECT_EQ(a.GetSize(), 20u);
    EXPECT_TRUE(a.relocations.empty());

    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
    {
        RefuseInPlaceGrowth refuse;
        ASSERT_TRUE(a.Realloc(1000));
    }
    EXPECT_NE(a.GetCDataPtr(), before);
    EXPECT_EQ(a.GetSize(), 1000u);
    EXPECT_EQ(a.GetAllocSize(), 1024u);  // 1000 + 32, rounded up to 1056
    EXPECT_EQ(Contents(a).substr(0, 10), "abcdefghij");
    ASSERT_EQ(a.relocations.size(), 1u);
    EXPECT_EQ(a.relocations[0].iRef, 1);
    EXPECT_EQ(a.clears, 0);  // the contents moved: the old block is not cleared
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline);

    const void* grown = a.GetCDataPtr();
    ASSERT_TRUE(a.Realloc(1000, 0, TRUE));  // a new block although it fits
    EXPECT_NE(a.GetCDataPtr(), grown);
    EXPECT_EQ(Contents(a).substr(0, 10), "abcdefghij");

    EXPECT_TRUE(a.Realloc(0));
    EXPECT_EQ(a.Header(), nullptr);
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline - 1);
    EXPECT_FALSE(a.Realloc(8, HEAP_REALLOC_IN_PLACE_ONLY));
    EXPECT_TRUE(a.Realloc(8, 0));
    EXPECT_EQ(a.GetSize(), 8u);
}

TEST_F(MemoryBlocks, ReallocOfASharedBlockLeavesTheOtherHolders) {
    TestMallocator allocator;
    ProbeMemory a(&allocator);
    ASSERT_TRUE(a.Alloc(10));
    Fill(a, "abcdefghij");
    ProbeMemory b(a);
    ASSERT_TRUE(b.Realloc(100));  // the allocator refuses growth in place
    EXPECT_EQ(allocator.allocs, 2);
    EXPECT_EQ(allocator.frees, 0);
    ASSERT_EQ(b.relocations.size(), 1u);
    EXPECT_EQ(b.relocations[0].iRef, 2);
    EXPECT_EQ(b.relocations[0].sourceSize, 10u);  // this allocator grants exactly the request
    EXPECT_EQ(b.relocations[0].destinationSize, 100u);
    EXPECT_EQ(a.GetRefCnt(), 1);
    EXPECT_EQ(b.GetRefCnt(), 1);
    EXPECT_EQ(Contents(a), "abcdefghij");
    EXPECT_EQ(Contents(b).substr(0, 10), "abcdefghij");

    ASSERT_TRUE(a.Realloc(4));  // shrinking stays in place
    EXPECT_EQ(allocator.allocs, 2);
    EXPECT_EQ(a.GetSize(), 4u);
    a.Free();
    b.Free();
    EXPECT_EQ(allocator.frees, 2);
    EXPECT_EQ(a.clears + b.clears, 2);
}

TEST_F(MemoryBlocks, SizesBeyondThirtyTwoBitsAreRefused) {
    CHeap& pool = qzo::memory::MemPool();
    const DWORD baseline = LiveBlocks(pool);
    CPMemory a;
    EXPECT_FALSE(a.Alloc(0xFFFFFFF0u));
    EXPECT_FALSE(a.Alloc(0xFFFFFFE0u));  // header included, exactly 2^32
    EXPECT_FALSE(a.Alloc(0xFFFFFFC1u));  // fits 32 bits, but not once rounded up
    EXPECT_EQ(LiveBlocks(pool), baseline);
    EXPECT_EQ(a.GetCDataPtr(), nullptr);

    TestMallocator allocator;
    ProbeMemory b(&allocator);
    EXPECT_FALSE(b.Alloc(0xFFFFFFE0u));
    EXPECT_EQ(allocator.allocs, 0);  // refused before the allocator is asked

    ProbeMemory c;
    ASSERT_TRUE(c.Alloc(10));
    Fill(c, "abcdefghij");
    EXPECT_FALSE(c.Realloc(0xFFFFFFF0u));
    EXPECT_FALSE(c.Realloc(0xFFFFFFF0u, 0, TRUE));
    EXPECT_FALSE(c.CallLoadRealloc(0xFFFFFFF0u));
    EXPECT_EQ(Contents(c), "abcdefghij");
    EXPECT_EQ(LiveBlocks(pool), baseline + 1);
}

TEST_F(MemoryBlocks, LoadReallocZeroFillsAndRefusesSharedBlocks) {
    TestMallocator allocator;
    ProbeMemory a(&allocator);
    EXPECT_TRUE(a.CallLoadRealloc(0));
    EXPECT_EQ(a.Header(), nullptr);
    ASSERT_TRUE(a.CallLoadRealloc(10));
    Fill(a, "abcdefghij");
    ASSERT_TRUE(a.CallLoadRealloc(100));
    const std::string contents = Contents(a);
    EXPECT_EQ(contents.substr(0, 10), "abcdefghij");
    EXPECT_EQ(contents.substr(32), std::string(68, '\0'));
    EXPECT_TRUE(a.relocations.empty());
    EXPECT_EQ(a.clears, 0);
    EXPECT_EQ(allocator.frees, 1);

    ProbeMemory b(a);
    EXPECT_FALSE(a.CallLoadRealloc(200));
    EXPECT_EQ(a.GetSize(), 100u);
}

TEST_F(MemoryBlocks, MissingAndMismatchedAllocatorsAreReported) {
    ScopedDebug debug(true);
    DebugCapture capture;
    ProbeMemory orphan(nullptr, true);
    EXPECT_FALSE(orphan.Alloc(4));
    EXPECT_TRUE(capture.Contains(
        "\rCPMemory::ClaimMemory: pMalloc == NULL, probably uninitialised object\r\n"));
    CPMemory source;
    ASSERT_TRUE(source.Alloc(4));
    static_cast<CPMemory&>(orphan) = source;
    EXPECT_EQ(orphan.Header(), nullptr);
    EXPECT_TRUE(capture.Contains(
        "\rCPMemory::CopyCPMemory: pMalloc == NULL, probably uninitialised object\r\n"));

    // A handle that reaches a block of another allocator (an assignment gone wrong).
    TestMallocator allocator;
    ProbeMemory owner(&allocator);
    ASSERT_TRUE(owner.Alloc(4));
    ProbeMemory stray;
    stray.SetHeader(owner.Header());
    owner.Clean();
    EXPECT_FALSE(stray.Realloc(64));
    EXPECT_TRUE(capture.Contains(
        "\rCPMemory::ReclaimMemory: pMalloc != pMH->pMalloc, probable assignment problem\r\n"));
    tagMEMHEADER* header = stray.Header();
    EXPECT_FALSE(stray.Free());
    EXPECT_TRUE(capture.Contains(
        "\rCPMemory::ReleaseMemory: pMalloc != pMH->pMalloc, probable assignment problem\r\n"));
    allocator.Free(header, 0);
}

TEST_F(MemoryBlocks, DamagedHandlesFailWithoutFaulting) {
    ScopedDebug debug(true);
    DebugCapture capture;
    alignas(16) unsigned char garbage[64];
    std::memset(garbage, 0x5A, sizeof(garbage));
    ProbeMemory damaged;
    damaged.SetHeader(reinterpret_cast<tagMEMHEADER*>(garbage));
    CPMemory target;
    ASSERT_TRUE(target.Alloc(4));
    target = damaged;
    EXPECT_EQ(target.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(kInvalidAssignment));
    EXPECT_EQ(damaged.GetSize(), 0u);
    EXPECT_EQ(damaged.GetRefCnt(), 0);
    EXPECT_FALSE(damaged.Realloc(8));
    EXPECT_FALSE(damaged.Free());  // left alone
    EXPECT_EQ(garbage[0], 0x5A);
    EXPECT_EQ(damaged.Header(), nullptr);
}

TEST_F(MemoryBlocks, UnreadableHandlesFailWithoutFaulting) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "fault guard compiled out";
    ScopedDebug debug(true);
    DebugCapture capture;
    ProbeMemory damaged;
    damaged.SetHeader(reinterpret_cast<tagMEMHEADER*>(uintptr_t(0x10)));
    CPMemory target;
    ASSERT_TRUE(target.Alloc(4));
    target = damaged;  // reading the source header faults and is caught
    EXPECT_EQ(target.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains(kInvalidAssignment));
    damaged.Clean();
}

TEST_F(MemoryBlocks, ConstructAndCleanForgetTheBlockWithoutReleasingIt) {
    CHeap& pool = qzo::memory::MemPool();
    const DWORD baseline = LiveBlocks(pool);
    CPMemory a;
    ASSERT_TRUE(a.Alloc(4));
    a.SetFlags(CPMEM_READONLY);
    auto* header = const_cast<tagMEMHEADER*>(static_cast<const tagMEMHEADER*>(a.GetCDataPtr()) - 1);
    a.Construct();
    EXPECT_EQ(a.GetCDataPtr(), nullptr);
    EXPECT_EQ(a.GetFlags(), 0u);
    EXPECT_EQ(header->iRef.load(), 1);
    EXPECT_EQ(LiveBlocks(pool), baseline + 1);

    ProbeMemory b;
    ASSERT_TRUE(b.Alloc(4));
    tagMEMHEADER* other = b.Header();
    b.Clean();
    EXPECT_EQ(b.Header(), nullptr);
    EXPECT_EQ(other->iRef.load(), 1);
    b.SetHeader(other);
    EXPECT_TRUE(b.Free());

    EXPECT_TRUE(header->pMalloc->Free(header, 0));
    EXPECT_EQ(LiveBlocks(pool), baseline);
}

}  // namespace
}  // namespace qzo::test
