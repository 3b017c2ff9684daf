// Memory blocks across threads: counted sharing under contention, exactly one release, and
// the critical section that travels with a CPMemoryCS block, also through Realloc.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "memory/memblock/block_test_support.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/os.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

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

using MemoryBlockThreads = QzoTest;

TEST_F(MemoryBlockThreads, AMillionCopiesAndDropsOnFourThreads) {
    CHeap& pool = qzo::memory::MemPool();
    const DWORD baseline = LiveBlocks(pool);
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
        EXPECT_EQ(LiveBlocks(pool), baseline + 1);
    }
    EXPECT_EQ(LiveBlocks(pool), baseline);
}

TEST_F(MemoryBlockThreads, TheLastHandleOnAnyThreadReleasesOnce) {
    CHeap& pool = qzo::memory::MemPool();
    const DWORD baseline = LiveBlocks(pool);
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
    EXPECT_EQ(LiveBlocks(pool), baseline);
}

TEST_F(MemoryBlockThreads, SharedSectionExcludesHoldersOnAllThreads) {
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

TEST_F(MemoryBlockThreads, ReallocInPlaceKeepsTheSharedSection) {
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

TEST_F(MemoryBlockThreads, ReallocToANewBlockCarriesTheCallersHolds) {
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

TEST_F(MemoryBlockThreads, CopiesOfAGuardedBlockShareOneSection) {
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

}  // namespace
}  // namespace qzo::test
