// The locks: COSCriticalSection, COSAutoLock and CSharedCriticalSection (entry counts,
// contention reports between threads, Leave misuse, scope-lock addresses, the shared section's
// life) and COSRWInterlock across threads (write and read recursion, upgrades, the reader limit,
// misuse reports, and a randomised run checked against the lock's invariants).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "qzobj/os.h"
#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "qzobj/suitelibs/qzoplatu/address_info.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/text.h"
#include "support/wait_until.h"

namespace {

using qzo::platform::ManualResetEvent;
using qzo::test::DebugCapture;
using qzo::test::GiveTime;
using qzo::test::Hex8;
using qzo::test::WaitUntil;

// Debug output is switched on by many of these tests; it must not leak into the next.
class Locks : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        SetDebugMode(FALSE);
        QzoTest::TearDown();
    }
};
using RWInterlock = Locks;

// Two made-up code addresses that a test resolver names; every other address stays unknown.
char g_codeArea[64];
void* const kHolderAddress = &g_codeArea[8];
void* const kWaiterAddress = &g_codeArea[40];

BOOL ResolveTwoAddresses(const void* address, tagADDRESSINFO* info) {
    if (address != kHolderAddress && address != kWaiterAddress) return FALSE;
    info->uModuleBase = reinterpret_cast<uintptr_t>(g_codeArea);
    std::strcpy(info->szModule, "locks.so");
    std::strcpy(info->szFunction, address == kHolderAddress ? "Holder" : "Waiter");
    info->dwDisplacement = 2;
    return TRUE;
}

BOOL ResolveNothing(const void*, tagADDRESSINFO*) {
    return FALSE;
}

class ResolverScope {
  public:
    explicit ResolverScope(qzo::platu::AddressResolver resolver) {
        previous_ = qzo::platu::SetAddressResolver(resolver);
    }
    ~ResolverScope() { qzo::platu::SetAddressResolver(previous_); }

  private:
    qzo::platu::AddressResolver previous_;
};

// How many sections the sections' own heap holds now.
DWORD CSHeapCount() {
    DWORD count = 0;
    qzo::memory::CSHeap().GetHeapState(&count);
    return count;
}

// Whether another thread gets the section at once (leaving it again if so).
bool OtherThreadEnters(COSCriticalSection& section) {
    bool entered = false;
    std::thread([&] {
        entered = section.TryEnter();
        if (entered) section.Leave();
    }).join();
    return entered;
}

std::string NameOf(void* address) {
    WCHAR text[512];
    const int length = GetAddressInfoString(address, text, 512);
    return qzo::test::Narrow(std::u16string_view(text, size_t(length)));
}

class CriticalSection : public Locks {
  protected:
    // Messages of channel 3 as UTF-8, with their levels.
    static std::vector<std::pair<int, std::string>> Channel3(const DebugCapture& capture) {
        std::vector<std::pair<int, std::string>> found;
        for (const auto& message : capture.Messages())
            if (message.channel == 3) found.emplace_back(message.level, message.Utf8());
        return found;
    }

    // The one level-1 line a misuse of a section gives.
    static std::vector<std::pair<int, std::string>> OneWarning(const std::string& text) {
        return {{1, "\r\nCOSCriticalSection::" + text}};
    }

    // Starts a thread that holds `section` (entered with `address`) until `release` is set.
    // Returns once the section is held. The signal outlives this call: the holder may still be
    // inside Set when the wait here returns.
    std::thread StartHolder(COSCriticalSection& section, void* address, ManualResetEvent& release,
                            DWORD& holderId) {
        auto held = std::make_shared<ManualResetEvent>(false);
        std::thread holder([&section, address, &release, &holderId, held] {
            holderId = qzo::platform::GetCurrentThreadId();
            section.Enter(address);
            held->Set();
            release.Wait(INFINITE);
            section.Leave();
        });
        held->Wait(INFINITE);
        return holder;
    }

    struct Contention {
        std::vector<std::pair<int, std::string>> lines;
        std::string text;
        DWORD holderId = 0;
        DWORD waiterId = 0;
    };

    // With debug output on, lets a waiter run into a section a holder keeps; releases the holder
    // once `reportsWhileBlocked` messages arrived and returns channel 3's messages.
    Contention Contend(size_t reportsWhileBlocked) {
        SetDebugMode(TRUE);
        DebugCapture capture;
        COSCriticalSection section;
        ManualResetEvent release(false);
        Contention result;
        std::thread holder = StartHolder(section, kHolderAddress, release, result.holderId);
        std::atomic<bool> waiterIn{false};
        std::thread waiter([&] {
            result.waiterId = qzo::platform::GetCurrentThreadId();
            section.Enter(kWaiterAddress);
            waiterIn = true;
            EXPECT_EQ(section.GetOwner(), result.waiterId);
            EXPECT_EQ(section.GetEntryAddress(), kWaiterAddress);
            section.Leave();
        });
        EXPECT_TRUE(WaitUntil([&] { return capture.Count() >= reportsWhileBlocked; }));
        qzo::test::GiveTime();
        EXPECT_FALSE(waiterIn);
        release.Set();
        holder.join();
        waiter.join();
        result.lines = Channel3(capture);
        result.text = capture.Text();
        return result;
    }
};

TEST_F(CriticalSection, RecursiveEntriesAreCountedAndExcludeOtherThreads) {
    COSCriticalSection section;
    section.Enter();
    section.Enter();
    EXPECT_TRUE(section.TryEnter());
    EXPECT_EQ(section.GetLockCount(), 3u);
    EXPECT_EQ(section.GetOwner(), qzo::platform::GetCurrentThreadId());
    EXPECT_TRUE(section.IsOwnedByCurrentThread());

    EXPECT_FALSE(OtherThreadEnters(section));

    section.Leave();
    section.Leave();
    EXPECT_EQ(section.GetLockCount(), 1u);
    section.Leave();
    EXPECT_EQ(section.GetLockCount(), 0u);
    EXPECT_TRUE(OtherThreadEnters(section));

    // Deferred initialisation and a spin count give working sections too.
    COSCriticalSection deferred(TRUE);
    deferred.Init();
    EXPECT_TRUE(OtherThreadEnters(deferred));
    COSCriticalSection spinning(4000u);
    EXPECT_TRUE(spinning.TryEnter());
    EXPECT_FALSE(OtherThreadEnters(spinning));
    spinning.Leave();
}

TEST_F(CriticalSection, EntryAddressIsThatOfTheHoldingsFirstEnter) {
    COSCriticalSection section;
    section.Enter(kHolderAddress);
    section.Enter(kWaiterAddress);
    EXPECT_EQ(section.GetEntryAddress(), kHolderAddress);
    section.Leave();
    section.Leave();
    section.Enter(kWaiterAddress);
    EXPECT_EQ(section.GetEntryAddress(), kWaiterAddress);
    section.Leave();
}

TEST_F(CriticalSection, ContentionReportNamesHolderWaiterAndWait) {
    ResolverScope resolver(&ResolveTwoAddresses);
    const Contention run = Contend(4);
    const auto& lines = run.lines;
    const DWORD holderId = run.holderId, waiterId = run.waiterId;
    ASSERT_EQ(lines.size(), 5u) << run.text;
    for (const auto& line : lines) EXPECT_EQ(line.first, 5);
    EXPECT_EQ(lines[0].second, "\rCS [LockCnt=1] owned by " + Hex8(holderId) + " ");
    EXPECT_EQ(lines[1].second, "<< " + NameOf(kHolderAddress) + " >>\r\n");
    EXPECT_EQ(NameOf(kHolderAddress), "locks.so+0x8 Holder+0x2");
    EXPECT_EQ(lines[2].second, "is blocking thread " + Hex8(waiterId) + " ");
    EXPECT_EQ(lines[3].second, "<< " + NameOf(kWaiterAddress) + " >>\r\n");
    const std::string entered =
        "\r" + Hex8(waiterId) + " entered CS previously blocked by " + Hex8(holderId) + " after ";
    ASSERT_EQ(lines[4].second.compare(0, entered.size(), entered), 0) << lines[4].second;
    unsigned waited = 0;
    ASSERT_EQ(std::sscanf(lines[4].second.c_str() + entered.size(), "%u ms", &waited), 1);
    EXPECT_EQ(lines[4].second.substr(lines[4].second.size() - 3), " ms");
    EXPECT_GE(waited, 50u);
    EXPECT_LT(waited, 20000u);
}

TEST_F(CriticalSection, ContentionWithUnresolvedAddressesEndsTheLineWithCarriageReturn) {
    ResolverScope resolver(&ResolveNothing);
    const Contention run = Contend(3);
    const auto& lines = run.lines;
    const DWORD holderId = run.holderId, waiterId = run.waiterId;
    ASSERT_EQ(lines.size(), 4u) << run.text;
    EXPECT_EQ(lines[0].second, "\rCS [LockCnt=1] owned by " + Hex8(holderId) + " ");
    EXPECT_EQ(lines[1].second, "is blocking thread " + Hex8(waiterId) + " ");
    EXPECT_EQ(lines[2].second, "\r");
    EXPECT_NE(lines[3].second.find(" entered CS previously blocked by " + Hex8(holderId)),
              std::string::npos);
}

TEST_F(CriticalSection, NoReportsWithoutDebugOutputOrWithoutContention) {
    DebugCapture capture;
    COSCriticalSection section;
    ManualResetEvent release(false);
    DWORD holderId = 0;
    std::thread holder = StartHolder(section, kHolderAddress, release, holderId);
    std::thread waiter([&] {
        section.Enter();
        section.Leave();
    });
    qzo::test::GiveTime();
    release.Set();
    holder.join();
    waiter.join();

    SetDebugMode(TRUE);
    section.Enter();
    section.Enter();  // the thread's own holding is no contention
    section.Leave();
    section.Leave();
    EXPECT_EQ(capture.Count(), 0u) << capture.Text();
}

TEST_F(CriticalSection, LeaveWithoutEntryIsReportedAndChangesNothing) {
    DebugCapture capture;
    COSCriticalSection section;
    section.Leave();  // silent without debug output
    EXPECT_EQ(section.GetLockCount(), 0u);
    EXPECT_EQ(capture.Count(), 0u);

    SetDebugMode(TRUE);
    section.Leave();
    EXPECT_EQ(Channel3(capture), OneWarning("Leave: LockCnt==0 on leave, possible deadlock"));
    EXPECT_EQ(section.GetLockCount(), 0u);
    EXPECT_TRUE(OtherThreadEnters(section));
}

TEST_F(CriticalSection, LeaveByAnotherThreadIsReportedAndKeepsTheHolding) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    COSCriticalSection section;
    ManualResetEvent release(false);
    DWORD holderId = 0;
    std::thread holder = StartHolder(section, kHolderAddress, release, holderId);

    section.Leave();
    EXPECT_EQ(Channel3(capture), OneWarning("Leave: not owner"));
    EXPECT_EQ(section.GetLockCount(), 1u);
    EXPECT_EQ(section.GetOwner(), holderId);
    EXPECT_FALSE(section.TryEnter());

    release.Set();
    holder.join();
    EXPECT_EQ(section.GetLockCount(), 0u);
    EXPECT_TRUE(section.TryEnter());
    section.Leave();
}

TEST_F(CriticalSection, DestroyingAHeldSectionIsReported) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    {
        COSCriticalSection section;
        section.Enter();
    }
    EXPECT_EQ(Channel3(capture), OneWarning("~COSCriticalSection: LockCnt!=0, possible deadlock"));
}

[[gnu::noinline]] void* EntryAddressUnderScopeLock(COSCriticalSection& section) {
    COSAutoLock lock(section);
    EXPECT_EQ(section.GetLockCount(), 1u);
    return section.GetEntryAddress();
}

[[gnu::noinline]] void* EntryAddressOfPlainEnter(COSCriticalSection& section) {
    section.Enter();
    void* address = section.GetEntryAddress();
    section.Leave();
    return address;
}

// A code address lies inside `function` when it follows its start closely.
bool InsideFunction(void* address, void* function) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    const auto start = reinterpret_cast<uintptr_t>(function);
    return at > start && at < start + 1024;
}

TEST_F(CriticalSection, ScopeLockTagsTheEntryWithItsConstructingCode) {
    COSCriticalSection section;
    void* address = EntryAddressUnderScopeLock(section);
    EXPECT_TRUE(InsideFunction(address, reinterpret_cast<void*>(&EntryAddressUnderScopeLock)));
    EXPECT_EQ(section.GetLockCount(), 0u);

    address = EntryAddressOfPlainEnter(section);
    EXPECT_TRUE(InsideFunction(address, reinterpret_cast<void*>(&EntryAddressOfPlainEnter)));

    { COSAutoLock nothing(static_cast<COSCriticalSection*>(nullptr)); }
    EXPECT_EQ(section.GetLockCount(), 0u);
}

TEST_F(CriticalSection, SectionsMadeWithNewComeFromCSHeap) {
    const DWORD before = CSHeapCount();
    COSCriticalSection* section = new COSCriticalSection();
    ASSERT_NE(section, nullptr);
    EXPECT_EQ(CSHeapCount(), before + 1);
    section->Enter();
    section->Leave();
    delete section;
    EXPECT_EQ(CSHeapCount(), before);
}

TEST_F(CriticalSection, SharedSectionLivesUntilItsLastReference) {
    const DWORD before = CSHeapCount();
    CSharedCriticalSection* shared = CSharedCriticalSection::Create();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->GetRefCount(), 1u);
    EXPECT_EQ(shared->Lock(), 1);
    EXPECT_EQ(shared->GetRefCount(), 2u);
    shared->Enter();
    shared->Leave();
    shared->Destroy();
    EXPECT_EQ(shared->GetRefCount(), 1u);
    EXPECT_EQ(CSHeapCount(), before + 1);
    shared->Destroy();
    EXPECT_EQ(CSHeapCount(), before);
}

TEST_F(CriticalSection, SharedSectionReferencesChangeAtomicallyAcrossThreads) {
    const DWORD before = CSHeapCount();
    CSharedCriticalSection* shared = CSharedCriticalSection::Create();
    ASSERT_NE(shared, nullptr);
    std::vector<std::thread> holders;
    for (int t = 0; t < 4; ++t)
        holders.emplace_back([shared] {
            for (int i = 0; i < 100000; ++i) {
                shared->Lock();
                if (i % 1000 == 0) {
                    COSAutoLock hold(shared);
                }
                shared->Destroy();
            }
        });
    for (auto& holder : holders) holder.join();
    EXPECT_EQ(shared->GetRefCount(), 1u);
    shared->Destroy();
    EXPECT_EQ(CSHeapCount(), before);
}

// ---- COSRWInterlock ----------------------------------------------------------------------------

// A thread that takes a read lock, signals, and leaves when told.
class Reader {
  public:
    explicit Reader(COSRWInterlock& lock) : lock_(lock) {
        thread_ = std::thread([this] {
            lock_.EnterRead();
            holding_.Set();
            leave_.Wait(INFINITE);
            lock_.LeaveRead();
        });
        holding_.Wait(INFINITE);
    }
    ~Reader() { Leave(); }
    void Leave() {
        leave_.Set();
        if (thread_.joinable()) thread_.join();
    }

  private:
    COSRWInterlock& lock_;
    ManualResetEvent holding_{false};
    ManualResetEvent leave_{false};
    std::thread thread_;
};

// A thread that takes the write (or read) lock once and leaves it again; `entered` tells it got
// in.
class Contender {
  public:
    explicit Contender(COSRWInterlock& lock, bool write = true)
        : thread_([this, &lock, write] {
              write ? lock.EnterWrite() : lock.EnterRead();
              entered = true;
              write ? lock.LeaveWrite() : lock.LeaveRead();
          }) {}
    ~Contender() { Join(); }
    bool Join() {
        if (thread_.joinable()) thread_.join();
        return entered;
    }
    std::atomic<bool> entered{false};

  private:
    std::thread thread_;
};

TEST_F(RWInterlock, WriterRecursesAndReadsInsideItsWriteLock) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    COSRWInterlock lock;
    lock.EnterWrite();
    lock.EnterWrite();
    lock.EnterRead();
    EXPECT_EQ(lock.GetWriteCount(), 2u);
    EXPECT_EQ(lock.GetReadCount(), 0u);
    lock.LeaveRead();
    lock.LeaveWrite();
    EXPECT_EQ(lock.GetWriteCount(), 1u);
    lock.LeaveWrite();
    EXPECT_EQ(lock.GetWriteCount(), 0u);
    EXPECT_EQ(lock.GetWriter(), 0u);
    EXPECT_TRUE(Contender(lock).Join());
    EXPECT_EQ(capture.Count(), 0u) << capture.Text();
}

TEST_F(RWInterlock, LeavingWriteWithReadsPendingForgetsThem) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    {
        COSRWInterlock lock;
        lock.EnterWrite();
        lock.EnterRead();
        lock.EnterRead();
        lock.LeaveWrite();
        EXPECT_TRUE(capture.Contains(
            "\rCOSRWInterlock::LeaveWrite: Called while recursive reads pending\r\n"));
        // The forgotten reads hold nothing: another thread writes at once.
        EXPECT_TRUE(Contender(lock).Join());
    }
    EXPECT_FALSE(capture.Contains("WriteReadRecursion != 0")) << capture.Text();
}

TEST_F(RWInterlock, UnmatchedLeavesAreReported) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    COSRWInterlock lock;
    lock.LeaveWrite();
    EXPECT_TRUE(
        capture.Contains("\rCOSRWInterlock::LeaveWrite: Called without according lock\r\n"));
    capture.Clear();

    lock.EnterWrite();
    lock.LeaveRead();
    EXPECT_TRUE(capture.Contains(
        "\rCOSRWInterlock::LeaveRead (write-recursive): Called without according lock\r\n"));
    capture.Clear();
    // Another thread cannot release the writer's lock.
    std::thread([&] { lock.LeaveWrite(); }).join();
    EXPECT_TRUE(capture.Contains("Called without according lock"));
    EXPECT_EQ(lock.GetWriteCount(), 1u);
    lock.LeaveWrite();
}

TEST_F(RWInterlock, LeaveReadFromAThreadThatNeverEnteredKeepsTheReadersHold) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    COSRWInterlock lock;
    Reader reader(lock);
    lock.LeaveRead();
    EXPECT_TRUE(capture.Contains(
        "\rCOSRWInterlock::LeaveRead: Leave called for unregistered ThreadID\r\n"));
    EXPECT_EQ(lock.GetReadCount(), 1u);

    Contender writer(lock);
    GiveTime();
    EXPECT_FALSE(writer.entered);
    reader.Leave();
    EXPECT_TRUE(writer.Join());
}

TEST_F(RWInterlock, ReadLocksAreSharedAndExcludeWriters) {
    COSRWInterlock lock;
    auto first = std::make_unique<Reader>(lock);
    auto second = std::make_unique<Reader>(lock);
    EXPECT_EQ(lock.GetReadCount(), 2u);
    Contender writer(lock);
    ASSERT_TRUE(WaitUntil([&] { return lock.GetWaitingWriters() == 1; }));
    first.reset();
    GiveTime();
    EXPECT_FALSE(writer.entered);
    second.reset();
    EXPECT_TRUE(writer.Join());
    EXPECT_EQ(lock.GetReadCount(), 0u);
}

TEST_F(RWInterlock, RegisteredReaderRecursesPastAWaitingWriterWhileNewReadersWait) {
    COSRWInterlock lock;
    lock.EnterRead();
    std::atomic<bool> writing{false};
    std::thread writer([&] {
        lock.EnterWrite();
        writing = true;
        GiveTime();
        writing = false;
        lock.LeaveWrite();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.GetWaitingWriters() == 1; }));

    lock.EnterRead();  // must not wait for the writer
    EXPECT_EQ(lock.GetThreadReadCount(), 2u);
    std::atomic<bool> newReaderIn{false}, newReaderSawWriter{false};
    std::thread newReader([&] {
        lock.EnterRead();
        newReaderIn = true;
        newReaderSawWriter = writing.load();
        lock.LeaveRead();
    });
    GiveTime();
    EXPECT_FALSE(newReaderIn);
    lock.LeaveRead();
    lock.LeaveRead();
    writer.join();
    newReader.join();
    EXPECT_TRUE(newReaderIn);
    EXPECT_FALSE(newReaderSawWriter);
}

TEST_F(RWInterlock, ReaderUpgradesOnceOtherReadersLeaveAndKeepsItsReadLock) {
    COSRWInterlock lock;
    auto other = std::make_unique<Reader>(lock);
    ManualResetEvent wrote(false), leaveRead(false);
    std::atomic<bool> writing{false};
    std::atomic<DWORD> readsAfterWrite{0};
    std::thread upgrader([&] {
        lock.EnterRead();
        lock.EnterWrite();
        writing = true;
        lock.LeaveWrite();
        readsAfterWrite = lock.GetThreadReadCount();
        wrote.Set();
        leaveRead.Wait(INFINITE);
        lock.LeaveRead();
    });
    ASSERT_TRUE(WaitUntil([&] { return lock.GetWaitingWriters() == 1; }));
    GiveTime();
    EXPECT_FALSE(writing);
    other.reset();
    ASSERT_TRUE(wrote.Wait(20000));
    EXPECT_EQ(readsAfterWrite.load(), 1u);

    // Still a reader: a writer waits for it.
    Contender writer(lock);
    ASSERT_TRUE(WaitUntil([&] { return lock.GetWaitingWriters() == 1; }));
    GiveTime();
    EXPECT_FALSE(writer.entered);
    leaveRead.Set();
    upgrader.join();
    EXPECT_TRUE(writer.Join());
}

TEST_F(RWInterlock, OfTwoUpgradingReadersTheSecondFollowsAfterTheFirstLeavesEntirely) {
    COSRWInterlock lock;
    std::mutex order;
    std::vector<std::string> events;
    auto note = [&](const std::string& event) {
        std::lock_guard<std::mutex> hold(order);
        events.push_back(event);
    };
    ManualResetEvent bothReading(false),
        leaveRead[2] = {ManualResetEvent(false), ManualResetEvent(false)};
    std::atomic<int> readers{0}, writers{0}, leftWrite{0};
    std::atomic<int> firstWriter{-1};
    auto body = [&](int id) {
        lock.EnterRead();
        if (++readers == 2) bothReading.Set();
        bothReading.Wait(INFINITE);
        lock.EnterWrite();
        int expected = -1;
        firstWriter.compare_exchange_strong(expected, id);
        EXPECT_EQ(++writers, 1);
        note("write " + std::to_string(id));
        GiveTime();
        --writers;
        lock.LeaveWrite();
        ++leftWrite;
        note("left write " + std::to_string(id));
        leaveRead[id].Wait(INFINITE);
        note("leave read " + std::to_string(id));
        lock.LeaveRead();
    };
    std::thread a(body, 0), b(body, 1);
    ASSERT_TRUE(WaitUntil([&] { return leftWrite.load() == 1; }));
    const int first = firstWriter.load();
    const int second = 1 - first;
    GiveTime();
    EXPECT_EQ(leftWrite.load(), 1);  // the second waits for the first's read lock to go
    leaveRead[first].Set();
    ASSERT_TRUE(WaitUntil([&] { return leftWrite.load() == 2; }));
    leaveRead[second].Set();
    a.join();
    b.join();
    const std::vector<std::string> expected = {
        "write " + std::to_string(first),       "left write " + std::to_string(first),
        "leave read " + std::to_string(first),  "write " + std::to_string(second),
        "left write " + std::to_string(second), "leave read " + std::to_string(second)};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(lock.GetReadCount(), 0u);
    EXPECT_EQ(lock.GetWaitingWriters(), 0u);
}

TEST_F(RWInterlock, TheThirtyThirdReaderWaitsForASlot) {
    COSRWInterlock lock;
    std::vector<std::unique_ptr<Reader>> readers;
    for (int i = 0; i < COSRWInterlock::kMaxReaders; ++i)
        readers.push_back(std::make_unique<Reader>(lock));
    EXPECT_EQ(lock.GetReadCount(), 32u);
    Contender last(lock, false);
    GiveTime();
    EXPECT_FALSE(last.entered);
    readers.front().reset();
    EXPECT_TRUE(last.Join());
    readers.clear();
    EXPECT_EQ(lock.GetReadCount(), 0u);
}

TEST_F(RWInterlock, ScopeLocksEnterAndLeave) {
    COSRWInterlock lock;
    {
        COSRWRAutoLock read(lock);
        EXPECT_EQ(lock.GetReadCount(), 1u);
    }
    EXPECT_EQ(lock.GetReadCount(), 0u);
    {
        COSRWWAutoLock write(&lock);
        EXPECT_EQ(lock.GetWriteCount(), 1u);
    }
    EXPECT_EQ(lock.GetWriteCount(), 0u);
}

TEST_F(RWInterlock, DestroyingAHeldInterlockIsReported) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    {
        COSRWInterlock lock;
        lock.EnterWrite();
        lock.EnterRead();
    }
    EXPECT_EQ(capture.Text(0),
              "\rCOSRWInterlock::~COSRWInterlock: uWrite != 0\r\n"
              "\rCOSRWInterlock::~COSRWInterlock: WriteReadRecursion != 0\r\n");
    capture.Clear();
    {
        COSRWInterlock lock;
        lock.EnterRead();
    }
    EXPECT_EQ(capture.Text(0), "\rCOSRWInterlock::~COSRWInterlock: uRead != 0\r\n");
}

// ---- randomised run --------------------------------------------------------------------------

// Watches what each thread believes it holds. A thread that reads "actively" is one whose read
// lock is not parked in an upgrade request.
class InvariantChecker {
  public:
    explicit InvariantChecker(int threads) : reading_(threads, false), writing_(threads, false) {}

    void BeginWrite(int thread) {
        std::lock_guard<std::mutex> hold(mutex_);
        for (size_t other = 0; other < writing_.size(); ++other)
            if (static_cast<int>(other) != thread && (writing_[other] || reading_[other]))
                ++violations_;
        writing_[thread] = true;
    }
    void EndWrite(int thread) {
        std::lock_guard<std::mutex> hold(mutex_);
        writing_[thread] = false;
    }
    void SetReading(int thread, bool reading) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (reading)
            for (size_t other = 0; other < writing_.size(); ++other)
                if (static_cast<int>(other) != thread && writing_[other]) ++violations_;
        reading_[thread] = reading;
    }
    int Violations() const { return violations_; }

  private:
    std::mutex mutex_;
    std::vector<bool> reading_;
    std::vector<bool> writing_;
    int violations_ = 0;
};

struct RandomWorker {
    COSRWInterlock& lock;
    InvariantChecker& checker;
    std::atomic<long>& shared;  // changed by writers only, with a plain load and store
    long& writes;
    int id;

    enum Held { kRead, kWrite };

    void Run(unsigned seed, int operations) {
        std::mt19937 random(seed);
        std::vector<Held> stack;
        int readDepth = 0, writeDepth = 0;
        for (int op = 0; op < operations; ++op) {
            const bool push = stack.empty() || (stack.size() < 4 && random() % 2 == 0);
            if (push) {
                if (random() % 3 == 0)
                    EnterWrite(stack, readDepth, writeDepth);
                else
                    EnterRead(stack, readDepth, writeDepth);
            } else {
                Leave(stack, readDepth, writeDepth);
            }
            // Yielding while holding widens the windows in which other threads collide.
            if (random() % 4 == 0) qzo::platform::YieldProcessor();
        }
        while (!stack.empty()) Leave(stack, readDepth, writeDepth);
    }

    void EnterWrite(std::vector<Held>& stack, int readDepth, int& writeDepth) {
        if (writeDepth == 0 && readDepth > 0) checker.SetReading(id, false);  // parked
        lock.EnterWrite();
        if (writeDepth++ == 0) checker.BeginWrite(id);
        shared.store(shared.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        ++writes;
        stack.push_back(kWrite);
    }
    void EnterRead(std::vector<Held>& stack, int& readDepth, int writeDepth) {
        lock.EnterRead();
        if (readDepth++ == 0 && writeDepth == 0) checker.SetReading(id, true);
        stack.push_back(kRead);
    }
    void Leave(std::vector<Held>& stack, int& readDepth, int& writeDepth) {
        const Held top = stack.back();
        stack.pop_back();
        if (top == kWrite) {
            if (--writeDepth == 0) checker.EndWrite(id);
            lock.LeaveWrite();
            if (writeDepth == 0 && readDepth > 0) checker.SetReading(id, true);
        } else {
            if (--readDepth == 0 && writeDepth == 0) checker.SetReading(id, false);
            lock.LeaveRead();
        }
    }
};

TEST_F(RWInterlock, RandomisedRunKeepsWritersAlone) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    COSRWInterlock lock;
    constexpr int kThreads = 4;
    constexpr int kOperations = 5000;
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    InvariantChecker checker(kThreads);
    std::atomic<long> shared{0};
    std::vector<long> writes(kThreads, 0);
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            RandomWorker worker{lock, checker, shared, writes[t], t};
            worker.Run(seed + static_cast<unsigned>(t), kOperations);
            ++finished;
        });
    // A deadlock cannot be joined; report the state and stop the program instead of hanging.
    if (!WaitUntil([&] { return finished.load() == kThreads; }, std::chrono::seconds(120))) {
        ADD_FAILURE() << "deadlock: " << finished.load() << " of " << kThreads
                      << " threads finished; uRead=" << lock.GetReadCount()
                      << " uWrite=" << lock.GetWriteCount()
                      << " waiting writers=" << lock.GetWaitingWriters();
        std::fflush(nullptr);
        std::_Exit(3);
    }
    for (auto& thread : threads) thread.join();

    long total = 0;
    for (long count : writes) total += count;
    EXPECT_EQ(checker.Violations(), 0);
    EXPECT_EQ(shared.load(), total);
    EXPECT_GT(total, 0);
    EXPECT_EQ(lock.GetReadCount(), 0u);
    EXPECT_EQ(lock.GetWriteCount(), 0u);
    EXPECT_EQ(lock.GetWaitingWriters(), 0u);
    EXPECT_FALSE(capture.Contains("COSRWInterlock")) << capture.Text();
}

}  // namespace
