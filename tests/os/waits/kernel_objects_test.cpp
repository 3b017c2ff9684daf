// The platform's kernel objects: handle generations and kinds, names, events with several
// waiters, pulses, semaphores, and waits on several objects (lowest index, all or nothing).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/last_error.h"
#include "os/waits/waits_util.h"

namespace {

namespace platform = qzo::platform;
using platform::KernelHandle;
using qzo::test::ElapsedMs;
using qzo::test::WaitUntil;
using Clock = std::chrono::steady_clock;

constexpr int kWaiters = 6;

// Starts `count` threads that each wait on `handle` without limit and count their returns.
class Waiters {
  public:
    Waiters(KernelHandle handle, int count) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, handle] {
                if (platform::WaitForSingleObject(handle, INFINITE) == 0) ++woken_;
            });
    }
    ~Waiters() {
        for (auto& thread : threads_) thread.join();
    }
    int Woken() const { return woken_.load(); }

  private:
    std::atomic<int> woken_{0};
    std::vector<std::thread> threads_;
};

// Closes a handle at the end of a scope.
struct Closer {
    KernelHandle handle;
    ~Closer() {
        if (handle) platform::CloseKernelHandle(handle);
    }
};

bool AllWaiting(KernelHandle handle, DWORD count) {
    return WaitUntil([&] { return platform::WaitingThreadCount(handle) == count; });
}

TEST(KernelHandles, ClosedForgedAndWrongKindHandlesFailWithInvalidHandle) {
    const KernelHandle event = platform::CreateEvent(false, false, nullptr);
    ASSERT_NE(event, 0u);
    ASSERT_TRUE(platform::CloseKernelHandle(event));

    EXPECT_FAILS_WITH(platform::SetEvent(event), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(platform::CloseKernelHandle(event));
    EXPECT_RESULT_WITH(platform::WaitForSingleObject(event, 0), platform::kWaitFailed,
                       ERROR_INVALID_HANDLE);

    // Later objects never bring the closed handle back to life.
    std::vector<KernelHandle> later;
    for (int i = 0; i < 300; ++i) later.push_back(platform::CreateEvent(false, false, nullptr));
    for (KernelHandle handle : later) EXPECT_NE(handle, event);
    EXPECT_FALSE(platform::SetEvent(event));
    for (KernelHandle handle : later) EXPECT_TRUE(platform::CloseKernelHandle(handle));

    // Small integers and all-ones are never handles.
    for (KernelHandle forged : {0u, 1u, 2u, 3u, 4u, 64u, 0xFFFFFu, 0xFFFFFFFFu}) {
        platform::SetLastError(0);
        EXPECT_EQ(platform::WaitForSingleObject(forged, 0), platform::kWaitFailed) << forged;
        EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);
    }

    Closer semaphore{platform::CreateSemaphore(1, 1, nullptr)};
    Closer manual{platform::CreateEvent(true, false, nullptr)};
    EXPECT_FAILS_WITH(platform::SetEvent(semaphore.handle), ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(platform::ReleaseSemaphore(manual.handle, 1, nullptr), ERROR_INVALID_HANDLE);
}

TEST(KernelHandles, DuplicateKeepsTheObjectAfterTheOriginalCloses) {
    const DWORD before = platform::OpenKernelHandleCount();
    const KernelHandle original = platform::CreateEvent(true, false, nullptr);
    const KernelHandle duplicate = platform::DuplicateKernelHandle(original);
    ASSERT_NE(duplicate, 0u);
    EXPECT_NE(duplicate, original);
    EXPECT_EQ(platform::OpenKernelHandleCount(), before + 2);
    ASSERT_TRUE(platform::CloseKernelHandle(original));
    EXPECT_TRUE(platform::SetEvent(duplicate));
    EXPECT_EQ(platform::WaitForSingleObject(duplicate, 0), 0u);
    EXPECT_TRUE(platform::CloseKernelHandle(duplicate));
    EXPECT_EQ(platform::OpenKernelHandleCount(), before);
    EXPECT_RESULT_WITH(platform::DuplicateKernelHandle(original), 0u, ERROR_INVALID_HANDLE);
}

TEST(KernelNames, SecondCreateOpensTheSameObjectAndNamesDieWithTheirObject) {
    const char16_t* name = u"KernelNames.Shared";
    Closer first{platform::CreateEvent(false, false, name)};
    ASSERT_NE(first.handle, 0u);
    EXPECT_EQ(platform::GetLastError(), ERROR_SUCCESS);
    Closer second{platform::CreateEvent(true, true, name)};  // arguments ignored: it exists
    ASSERT_NE(second.handle, 0u);
    EXPECT_EQ(platform::GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(platform::WaitForSingleObject(second.handle, 0), platform::kWaitTimeout);
    Closer opened{platform::OpenEvent(name)};
    ASSERT_NE(opened.handle, 0u);
    EXPECT_TRUE(platform::SetEvent(opened.handle));  // full rights
    EXPECT_EQ(platform::WaitForSingleObject(first.handle, 0), 0u);
    EXPECT_EQ(platform::WaitForSingleObject(second.handle, 0), platform::kWaitTimeout);  // auto

    for (Closer* closer : {&first, &second, &opened}) {
        platform::CloseKernelHandle(closer->handle);
        closer->handle = 0;
    }
    EXPECT_RESULT_WITH(platform::OpenEvent(name), 0u, ERROR_FILE_NOT_FOUND);
}

TEST(KernelNames, KindsLengthsAndMissingNamesAreRefused) {
    Closer semaphore{platform::CreateSemaphore(0, 1, u"KernelNames.Semaphore")};
    ASSERT_NE(semaphore.handle, 0u);
    EXPECT_RESULT_WITH(platform::OpenEvent(u"KernelNames.Semaphore"), 0u, ERROR_INVALID_HANDLE);
    EXPECT_RESULT_WITH(platform::CreateEvent(false, false, u"KernelNames.Semaphore"), 0u,
                       ERROR_INVALID_HANDLE);
    Closer opened{platform::OpenSemaphore(u"KernelNames.Semaphore")};
    EXPECT_NE(opened.handle, 0u);

    EXPECT_RESULT_WITH(platform::OpenEvent(u"KernelNames.Missing"), 0u, ERROR_FILE_NOT_FOUND);
    EXPECT_RESULT_WITH(platform::OpenEvent(nullptr), 0u, ERROR_INVALID_PARAMETER);
    EXPECT_RESULT_WITH(platform::OpenEvent(u""), 0u, ERROR_INVALID_PARAMETER);

    const std::u16string longest(platform::kMaximumObjectName, u'n');
    Closer fits{platform::CreateEvent(false, false, longest.c_str())};
    EXPECT_NE(fits.handle, 0u);
    const std::u16string tooLong = longest + u"n";
    EXPECT_RESULT_WITH(platform::CreateEvent(false, false, tooLong.c_str()), 0u,
                       ERROR_FILENAME_EXCED_RANGE);
    EXPECT_RESULT_WITH(platform::OpenEvent(tooLong.c_str()), 0u, ERROR_FILENAME_EXCED_RANGE);

    // Empty names make separate, unnamed objects.
    Closer unnamedA{platform::CreateEvent(true, false, u"")};
    Closer unnamedB{platform::CreateEvent(true, false, u"")};
    EXPECT_EQ(platform::GetLastError(), ERROR_SUCCESS);
    platform::SetEvent(unnamedA.handle);
    EXPECT_EQ(platform::WaitForSingleObject(unnamedB.handle, 0), platform::kWaitTimeout);
}

// Auto-reset events release one waiter per signal, manual-reset events every waiter; a pulse
// leaves the event unsignalled and is lost when nobody waits.
TEST(KernelEvents, SetAndPulseReleaseOneOrEveryWaiter) {
    struct Case {
        const char* what;
        bool manualReset;
        bool pulse;
        int woken;
        bool staysSet;
    };
    for (const Case& c : {Case{"auto-reset set", false, false, 1, false},
                          Case{"manual-reset set", true, false, kWaiters, true},
                          Case{"manual-reset pulse", true, true, kWaiters, false},
                          Case{"auto-reset pulse", false, true, 1, false}}) {
        SCOPED_TRACE(c.what);
        Closer event{platform::CreateEvent(c.manualReset, false, nullptr)};
        if (c.pulse) {
            ASSERT_TRUE(platform::PulseEvent(event.handle));  // nobody waits: lost
            EXPECT_EQ(platform::WaitForSingleObject(event.handle, 0), platform::kWaitTimeout);
        }
        Waiters waiters(event.handle, kWaiters);
        ASSERT_TRUE(AllWaiting(event.handle, kWaiters));
        ASSERT_TRUE(c.pulse ? platform::PulseEvent(event.handle)
                            : platform::SetEvent(event.handle));
        ASSERT_TRUE(WaitUntil([&] { return waiters.Woken() == c.woken; }));
        qzo::test::GiveTime();
        EXPECT_EQ(waiters.Woken(), c.woken);
        EXPECT_EQ(platform::WaitingThreadCount(event.handle), DWORD(kWaiters - c.woken));
        EXPECT_EQ(platform::WaitForSingleObject(event.handle, 0),
                  c.staysSet ? 0u : platform::kWaitTimeout);
        if (c.staysSet) {
            ASSERT_TRUE(platform::ResetEvent(event.handle));
            EXPECT_EQ(platform::WaitForSingleObject(event.handle, 0), platform::kWaitTimeout);
        }
        for (int i = c.woken; i < kWaiters; ++i) platform::SetEvent(event.handle);
        ASSERT_TRUE(WaitUntil([&] { return waiters.Woken() == kWaiters; }));
        EXPECT_EQ(platform::WaitForSingleObject(event.handle, 0), platform::kWaitTimeout);
    }
}

TEST(KernelSemaphores, TheMaximumHoldsAndReleasesWakeThatManyWaiters) {
    Closer semaphore{platform::CreateSemaphore(0, 3, nullptr)};
    ASSERT_NE(semaphore.handle, 0u);
    LONG previous = -1;
    EXPECT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 2, &previous));
    EXPECT_EQ(previous, 0);
    previous = -1;
    EXPECT_FAILS_WITH(platform::ReleaseSemaphore(semaphore.handle, 2, &previous),
                      platform::kErrorTooManyPosts);
    EXPECT_EQ(previous, -1);
    EXPECT_FAILS_WITH(platform::ReleaseSemaphore(semaphore.handle, 0x7FFFFFFF, nullptr),
                      platform::kErrorTooManyPosts);
    EXPECT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 1, &previous));
    EXPECT_EQ(previous, 2);  // the refused releases changed nothing
    EXPECT_FAILS_WITH(platform::ReleaseSemaphore(semaphore.handle, 0, nullptr),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(platform::ReleaseSemaphore(semaphore.handle, -1, nullptr),
                      ERROR_INVALID_PARAMETER);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(platform::WaitForSingleObject(semaphore.handle, 0), 0u);
    EXPECT_EQ(platform::WaitForSingleObject(semaphore.handle, 0), platform::kWaitTimeout);

    Waiters waiters(semaphore.handle, 5);
    ASSERT_TRUE(AllWaiting(semaphore.handle, 5));
    ASSERT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 3, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return waiters.Woken() == 3; }));
    qzo::test::GiveTime();
    EXPECT_EQ(waiters.Woken(), 3);
    ASSERT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 2, &previous));
    EXPECT_EQ(previous, 0);
}

TEST(KernelSemaphores, BadCreationArgumentsAreRefused) {
    for (auto [initial, maximum] : {std::pair{2, 1}, {0, 0}, {-1, 1}, {0, -5}}) {
        EXPECT_RESULT_WITH(platform::CreateSemaphore(initial, maximum, nullptr), 0u,
                           ERROR_INVALID_PARAMETER);
    }
}

// Events 0..count-1, auto-reset unless told otherwise, closed at the end.
struct EventSet {
    explicit EventSet(int count, bool manualReset = false) {
        for (int i = 0; i < count; ++i)
            handles.push_back(platform::CreateEvent(manualReset, false, nullptr));
    }
    ~EventSet() {
        for (KernelHandle handle : handles) platform::CloseKernelHandle(handle);
    }
    DWORD WaitAny(DWORD milliseconds) const {
        return platform::WaitForMultipleObjects(DWORD(handles.size()), handles.data(), false,
                                                milliseconds);
    }
    std::vector<KernelHandle> handles;
};

TEST(KernelWaits, WaitAnyTakesTheLowestSignalledIndexOnly) {
    EventSet events(5);
    platform::SetEvent(events.handles[3]);
    platform::SetEvent(events.handles[1]);
    EXPECT_EQ(events.WaitAny(0), 1u);
    EXPECT_EQ(events.WaitAny(0), 3u);  // index 3 kept its signal
    EXPECT_EQ(events.WaitAny(0), platform::kWaitTimeout);
}

TEST(KernelWaits, WaitAllTakesEverySignalTogetherOrNone) {
    Closer semaphore{platform::CreateSemaphore(0, 10, nullptr)};
    Closer gate{platform::CreateEvent(false, false, nullptr)};
    const KernelHandle both[2] = {semaphore.handle, gate.handle};
    EXPECT_EQ(platform::WaitForMultipleObjects(2, both, true, 0), platform::kWaitTimeout);

    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] { result = platform::WaitForMultipleObjects(2, both, true, INFINITE); });
    ASSERT_TRUE(AllWaiting(gate.handle, 1));
    ASSERT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 1, nullptr));
    qzo::test::GiveTime();
    EXPECT_EQ(result.load(), 0xDEADu);  // half of what it needs: it takes nothing
    LONG previous = -1;
    ASSERT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 1, &previous));
    EXPECT_EQ(previous, 1);
    ASSERT_TRUE(platform::SetEvent(gate.handle));
    waiter.join();
    EXPECT_EQ(result.load(), 0u);
    ASSERT_TRUE(platform::ReleaseSemaphore(semaphore.handle, 1, &previous));
    EXPECT_EQ(previous, 1);  // exactly one unit went with the event
    EXPECT_EQ(platform::WaitForSingleObject(gate.handle, 0), platform::kWaitTimeout);
}

TEST(KernelWaits, WaitAllNeverSplitsSignalsBetweenCompetingWaiters) {
    // Two threads wait for all of {A, B}; each round sets both once. If a wait took A and B at
    // different instants, the two waiters could each take one and deadlock until the time-out.
    EventSet events(2);
    constexpr int kRounds = 200;
    std::atomic<int> satisfied{0}, timedOut{0};
    auto worker = [&] {
        for (;;) {
            const DWORD result =
                platform::WaitForMultipleObjects(2, events.handles.data(), true, 2000);
            if (result == platform::kWaitTimeout) {
                ++timedOut;
                return;
            }
            if (++satisfied >= kRounds) return;
        }
    };
    std::thread first(worker), second(worker);
    for (int round = 0; round < kRounds + 1; ++round) {
        platform::SetEvent(events.handles[1]);
        platform::SetEvent(events.handles[0]);
        WaitUntil([&] { return satisfied.load() > round || timedOut.load() > 0; });
    }
    first.join();
    second.join();
    EXPECT_GE(satisfied.load(), kRounds);
    EXPECT_LE(timedOut.load(), 1);  // only the last waiter, once no rounds are left
}

TEST(KernelWaits, SixtyFourObjectsAreAcceptedAndSixtyFiveRefused) {
    EventSet events(65);
    platform::SetEvent(events.handles[63]);
    EXPECT_EQ(platform::WaitForMultipleObjects(64, events.handles.data(), false, 0), 63u);
    const auto start = Clock::now();
    platform::SetLastError(0);
    EXPECT_EQ(platform::WaitForMultipleObjects(65, events.handles.data(), false, INFINITE),
              platform::kWaitFailed);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(platform::WaitForMultipleObjects(0, events.handles.data(), false, 0),
              platform::kWaitFailed);
    EXPECT_RESULT_WITH(platform::WaitForMultipleObjects(2, nullptr, false, 0),
                       platform::kWaitFailed, ERROR_INVALID_PARAMETER);
}

TEST(KernelWaits, AnObjectTwiceIsRefusedForAllAndAllowedForAny) {
    EventSet events(1, true);
    platform::SetEvent(events.handles[0]);
    const KernelHandle twice[2] = {events.handles[0], events.handles[0]};
    EXPECT_RESULT_WITH(platform::WaitForMultipleObjects(2, twice, true, 0), platform::kWaitFailed,
                       ERROR_INVALID_PARAMETER);
    EXPECT_EQ(platform::WaitForMultipleObjects(2, twice, false, 0), 0u);
}

TEST(KernelWaits, TimeOutsLastAboutTheirLength) {
    Closer event{platform::CreateEvent(false, false, nullptr)};
    auto start = Clock::now();
    EXPECT_EQ(platform::WaitForSingleObject(event.handle, 300), platform::kWaitTimeout);
    EXPECT_GE(ElapsedMs(start), 150);
    EXPECT_LE(ElapsedMs(start), 450);
    EventSet events(3);
    start = Clock::now();
    EXPECT_EQ(platform::WaitForMultipleObjects(3, events.handles.data(), true, 300),
              platform::kWaitTimeout);
    EXPECT_GE(ElapsedMs(start), 150);
    EXPECT_LE(ElapsedMs(start), 450);
}

void IgnoreSignal(int) {}

TEST(KernelWaits, SignalsToTheWaitingThreadDoNotEndTheWait) {
    struct sigaction action {
    }, previous{};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: interrupted calls see EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    Closer event{platform::CreateEvent(false, false, nullptr)};
    std::atomic<DWORD> result{0xDEAD};
    std::atomic<long> elapsed{0};
    std::thread waiter([&] {
        const auto start = Clock::now();
        result = platform::WaitForSingleObject(event.handle, 400);
        elapsed = ElapsedMs(start);
    });
    ASSERT_TRUE(AllWaiting(event.handle, 1));
    for (int i = 0; i < 5; ++i) {
        pthread_kill(waiter.native_handle(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    waiter.join();
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_EQ(result.load(), platform::kWaitTimeout);
    EXPECT_GE(elapsed.load(), 200);
}

TEST(KernelWaits, ClosingAHandleDuringAWaitKeepsTheObjectForTheWaiter) {
    const KernelHandle original = platform::CreateEvent(false, false, nullptr);
    Closer other{platform::DuplicateKernelHandle(original)};
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] { result = platform::WaitForSingleObject(original, 5000); });
    ASSERT_TRUE(AllWaiting(other.handle, 1));
    ASSERT_TRUE(platform::CloseKernelHandle(original));
    ASSERT_TRUE(platform::SetEvent(other.handle));
    waiter.join();
    EXPECT_EQ(result.load(), 0u);
}

// A waitable of another kind, as threads will be: it stays signalled once opened and may report
// itself abandoned.
class TestLatch : public platform::Waitable {
  public:
    TestLatch() : Waitable(platform::WaitableKind::Thread) {}
    bool IsSignalled() const override { return open_; }
    bool TakeSignal() override { return abandoned_; }
    void Open(bool abandoned) {
        platform::KernelWaitLock lock;
        open_ = true;
        abandoned_ = abandoned;
        ReleaseWaiters();
    }

  private:
    bool open_ = false;  // guarded by the wait lock
    bool abandoned_ = false;
};

TEST(KernelWaitables, FurtherKindsPlugInBehindTheInterface) {
    auto latch = std::make_shared<TestLatch>();
    Closer latchHandle{platform::InsertWaitable(latch)};
    ASSERT_NE(latchHandle.handle, 0u);
    EXPECT_EQ(platform::ReferenceWaitable(latchHandle.handle, platform::WaitableKind::Thread),
              latch);
    EXPECT_EQ(platform::ReferenceWaitable(latchHandle.handle, platform::WaitableKind::Event),
              nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(platform::SetEvent(latchHandle.handle));
    EXPECT_EQ(platform::InsertWaitable(nullptr), 0u);

    Closer event{platform::CreateEvent(false, false, nullptr)};
    const KernelHandle both[2] = {event.handle, latchHandle.handle};
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter(
        [&] { result = platform::WaitForMultipleObjects(2, both, false, INFINITE); });
    ASSERT_TRUE(AllWaiting(latchHandle.handle, 1));
    latch->Open(false);
    waiter.join();
    EXPECT_EQ(result.load(), 1u);
    EXPECT_EQ(platform::WaitForSingleObject(latchHandle.handle, 0), 0u);  // stays signalled
}

TEST(KernelWaitables, AbandonedObjectsReportOneHundredTwentyEightPlusIndex) {
    auto latch = std::make_shared<TestLatch>();
    Closer latchHandle{platform::InsertWaitable(latch)};
    Closer manual{platform::CreateEvent(true, true, nullptr)};
    latch->Open(true);
    const KernelHandle both[2] = {manual.handle, latchHandle.handle};
    EXPECT_EQ(platform::WaitForMultipleObjects(2, both, true, 0), platform::kWaitAbandoned0 + 1);
    EXPECT_EQ(platform::WaitForMultipleObjects(1, both + 1, false, 0), platform::kWaitAbandoned0);
    EXPECT_EQ(platform::WaitForMultipleObjects(2, both, false, 0), 0u);  // the event comes first
}

}  // namespace
