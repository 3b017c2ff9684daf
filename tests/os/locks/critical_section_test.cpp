// COSCriticalSection, COSAutoLock and CSharedCriticalSection: entry counts, contention reports
// between threads, Leave misuse, scope-lock addresses and the shared section's life.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
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
#include "support/wait_until.h"

namespace {

using qzo::platform::ManualResetEvent;
using qzo::test::DebugCapture;
using qzo::test::WaitUntil;

std::string Hex8(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

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
    std::string narrow;
    for (int i = 0; i < length; ++i) narrow += static_cast<char>(text[i]);
    return narrow;
}

class CriticalSection : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        SetDebugMode(FALSE);
        QzoTest::TearDown();
    }

    // Messages of channel 3 as UTF-8, with their levels.
    static std::vector<std::pair<int, std::string>> Channel3(const DebugCapture& capture) {
        std::vector<std::pair<int, std::string>> found;
        for (const auto& message : capture.Messages())
            if (message.channel == 3) found.emplace_back(message.level, message.Utf8());
        return found;
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
    const auto lines = Channel3(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, 1);
    EXPECT_EQ(lines[0].second,
              "\r\nCOSCriticalSection::Leave: LockCnt==0 on leave, possible deadlock");
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
    const auto lines = Channel3(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, 1);
    EXPECT_EQ(lines[0].second, "\r\nCOSCriticalSection::Leave: not owner");
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
    const auto lines = Channel3(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, 1);
    EXPECT_EQ(lines[0].second,
              "\r\nCOSCriticalSection::~COSCriticalSection: LockCnt!=0, possible deadlock");
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

}  // namespace
