// Memory blocks: sharing, copy-on-write, READONLY, class and allocator checks, resizing, refused
// sizes and damaged handles; counted sharing and the critical section of CPMemoryCS across
// threads; chunk storage (golden bytes, extra room, damaged or missing chunks); and properties
// (labels, family membership, their own heap, sharing only among properties); CPMemoryFile:
// access rules, growth in steps of 4096, zeroed gaps, copies as snapshots.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "memory/memory_test_support.h"
#include "qzobj/hashid.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/os.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

namespace qzo::test {
namespace {

const char kReadOnlyWarning[] =
    "Warning: CPMemory::operator PVOID: Attempt to write-access cast READONLY memory.";
const char kInvalidAssignment[] =
    "Warning: CPMemory::CopyCPMemory: Invalid assignment (bad pointer or different classes)!";

using MemoryBlocks = QzoTest;

TEST_F(MemoryBlocks, AllocTakesThirtyTwoByteStepsFromMemPool) {
    const HeapGrowth pool(qzo::memory::MemPool());
    ProbeMemory block;
    ASSERT_TRUE(block.Alloc(10));
    EXPECT_EQ(block.GetSize(), 10u);
    EXPECT_EQ(block.GetAllocSize(), 32u);  // 10 + 32-byte header, rounded up to 64
    EXPECT_EQ(block.GetRefCnt(), 1);
    EXPECT_EQ(std::memcmp(block.Header(), "meMC", 4), 0);
    EXPECT_EQ(block.Header()->pClassID, classidCPMemory);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block.GetCDataPtr()) % 16, 0u);
    EXPECT_EQ(pool.Blocks(), 1);

    ASSERT_TRUE(block.Alloc(33));
    EXPECT_EQ(block.GetAllocSize(), 64u);
    EXPECT_EQ(pool.Blocks(), 1);

    EXPECT_FALSE(block.Alloc(0));  // drops the block and holds nothing
    EXPECT_EQ(block.Header(), nullptr);
    EXPECT_EQ(block.GetSize(), 0u);
    EXPECT_EQ(block.GetRefCnt(), 0);
    EXPECT_EQ(block.GetCDataPtr(), nullptr);
    EXPECT_EQ(pool.Blocks(), 0);
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
    ScopedDebugOutput debug(true);
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
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    CPMemory plain;
    ASSERT_TRUE(plain.Alloc(4));

    // A derived class that keeps CPMemory's ID and allocator shares (as strings do).
    ProbeMemory derived;
    static_cast<CPMemory&>(derived) = plain;
    EXPECT_EQ(plain.GetRefCnt(), 2);
    EXPECT_FALSE(capture.Contains(kInvalidAssignment));

    // Blocks of another class ID or allocator are refused both ways, with a warning.
    CPProperty property(1, GUID{});
    CPMemoryCS guarded;
    CPvList list(sizeof(Item8), 5);
    TestMallocator allocator;
    ProbeMemory foreign(&allocator);  // same class ID, other allocator
    ASSERT_TRUE(property.Alloc(4) && guarded.Alloc(4) && foreign.Alloc(4));
    AddRange(list, 1, 1);
    Fill(plain, "abcd");
    Fill(property, "abcd");
    EXPECT_FALSE(static_cast<const CPMemory&>(plain) == static_cast<const CPMemory&>(property));
    const struct {
        const char* name;
        CPMemory* other;
    } rows[] = {{"property", &property},
                {"guarded", &guarded},
                {"list", &list},
                {"other allocator", &foreign}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CPMemory target;
        ASSERT_TRUE(target.Alloc(4));
        capture.Clear();
        target = *row.other;
        EXPECT_EQ(target.GetCDataPtr(), nullptr);
        EXPECT_TRUE(capture.Contains(kInvalidAssignment));
        EXPECT_EQ(row.other->GetRefCnt(), 1);
        EXPECT_FALSE(target.cmpMEMHEADER(*row.other, FALSE));
        capture.Clear();
        *row.other = plain;  // the other way round
        EXPECT_EQ(row.other->GetCDataPtr(), nullptr);
        EXPECT_TRUE(capture.Contains(kInvalidAssignment));
    }
    EXPECT_EQ(plain.GetRefCnt(), 2);
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

    const HeapGrowth pool(qzo::memory::MemPool());
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
    EXPECT_EQ(pool.Blocks(), 0);

    const void* grown = a.GetCDataPtr();
    ASSERT_TRUE(a.Realloc(1000, 0, TRUE));  // a new block although it fits
    EXPECT_NE(a.GetCDataPtr(), grown);
    EXPECT_EQ(Contents(a).substr(0, 10), "abcdefghij");

    EXPECT_TRUE(a.Realloc(0));
    EXPECT_EQ(a.Header(), nullptr);
    EXPECT_EQ(pool.Blocks(), -1);
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
    const HeapGrowth pool(qzo::memory::MemPool());
    CPMemory a;
    EXPECT_FALSE(a.Alloc(0xFFFFFFF0u));
    EXPECT_FALSE(a.Alloc(0xFFFFFFE0u));  // header included, exactly 2^32
    EXPECT_FALSE(a.Alloc(0xFFFFFFC1u));  // fits 32 bits, but not once rounded up
    EXPECT_EQ(pool.Blocks(), 0);
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
    EXPECT_EQ(pool.Blocks(), 1);
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
    ScopedDebugOutput debug(true);
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
    ScopedDebugOutput debug(true);
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
    ScopedDebugOutput debug(true);
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
    const HeapGrowth pool(qzo::memory::MemPool());
    CPMemory a;
    ASSERT_TRUE(a.Alloc(4));
    a.SetFlags(CPMEM_READONLY);
    auto* header = const_cast<tagMEMHEADER*>(static_cast<const tagMEMHEADER*>(a.GetCDataPtr()) - 1);
    a.Construct();
    EXPECT_EQ(a.GetCDataPtr(), nullptr);
    EXPECT_EQ(a.GetFlags(), 0u);
    EXPECT_EQ(header->iRef.load(), 1);
    EXPECT_EQ(pool.Blocks(), 1);

    ProbeMemory b;
    ASSERT_TRUE(b.Alloc(4));
    tagMEMHEADER* other = b.Header();
    b.Clean();
    EXPECT_EQ(b.Header(), nullptr);
    EXPECT_EQ(other->iRef.load(), 1);
    b.SetHeader(other);
    EXPECT_TRUE(b.Free());

    EXPECT_TRUE(header->pMalloc->Free(header, 0));
    EXPECT_EQ(pool.Blocks(), 0);
}

// ---- Across threads: counted sharing under contention, exactly one release, and the critical
// section that travels with a CPMemoryCS block, also through Realloc.

constexpr int kThreads = 4;

template <class Body>
void RunOnThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
    for (auto& thread : threads) thread.join();
}

// Counts releases across all handles of the class.
class CountedRelease : public CPMemory {
  public:
    CountedRelease() = default;
    CountedRelease(const CountedRelease& source) : CPMemory() { CopyCPMemory(source); }
    ~CountedRelease() override { Free(); }
    static std::atomic<int> releases;

  protected:
    BOOL ClearForRelease() override {
        releases.fetch_add(1);
        return 1;
    }
};
std::atomic<int> CountedRelease::releases{0};

TEST_F(MemoryBlocks, AMillionCopiesAndDropsOnFourThreads) {
    const HeapGrowth pool(qzo::memory::MemPool());
    {
        CPMemory shared;
        ASSERT_TRUE(shared.Alloc(64));
        std::atomic<int> wrongSizes{0};
        RunOnThreads(kThreads, [&](int) {
            CPMemory local(shared);
            for (int i = 0; i < 1000000 / kThreads; ++i) {
                CPMemory copy(local);
                CPMemory assigned;
                assigned = copy;
                if (assigned.GetSize() != 64) wrongSizes.fetch_add(1);
            }
        });
        EXPECT_EQ(wrongSizes.load(), 0);
        EXPECT_EQ(shared.GetRefCnt(), 1);
        EXPECT_EQ(pool.Blocks(), 1);
    }
    EXPECT_EQ(pool.Blocks(), 0);
}

TEST_F(MemoryBlocks, TheLastHandleOnAnyThreadReleasesOnce) {
    const HeapGrowth pool(qzo::memory::MemPool());
    CountedRelease::releases = 0;
    constexpr int kRounds = 500;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<CountedRelease> handles(kThreads);
        {
            CountedRelease origin;
            ASSERT_TRUE(origin.Alloc(16));
            for (auto& handle : handles) static_cast<CPMemory&>(handle) = origin;
        }
        RunOnThreads(kThreads, [&](int i) { handles[i].Free(); });
    }
    EXPECT_EQ(CountedRelease::releases.load(), kRounds);
    EXPECT_EQ(pool.Blocks(), 0);
}

TEST_F(MemoryBlocks, SharedSectionExcludesHoldersOnAllThreads) {
    CPMemoryCS block;
    ASSERT_TRUE(block.Alloc(sizeof(long)));
    *static_cast<long*>(block.GetDataPtr()) = 0;
    constexpr int kIncrements = 20000;
    RunOnThreads(kThreads, [&](int) {
        CPMemoryCS mine(block);
        for (int i = 0; i < kIncrements; ++i) {
            mine.Enter();
            volatile long* value = static_cast<long*>(mine.GetDataPtr());
            const long seen = *value;
            if (i % 64 == 0) std::this_thread::yield();
            *value = seen + 1;
            mine.Leave();
        }
    });
    EXPECT_EQ(*static_cast<const long*>(block.GetCDataPtr()), long(kThreads) * kIncrements);
    EXPECT_EQ(block.GetSection()->GetRefCount(), 1u);
}

TEST_F(MemoryBlocks, ReallocInPlaceKeepsTheSharedSection) {
    CPMemoryCS a;
    ASSERT_TRUE(a.Alloc(10));
    CPMemoryCS b(a);
    CSharedCriticalSection* section = a.GetSection();
    ASSERT_EQ(b.GetSection(), section);
    EXPECT_EQ(section->GetRefCount(), 2u);

    a.Enter();
    ASSERT_TRUE(a.Realloc(20));  // grows within its 64-byte request
    EXPECT_EQ(a.GetSection(), section);
    EXPECT_EQ(a.GetCDataPtr(), b.GetCDataPtr());
    BOOL enteredWhileHeld = TRUE;
    std::thread([&] {
        enteredWhileHeld = b.GetSection()->TryEnter();
        if (enteredWhileHeld) b.GetSection()->Leave();
    }).join();
    EXPECT_FALSE(enteredWhileHeld);
    a.Leave();
    EXPECT_EQ(section->GetLockCount(), 0u);
}

TEST_F(MemoryBlocks, ReallocToANewBlockCarriesTheCallersHolds) {
    CPMemoryCS a;
    ASSERT_TRUE(a.Alloc(10));
    CPMemoryCS b(a);
    CSharedCriticalSection* old = a.GetSection();

    a.Enter();
    a.Enter();
    std::atomic<bool> otherEntered{false};
    std::thread other([&] {
        b.Enter();  // waits until a's holds on the shared section are handed over
        otherEntered = true;
        b.Leave();
    });
    ASSERT_TRUE(a.Realloc(100, 0, TRUE));
    other.join();  // finishes while a still holds its new section twice
    EXPECT_TRUE(otherEntered.load());

    CSharedCriticalSection* fresh = a.GetSection();
    ASSERT_NE(fresh, old);
    EXPECT_EQ(b.GetSection(), old);
    EXPECT_EQ(old->GetRefCount(), 1u);
    EXPECT_EQ(old->GetLockCount(), 0u);
    EXPECT_TRUE(fresh->IsOwnedByCurrentThread());
    EXPECT_EQ(fresh->GetLockCount(), 2u);
    a.Leave();
    a.Leave();
    EXPECT_EQ(fresh->GetLockCount(), 0u);

    // Without holds the new section starts free; a handle without a section cannot resize.
    ASSERT_TRUE(b.Realloc(CPMEM_UNSHARE));
    EXPECT_EQ(b.GetSection(), old);  // b was the only holder: the block stays
    CPMemoryCS empty;
    EXPECT_FALSE(empty.Realloc(16));
    EXPECT_TRUE(b.Realloc(0));
    EXPECT_EQ(b.GetSection(), nullptr);
}

TEST_F(MemoryBlocks, CopiesOfAGuardedBlockShareOneSection) {
    CPMemoryCS a;
    ASSERT_TRUE(a.Alloc(8));
    RunOnThreads(kThreads, [&](int) {
        for (int i = 0; i < 2000; ++i) {
            CPMemoryCS copy(a);
            CPMemoryCS assigned;
            assigned = copy;
        }
    });
    EXPECT_EQ(a.GetRefCnt(), 1);
    EXPECT_EQ(a.GetSection()->GetRefCount(), 1u);
    CPMemoryCS b;
    b = a;
    EXPECT_EQ(b.GetSection(), a.GetSection());
    b = b;
    EXPECT_EQ(a.GetSection()->GetRefCount(), 2u);
    EXPECT_TRUE(b.Free());
    EXPECT_EQ(b.GetSection(), nullptr);
    EXPECT_EQ(a.GetSection()->GetRefCount(), 1u);
}

// ---- Chunk storage.

std::string ChunkClaiming(const char* name, DWORD claimedSize, const std::string& present) {
    return Le32(GetHashID(name)) + Le32(claimedSize) + present;
}

TEST_F(MemoryBlocks, SavesItsBytesAsOneChunk) {
    CPMemory block;
    ASSERT_TRUE(block.Alloc(5));
    Fill(block, "hello");
    RecordingArchive image;
    ASSERT_TRUE(block.DynaSave("Data", image));
    EXPECT_EQ(image.Bytes(), Le32(GetHashID("Data")) + Le32(5) + "hello");
    EXPECT_EQ(image.Log(), (std::vector<std::string>{"open Data w -> 0", "write 5", "close 0"}));

    CPMemory empty;  // an empty block is an empty chunk
    RecordingArchive emptyImage;
    ASSERT_TRUE(empty.DynaSave("Data", emptyImage));
    EXPECT_EQ(emptyImage.Bytes(), Le32(GetHashID("Data")) + Le32(0));

    block.SetFlags(CPMEM_READONLY);  // saving only reads
    RecordingArchive again;
    EXPECT_TRUE(block.DynaSave("Data", again));
    EXPECT_EQ(again.Bytes(), image.Bytes());
}

TEST_F(MemoryBlocks, LoadsWithExtraRoom) {
    const std::string chunk = ChunkBytes("Data", "0123456789");
    CPMemory block;
    RecordingArchive minusTwo(chunk);
    ASSERT_TRUE(block.DynaLoad("Data", minusTwo, -2));
    EXPECT_EQ(minusTwo.Log(),
              (std::vector<std::string>{"open Data r -> 0", "read 10 -> 10", "close 0"}));
    EXPECT_EQ(block.GetSize(), 12u);
    EXPECT_EQ(Contents(block).substr(0, 10), "0123456789");
    EXPECT_EQ(block.GetRefCnt(), 1);
    EXPECT_EQ(minusTwo.OpenLayers(), 0u);

    RecordingArchive atLeast(chunk);
    ASSERT_TRUE(block.DynaLoad("Data", atLeast, 16));
    EXPECT_EQ(block.GetSize(), 16u);
    EXPECT_EQ(Contents(block), std::string("0123456789") + std::string(6, '\0'));

    RecordingArchive smallExtra(chunk);
    ASSERT_TRUE(block.DynaLoad("Data", smallExtra, 4));
    EXPECT_EQ(Contents(block), "0123456789");

    RecordingArchive empty(ChunkBytes("Data", ""));
    EXPECT_TRUE(block.DynaLoad("Data", empty));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);
}

TEST_F(MemoryBlocks, LargePayloadsLoadCompletely) {
    std::string payload(3u << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 131 % 251);
    CPMemory block;
    RecordingArchive image(ChunkBytes("Big", payload));
    ASSERT_TRUE(block.DynaLoad("Big", image, -8));
    EXPECT_EQ(block.GetSize(), payload.size() + 8);
    EXPECT_EQ(Contents(block), payload + std::string(8, '\0'));
}

TEST_F(MemoryBlocks, DamagedOrMissingChunksFailCleanly) {
    const HeapGrowth pool(qzo::memory::MemPool());
    CPMemory block;

    RecordingArchive missing(ChunkBytes("Other", "abc"));
    ASSERT_TRUE(block.Alloc(4));
    EXPECT_FALSE(block.DynaLoad("Data", missing));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);  // the old block is gone all the same

    RecordingArchive shortChunk(ChunkClaiming("Data", 10, "abcd"));
    EXPECT_FALSE(block.DynaLoad("Data", shortChunk));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);
    EXPECT_EQ(shortChunk.OpenLayers(), 0u);

    // A size word claiming far more than the archive holds costs no giant allocation.
    RecordingArchive huge(ChunkClaiming("Data", 0x7FFFFFF0u, "abcdefgh"));
    EXPECT_FALSE(block.DynaLoad("Data", huge));
    EXPECT_EQ(block.GetCDataPtr(), nullptr);

    // Payload plus reserve beyond what a 32-bit size can hold.
    RecordingArchive wraps(ChunkClaiming("Data", 0xFFFFFFF0u, "abcdefgh"));
    EXPECT_FALSE(block.DynaLoad("Data", wraps, -64));
    RecordingArchive wrapsExtra(ChunkClaiming("Data", 0x80000010u, "abcdefgh"));
    EXPECT_FALSE(block.DynaLoad("Data", wrapsExtra, INT_MIN));
    EXPECT_EQ(pool.Blocks(), 0);
}

TEST_F(MemoryBlocks, ReadsIntoTheExistingBlock) {
    const std::string chunk = ChunkBytes("Data", "0123456789");
    CPMemory small;
    ASSERT_TRUE(small.Alloc(4));
    RecordingArchive first(chunk);
    ASSERT_TRUE(small.DynaRead("Data", first));
    EXPECT_EQ(Contents(small), "0123");

    CPMemory large;
    ASSERT_TRUE(large.Alloc(12));
    Fill(large, "############");
    RecordingArchive second(chunk);
    ASSERT_TRUE(large.DynaRead("Data", second));
    EXPECT_EQ(Contents(large), "0123456789##");

    CPMemory empty;
    RecordingArchive third(chunk);
    EXPECT_TRUE(empty.DynaRead("Data", third));
    EXPECT_EQ(third.OpenLayers(), 0u);

    RecordingArchive damaged(ChunkClaiming("Data", 10, "0123"));
    EXPECT_FALSE(large.DynaRead("Data", damaged));
    RecordingArchive missing(chunk);
    EXPECT_FALSE(large.DynaRead("Other", missing));

    ScopedDebugOutput debug(true);
    DebugCapture capture;
    large.SetFlags(CPMEM_READONLY);
    RecordingArchive readOnly(chunk);
    EXPECT_FALSE(large.DynaRead("Data", readOnly));
    EXPECT_TRUE(capture.Contains("Attempt to write-access cast READONLY memory."));
}

// ---- Properties.

const GUID kColourID = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(MemoryBlocks, PropertyIsValidWithTypeAndData) {
    CPProperty property;
    property.SetPropertyID(0x6, kColourID);
    EXPECT_EQ(property.GetPropertyType(), 0x6u);
    EXPECT_EQ(property.GetPropertyID(), kColourID);
    EXPECT_FALSE(property.IsValid());  // a type without data
    ASSERT_TRUE(property.Alloc(4));
    EXPECT_TRUE(property.IsValid());
    property.SetPropertyID(0, kColourID);
    EXPECT_FALSE(property.IsValid());  // data without a type

    ASSERT_TRUE(property.Free());
    property.SetPropertyID(0x6, kColourID);
    property.Construct();  // as for a handle living in raw memory
    EXPECT_EQ(property.GetPropertyType(), 0u);
    EXPECT_EQ(property.GetPropertyID(), GUID{});
}

TEST_F(MemoryBlocks, PropertyFamilyMembershipNeedsEveryBitOfTheMask) {
    CPProperty property(0x6, kColourID);
    EXPECT_TRUE(property.IsFamilyMember(0x2));
    EXPECT_TRUE(property.IsFamilyMember(0x4));
    EXPECT_TRUE(property.IsFamilyMember(0x6));
    EXPECT_FALSE(property.IsFamilyMember(0x3));
    EXPECT_FALSE(property.IsFamilyMember(0x8));
    EXPECT_TRUE(property.IsFamilyMember(0));
    EXPECT_TRUE(CPProperty().IsFamilyMember(0));
}

TEST_F(MemoryBlocks, PropertyBlocksComeFromPropertyPool) {
    const HeapGrowth properties(qzo::memory::PropertyPool());
    const HeapGrowth pool(qzo::memory::MemPool());
    {
        CPProperty property(1, kColourID);
        ASSERT_TRUE(property.Alloc(10));
        EXPECT_EQ(property.GetAllocSize(), 32u);
        EXPECT_EQ(properties.Blocks(), 1);
        EXPECT_EQ(pool.Blocks(), 0);
        ASSERT_TRUE(property.Realloc(CPMEM_UNSHARE));
        CPProperty copy(property);
        ASSERT_TRUE(copy.Realloc(CPMEM_UNSHARE));
        EXPECT_EQ(properties.Blocks(), 2);
    }
    EXPECT_EQ(properties.Blocks(), 0);
}

TEST_F(MemoryBlocks, PropertyCopiesShareTheBlockAndCarryTheLabel) {
    CPProperty property(0x6, kColourID);
    ASSERT_TRUE(property.Alloc(8));
    Fill(property, "colour!!");
    CPProperty copy(property);
    EXPECT_EQ(copy.GetCDataPtr(), property.GetCDataPtr());
    EXPECT_EQ(copy.GetPropertyType(), 0x6u);
    EXPECT_EQ(copy.GetPropertyID(), kColourID);
    EXPECT_EQ(property.GetRefCnt(), 2);

    CPProperty assigned(0x1, GUID{});
    assigned = property;
    assigned = assigned;
    EXPECT_EQ(assigned.GetPropertyType(), 0x6u);
    EXPECT_EQ(assigned.GetPropertyID(), kColourID);
    EXPECT_EQ(property.GetRefCnt(), 3);
    EXPECT_TRUE(assigned.IsValid());
}

TEST_F(MemoryBlocks, PropertyStoreAndLoadTheirDataAsOneChunk) {
    CPProperty property(0x6, kColourID);
    ASSERT_TRUE(property.Alloc(6));
    Fill(property, "purple");
    RecordingArchive image;
    ASSERT_TRUE(property.DynaSave("Colour", image));
    EXPECT_EQ(image.Bytes(), Le32(GetHashID("Colour")) + Le32(6) + "purple");

    const HeapGrowth properties(qzo::memory::PropertyPool());
    CPProperty loaded(0x2, kColourID);
    RecordingArchive reader(image.Bytes());
    ASSERT_TRUE(loaded.DynaLoad("Colour", reader, -2));
    EXPECT_EQ(loaded.GetSize(), 8u);
    EXPECT_EQ(Contents(loaded), std::string("purple\0\0", 8));
    EXPECT_EQ(loaded.GetPropertyType(), 0x2u);  // the label is not stored with the data
    EXPECT_EQ(properties.Blocks(), 1);
    EXPECT_FALSE(static_cast<const CPMemory&>(loaded) == static_cast<const CPMemory&>(property));
    ASSERT_TRUE(loaded.SetSize(6));
    EXPECT_TRUE(static_cast<const CPMemory&>(loaded) == static_cast<const CPMemory&>(property));
}

// ---- CPMemoryFile: access rules, growth in steps of 4096, zeroed gaps, copies as snapshots

class MemoryFile : public QzoTest {
  protected:
    static std::string Content(const CPMemoryFile& file) {
        const char* data = static_cast<const char*>(file.GetCDataPtr());
        return data ? std::string(data, file.GetSize()) : std::string();
    }
};

TEST_F(MemoryFile, AccessRulesOfOpeningReadingWritingAndSeeking) {
    CPMemoryFile file;
    EXPECT_FALSE(file.Open(GENERIC_READ));  // no block yet
    EXPECT_EQ(file.GetAccess(), 0u);
    ASSERT_TRUE(file.Open(GENERIC_WRITE | 0x1234));
    EXPECT_EQ(file.GetAccess(), GENERIC_WRITE);  // only the two direction bits
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_GE(file.GetAllocSize(), 4096u);
    ASSERT_EQ(file.Write("hello", 5), 5u);
    EXPECT_EQ(file.Read(nullptr, 5), 0u);
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, 5), 0u);  // write-only
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(file.GetAccess(), 0u);
    EXPECT_FALSE(file.SetFilePtr(0, FILE_BEGIN));
    EXPECT_EQ(file.Write("x", 1), 0u);

    ASSERT_TRUE(file.Open(GENERIC_READ));
    EXPECT_EQ(file.GetFilePtr(), 0u);
    EXPECT_EQ(file.Read(buffer, 8), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(file.Read(buffer, 8), 0u);         // at the end
    EXPECT_FALSE(file.SetFilePtr(1, FILE_END));  // readers stay inside
    EXPECT_TRUE(file.SetFilePtr(-2, FILE_END));
    EXPECT_EQ(file.Read(buffer, 8), 2u);
    EXPECT_FALSE(file.SetFilePtr(-6, FILE_CURRENT));
    EXPECT_FALSE(file.SetFilePtr(0, 7));

    ASSERT_TRUE(file.Open(GENERIC_WRITE));  // content starts over
    EXPECT_EQ(file.GetSize(), 0u);
    // Positions that do not fit are refused without wrapping.
    ASSERT_EQ(file.Write("abcd", 4), 4u);
    ASSERT_TRUE(file.SetFilePtr(2, FILE_BEGIN));
    EXPECT_FALSE(file.SetFilePtr(-3, FILE_CURRENT));  // before the start
    EXPECT_FALSE(file.SetFilePtr(-5, FILE_END));
    EXPECT_EQ(file.GetFilePtr(), 2u);
    // An absolute position is unsigned; a capacity behind 0xFFFFFFF0 cannot be described.
    EXPECT_FALSE(file.SetFilePtr(static_cast<LONG>(0xFFFFFFF0u), FILE_BEGIN));
    EXPECT_FALSE(file.SetFilePtr(-1, FILE_BEGIN));
    EXPECT_EQ(file.GetFilePtr(), 2u);
    EXPECT_EQ(file.GetSize(), 4u);
    EXPECT_EQ(file.Write("x", 0), 0u);
    EXPECT_EQ(file.Write(nullptr, 1), 0u);
}

TEST_F(MemoryFile, GrowsInStepsAndGapsReadAsZeros) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    std::string bytes(10000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
    for (size_t at = 0; at < bytes.size(); at += 100)
        ASSERT_EQ(file.Write(bytes.data() + at, 100), 100u);
    EXPECT_EQ(file.GetSize(), 10000u);
    EXPECT_EQ(file.GetFilePtr(), 10000u);
    EXPECT_GE(file.GetAllocSize(), 12288u);  // (10000 rounded down to 4096) + 4096
    EXPECT_LT(file.GetAllocSize(), 12288u + 64);
    EXPECT_TRUE(Content(file) == bytes);
    // Overwriting inside keeps the length.
    ASSERT_TRUE(file.SetFilePtr(10, FILE_BEGIN));
    ASSERT_EQ(file.Write("xy", 2), 2u);
    EXPECT_EQ(file.GetSize(), 10000u);
    // Gaps behind the end read as zeros.
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    // Leave stale bytes in the heap: the fresh block of the next open may reuse them.
    std::string junk(3000, '\xAA');
    ASSERT_EQ(file.Write(junk.data(), 3000), 3000u);
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write("ab", 2), 2u);
    // Within the capacity a writer's seek extends the content at once...
    ASSERT_TRUE(file.SetFilePtr(100, FILE_BEGIN));
    EXPECT_EQ(file.GetSize(), 100u);
    ASSERT_EQ(file.Write("c", 1), 1u);
    // ...beyond it only the pointer moves, and the next write fills the gap.
    ASSERT_TRUE(file.SetFilePtr(9000, FILE_END));
    EXPECT_EQ(file.GetSize(), 101u);
    EXPECT_EQ(file.GetFilePtr(), 9101u);
    ASSERT_EQ(file.Write("d", 1), 1u);
    const std::string content = Content(file);
    ASSERT_EQ(content.size(), 9102u);
    EXPECT_EQ(content.substr(0, 2), "ab");
    EXPECT_EQ(content.substr(2, 98), std::string(98, '\0'));
    EXPECT_EQ(content[100], 'c');
    EXPECT_EQ(content.substr(101, 9000), std::string(9000, '\0'));
    EXPECT_EQ(content[9101], 'd');
}

TEST_F(MemoryFile, CopiesAreSnapshots) {
    CPMemoryFile file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));
    ASSERT_EQ(file.Write("first", 5), 5u);
    CPMemoryFile copy(file);
    EXPECT_EQ(copy.GetAccess(), GENERIC_WRITE);
    EXPECT_EQ(copy.GetFilePtr(), 5u);
    EXPECT_EQ(file.GetRefCnt(), 2);
    ASSERT_EQ(file.Write("+more", 5), 5u);  // unshares first
    EXPECT_EQ(file.GetRefCnt(), 1);
    EXPECT_EQ(Content(copy), "first");
    EXPECT_EQ(Content(file), "first+more");
    // The copy writes into its own block too.
    ASSERT_EQ(copy.Write("!", 1), 1u);
    EXPECT_EQ(Content(copy), "first!");
    EXPECT_EQ(Content(file), "first+more");

    CPMemoryFile assigned;
    assigned = file;
    ASSERT_TRUE(file.Open(GENERIC_WRITE));  // a fresh block: the assigned copy keeps the old
    EXPECT_EQ(Content(assigned), "first+more");
    // A plain memory block does not share with a memory file.
    CPMemory plain;
    plain = file;
    EXPECT_EQ(plain.GetRefCnt(), 0);
}

}  // namespace
}  // namespace qzo::test
