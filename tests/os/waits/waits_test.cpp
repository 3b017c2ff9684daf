// Waiting, at each layer once: the platform's kernel objects own the semantics (handles, names,
// events, semaphores, waits on several objects); the wait object classes add default names,
// spurious-signal checks, warnings and handle ownership; the platform's in-process primitives
// under the locks keep their owner, limits and deadlines.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/os/wait_time.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/tick_offset.h"
#include "qzobj/waitobj.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"
#include "support/stopwatch.h"
#include "support/text.h"
#include "support/wait_until.h"

namespace {

namespace platform = qzo::platform;
using platform::KernelHandle;
using qzo::test::Stopwatch;
using qzo::test::WaitUntil;

constexpr int kWaiters = 6;

// Starts `count` threads that each wait without limit and count the waits that succeed: on a
// kernel object, or through `wait`.
class Waiters {
  public:
    Waiters(int count, std::function<bool()> wait) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, wait] {
                if (wait()) ++woken_;
            });
    }
    Waiters(KernelHandle handle, int count)
        : Waiters(count,
                  [handle] { return platform::WaitForSingleObject(handle, INFINITE) == 0; }) {}
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
    const qzo::test::Stopwatch watch;
    platform::SetLastError(0);
    EXPECT_EQ(platform::WaitForMultipleObjects(65, events.handles.data(), false, INFINITE),
              platform::kWaitFailed);
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_LT(watch.Ms(), 1000);
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
    qzo::test::Stopwatch watch;
    EXPECT_EQ(platform::WaitForSingleObject(event.handle, 300), platform::kWaitTimeout);
    EXPECT_GE(watch.Ms(), 150);
    EXPECT_LE(watch.Ms(), 450);
    EventSet events(3);
    watch.Restart();
    EXPECT_EQ(platform::WaitForMultipleObjects(3, events.handles.data(), true, 300),
              platform::kWaitTimeout);
    EXPECT_GE(watch.Ms(), 150);
    EXPECT_LE(watch.Ms(), 450);
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

// ---- Signals ---------------------------------------------------------------------------------

std::atomic<int> g_signals{0};
void CountSignal(int) {
    ++g_signals;
}

// Signals interrupt a sleeping wait (no SA_RESTART: the wait sees EINTR); neither the kernel
// objects' wait nor the in-process semaphore's may end early or run past its deadline.
TEST(Waits, SignalsToTheWaitingThreadNeitherEndNorStretchTheWait) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = &CountSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    Closer event{platform::CreateEvent(false, false, nullptr)};
    platform::Semaphore semaphore(0, 1);
    struct Row {
        const char* name;
        std::function<bool()> timesOut;  // a 400 ms wait
        long atLeastMs;
    };
    const Row rows[] = {
        {"kernel event",
         [&] { return platform::WaitForSingleObject(event.handle, 400) == platform::kWaitTimeout; },
         200},
        {"in-process semaphore", [&] { return !semaphore.Wait(400); }, 390},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        g_signals = 0;
        std::atomic<bool> done{false}, timedOut{false};
        std::atomic<long> elapsed{0};
        std::thread waiter([&] {
            const Stopwatch watch;
            timedOut = row.timesOut();
            elapsed = long(watch.Ms());
            done = true;
        });
        for (int i = 0; i < 10 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pthread_kill(waiter.native_handle(), SIGUSR2);
        }
        waiter.join();
        EXPECT_TRUE(timedOut.load());
        EXPECT_GE(elapsed.load(), row.atLeastMs);
        EXPECT_LT(elapsed.load(), 5000);
        EXPECT_GT(g_signals.load(), 0);
    }
    sigaction(SIGUSR2, &previous, nullptr);
}

// ---- The wait object classes ------------------------------------------------------------------

class WaitObjects : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        SetDebugMode(FALSE);
        platform::SetTickOffset(0);
        QzoTest::TearDown();
    }
};

// An event whose signals are spurious until `genuineAfter` of them were seen.
class SpuriousEvent : public COSEvent {
  public:
    SpuriousEvent(BOOL manualReset, DWORD genuineAfter)
        : COSEvent(nullptr, manualReset, FALSE, nullptr), genuineAfter_(genuineAfter) {}
    DWORD VerifyWaitSuccessful(DWORD result) override {
        lastResult = result;
        return ++calls > genuineAfter_ ? result : WAIT_TIMEOUT;
    }
    std::atomic<DWORD> calls{0};
    std::atomic<DWORD> lastResult{0xDEAD};

  private:
    const DWORD genuineAfter_;
};

constexpr DWORD kAlwaysSpurious = 0xFFFFFFFFu;

// A 400 ms wait that spurious signals must neither shorten nor stretch.
void ExpectFullTimeOut(COSEvent& event) {
    const Stopwatch watch;
    EXPECT_EQ(event.Wait(400), WAIT_TIMEOUT);
    EXPECT_GE(watch.Ms(), 200);
    EXPECT_LE(watch.Ms(), 600);
}

TEST_F(WaitObjects, DefaultNamesAreConsecutiveUniqueAcrossThreadsAndLeadToTheObject) {
    COSEvent first;
    COSEvent second;
    EXPECT_EQ(second.GetObjectNumber(), first.GetObjectNumber() + 1);
    EXPECT_EQ(qzo::test::Narrow(first.GetDefaultName()),
              "CNamedOSObject" + std::to_string(first.GetObjectNumber()));
    EXPECT_GE(CNamedOSObject::GetObjectCount(), second.GetObjectNumber());
    COSEvent opened(first.GetDefaultName(), FALSE);
    ASSERT_TRUE(opened.AssertValid());
    EXPECT_TRUE(opened.Set());
    EXPECT_EQ(second.Wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(first.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(opened.Wait(0), WAIT_TIMEOUT);  // auto-reset: the signal was taken once

    constexpr int kThreads = 8, kPerThread = 150;
    std::vector<std::unique_ptr<COSEvent>> events[kThreads];
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (auto& mine : events)
        threads.emplace_back([&go, &mine] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) mine.push_back(std::make_unique<COSEvent>());
        });
    go = true;
    for (auto& thread : threads) thread.join();
    std::set<std::u16string> names;
    std::set<DWORD> numbers;
    std::set<const void*> objects;
    for (auto& mine : events)
        for (auto& event : mine) {
            ASSERT_TRUE(event->AssertValid());
            names.insert(event->GetDefaultName());
            numbers.insert(event->GetObjectNumber());
            objects.insert(
                platform::ReferenceWaitable(platform::FromHandle(event->GetHandle())).get());
        }
    EXPECT_EQ(names.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(numbers.size(), size_t(kThreads * kPerThread));
    EXPECT_EQ(objects.size(), size_t(kThreads * kPerThread));
}

// Wait objects for the multiple-wait tests, auto-reset events.
struct EventArray {
    explicit EventArray(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            owned.push_back(std::make_unique<COSEvent>());
            pointers.push_back(owned.back().get());
        }
    }
    std::vector<std::unique_ptr<COSEvent>> owned;
    std::vector<COSObject*> pointers;
};

// Each refused wait fails at once with its error and, in debug mode, its warning.
TEST_F(WaitObjects, RefusedWaitsWarnAndFailAtOnce) {
    SetDebugMode(TRUE);
    EventArray many(65);
    COSEvent present;
    COSExtEvent absent;
    COSObject* withAbsent[2] = {&present, &absent};
    COSObject* withNull[2] = {&present, nullptr};
    struct Row {
        const char* name;
        std::function<DWORD()> wait;
        DWORD error;
        const char* warning;  // nullptr: none checked
    };
    const Row rows[] = {
        {"wait without object", [&] { return absent.Wait(INFINITE); },
         COSObject::ErrorObjectMissing, "ObjectWait: Object does not exist"},
        {"65 objects",
         [&] { return COSObject::WaitMultiple(65, many.pointers.data(), FALSE, INFINITE); },
         COSObject::ErrorTooManyObjects, "ObjectWaitMultiple: Too many objects"},
        {"65 objects, messages too",
         [&] { return COSObject::MsgWaitMultiple(65, many.pointers.data(), TRUE, INFINITE, 0xFF); },
         COSObject::ErrorTooManyObjects, "MsgObjectWaitMultiple: Too many objects"},
        {"absent object", [&] { return COSObject::WaitMultiple(2, withAbsent, FALSE, 0); },
         COSObject::ErrorObjectMissing, "ObjectWaitMultiple: Object(s) do(es) not exist"},
        {"null object", [&] { return COSObject::WaitMultiple(2, withNull, TRUE, 0); },
         COSObject::ErrorObjectMissing, "ObjectWaitMultiple: Object(s) do(es) not exist"},
        {"absent object, messages too",
         [&] { return COSObject::MsgWaitMultiple(2, withAbsent, FALSE, 0, 0); },
         COSObject::ErrorObjectMissing, "MsgObjectWaitMultiple: Object(s) do(es) not exist"},
        {"null array", [&] { return COSObject::WaitMultiple(2, nullptr, FALSE, 0); },
         ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qzo::test::DebugCapture capture;
        const Stopwatch watch;
        EXPECT_RESULT_WITH(row.wait(), WAIT_FAILED, row.error);
        EXPECT_LT(watch.Ms(), 1000);
        if (row.warning) {
            EXPECT_TRUE(capture.Contains(std::string("\r\nWarning: ") + row.warning + "\r\n"))
                << capture.Text();
        }
    }
    EXPECT_FALSE(absent.AssertValid());
    EXPECT_FALSE(absent.Set());
    EXPECT_FALSE(absent.Reset());
    EXPECT_FALSE(absent.Pulse());
}

TEST_F(WaitObjects, SixtyFourObjectsAreWaitedForAndReportTheirIndex) {
    EventArray events(64);
    events.owned[63]->Set();
    events.owned[40]->Set();
    EXPECT_EQ(COSObject::WaitMultiple(64, events.pointers.data(), FALSE, 0), WAIT_OBJECT_0 + 40);
    EXPECT_EQ(COSObject::MsgWaitMultiple(64, events.pointers.data(), FALSE, 0, 0xFF),
              WAIT_OBJECT_0 + 63);
}

TEST_F(WaitObjects, SpuriousSignalsNeitherShortenNorEndAWait) {
    {
        SCOPED_TRACE("manual-reset, signalled on every round");
        SpuriousEvent event(TRUE, kAlwaysSpurious);
        ASSERT_TRUE(event.Set());
        ExpectFullTimeOut(event);
        EXPECT_GT(event.calls.load(), 1u);
    }
    {
        SCOPED_TRACE("set again and again by another thread");
        SpuriousEvent event(FALSE, kAlwaysSpurious);
        std::atomic<bool> stop{false};
        std::thread signaller([&] {
            while (!stop.load()) {
                event.Set();
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        });
        ExpectFullTimeOut(event);
        stop = true;
        signaller.join();
        EXPECT_GT(event.calls.load(), 3u);
    }
    {
        SCOPED_TRACE("an infinite wait stays infinite");
        SpuriousEvent event(TRUE, 50);
        ASSERT_TRUE(event.Set());
        EXPECT_EQ(event.Wait(INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(event.calls.load(), 51u);
    }
}

TEST_F(WaitObjects, TimeOutsHoldAcrossTheTickWrap) {
    using qzo::os::RemainingTimeout;
    using qzo::os::TimeoutPassed;
    EXPECT_FALSE(TimeoutPassed(100, 0xFFFFFFF0u, 0x10u));  // 32 ms elapsed
    EXPECT_EQ(RemainingTimeout(100, 0xFFFFFFF0u, 0x10u), 68u);
    EXPECT_TRUE(TimeoutPassed(100, 0xFFFFFFF0u, 0x54u));
    EXPECT_EQ(RemainingTimeout(100, 0xFFFFFFF0u, 0x60u), 0u);
    EXPECT_FALSE(TimeoutPassed(INFINITE, 0x10u, 0x0Fu));
    EXPECT_EQ(RemainingTimeout(INFINITE, 0x10u, 0x0Fu), INFINITE);
    EXPECT_TRUE(TimeoutPassed(0, 5, 5));

    // Put the tick 100 ms before its wrap; a spurious wait runs across it.
    platform::SetTickOffset(0);
    platform::SetTickOffset(0xFFFFFFFFu - 100 - platform::GetTickCount());
    const DWORD before = platform::GetTickCount();
    ASSERT_GT(before, 0xFFFFFFFFu - 1000) << "GetTickCount does not apply the test offset";
    SpuriousEvent event(TRUE, kAlwaysSpurious);
    ASSERT_TRUE(event.Set());
    ExpectFullTimeOut(event);
    EXPECT_LT(platform::GetTickCount(), before);  // the tick wrapped meanwhile
}

TEST_F(WaitObjects, MultipleWaitAsksTheSignalledObjectAboutSpuriousSignals) {
    COSEvent quiet;
    SpuriousEvent noisy(FALSE, 1);  // the first signal is spurious, the second genuine
    COSObject* objects[2] = {&quiet, &noisy};
    std::thread setter([&] {
        for (int i = 0; i < 2; ++i) {
            WaitUntil([&] { return noisy.calls.load() >= DWORD(i); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            noisy.Set();
        }
    });
    EXPECT_EQ(COSObject::WaitMultiple(2, objects, FALSE, 10000), WAIT_OBJECT_0 + 1);
    setter.join();
    EXPECT_EQ(noisy.calls.load(), 2u);
    EXPECT_EQ(noisy.lastResult.load(), 1u);
}

TEST_F(WaitObjects, ExtEventOpensOnceAndKeepsItsHandle) {
    COSEvent source(nullptr, TRUE, FALSE, nullptr);
    COSEvent other(nullptr, TRUE, FALSE, nullptr);
    COSExtEvent event;
    EXPECT_FALSE(event.Open(nullptr));
    ASSERT_TRUE(event.Open(source.GetHandle()));
    const HANDLE held = event.GetHandle();
    EXPECT_NE(held, source.GetHandle());
    EXPECT_FALSE(event.Open(other.GetHandle()));
    EXPECT_EQ(event.GetHandle(), held);
    EXPECT_TRUE(event.Set());
    EXPECT_EQ(source.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(other.Wait(0), WAIT_TIMEOUT);
    EXPECT_TRUE(event.Close());
    EXPECT_FALSE(event.AssertValid());
    EXPECT_TRUE(event.Close());
    EXPECT_TRUE(event.Open(other.GetHandle()));
}

TEST_F(WaitObjects, DuplicatedEventOutlivesItsSource) {
    auto source = std::make_unique<COSEvent>();
    COSEvent duplicate(source->GetHandle());
    ASSERT_TRUE(duplicate.AssertValid());
    EXPECT_NE(duplicate.GetHandle(), source->GetHandle());
    source.reset();
    EXPECT_TRUE(duplicate.Set());
    EXPECT_EQ(duplicate.Wait(0), WAIT_OBJECT_0);
    COSEvent fromNothing(static_cast<HANDLE>(nullptr));
    EXPECT_FALSE(fromNothing.AssertValid());
    COSEvent fromForged(reinterpret_cast<HANDLE>(uintptr_t{12345}));
    EXPECT_FALSE(fromForged.AssertValid());
}

TEST_F(WaitObjects, NamedObjectsOpenOrFailToOpen) {
    COSEvent missing(u"WaitObjects.Missing", FALSE);
    EXPECT_FALSE(missing.AssertValid());
    EXPECT_EQ(missing.Wait(0), WAIT_FAILED);
    COSEvent created(u"WaitObjects.Named", TRUE);
    COSEvent again(u"WaitObjects.Named", TRUE);
    ASSERT_TRUE(created.AssertValid());
    ASSERT_TRUE(again.AssertValid());
    EXPECT_TRUE(again.Set());
    EXPECT_EQ(created.Wait(0), WAIT_OBJECT_0);
    COSEvent byDefault(nullptr, TRUE);  // created under its default name
    COSEvent opened(byDefault.GetDefaultName(), FALSE);
    EXPECT_TRUE(opened.AssertValid());

    // The default semaphore is binary; a second one of a name opens the first, arguments aside.
    COSSemaphore binary;
    EXPECT_EQ(binary.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(binary.Wait(0), WAIT_TIMEOUT);
    LONG previous = -1;
    EXPECT_TRUE(binary.Release(1, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_FAILS_WITH(binary.Release(1, &previous), ERROR_TOO_MANY_POSTS);
    COSSemaphore shared(2, 5, u"WaitObjects.Semaphore");
    COSSemaphore sameName(0, 9, u"WaitObjects.Semaphore");
    EXPECT_TRUE(sameName.Release(3, &previous));
    EXPECT_EQ(previous, 2);
    EXPECT_FALSE(shared.Release(1, nullptr));  // 5 of 5
    COSSemaphore invalid(3, 2, nullptr);
    EXPECT_FALSE(invalid.AssertValid());
    EXPECT_FALSE(invalid.Release(1, nullptr));
}

TEST_F(WaitObjects, ObjectsCloseTheirHandles) {
    const DWORD before = platform::OpenKernelHandleCount();
    {
        COSEvent event;
        COSSemaphore semaphore;
        COSExtEvent ext;
        ext.Open(event.GetHandle());
        COSEvent duplicate(event.GetHandle());
        EXPECT_EQ(platform::OpenKernelHandleCount(), before + 4);
    }
    EXPECT_EQ(platform::OpenKernelHandleCount(), before);
}

// ---- The platform's in-process primitives under the locks -------------------------------------

TEST(PlatformSync, RecursiveMutexKnowsItsOwnerAndRefusesOtherThreadsLeave) {
    using platform::CurrentThreadId;
    EXPECT_EQ(CurrentThreadId(), platform::GetCurrentThreadId());
    EXPECT_NE(CurrentThreadId(), 0u);
    platform::RecursiveMutex mutex(4000);
    EXPECT_EQ(mutex.Owner(), 0u);
    mutex.Enter();
    EXPECT_TRUE(mutex.TryEnter());
    EXPECT_EQ(mutex.RecursionCount(), 2u);
    EXPECT_EQ(mutex.Owner(), CurrentThreadId());
    bool otherLeave = true, otherTry = true;
    DWORD other = 0;
    std::thread([&] {
        other = CurrentThreadId();
        otherLeave = mutex.Leave();
        otherTry = mutex.TryEnter();
    }).join();
    EXPECT_FALSE(otherLeave);
    EXPECT_FALSE(otherTry);
    EXPECT_NE(other, CurrentThreadId());
    EXPECT_NE(other, 0u);
    EXPECT_EQ(mutex.Owner(), CurrentThreadId());
    EXPECT_TRUE(mutex.Leave());
    EXPECT_TRUE(mutex.Leave());
    EXPECT_EQ(mutex.Owner(), 0u);
    EXPECT_FALSE(mutex.Leave());
}

TEST(PlatformSync, RecursiveMutexExcludesUnderContention) {
    platform::RecursiveMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                mutex.Enter();
                mutex.Enter();
                ++counter;
                mutex.Leave();
                mutex.Leave();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 200000);
}

TEST(PlatformSync, SemaphoreKeepsItsMaximumAndWakesEveryWaiterItCovers) {
    platform::Semaphore semaphore(1, 2);
    LONG previous = -1;
    EXPECT_FALSE(semaphore.Release(2, &previous));
    EXPECT_EQ(previous, -1);
    EXPECT_EQ(semaphore.Count(), 1);
    EXPECT_FALSE(semaphore.Release(0));
    EXPECT_FALSE(semaphore.Release(-1));
    EXPECT_TRUE(semaphore.Release(1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(semaphore.Count(), 2);
    EXPECT_TRUE(semaphore.TryWait());
    EXPECT_TRUE(semaphore.Wait(0));
    EXPECT_FALSE(semaphore.TryWait());
    EXPECT_FALSE(semaphore.Wait(0));
    const Stopwatch watch;  // an empty semaphore's wait lasts its time
    EXPECT_FALSE(semaphore.Wait(200));
    EXPECT_GE(watch.Ms(), 190);
    EXPECT_LT(watch.Ms(), 5000);

    platform::Semaphore three(0, 3);
    {
        Waiters waiters(3, [&] { return three.Wait(INFINITE); });
        qzo::test::GiveTime();
        EXPECT_EQ(waiters.Woken(), 0);
        EXPECT_TRUE(three.Release(3));
        EXPECT_TRUE(WaitUntil([&] { return waiters.Woken() == 3; }));
    }
    EXPECT_EQ(three.Count(), 0);
}

TEST(PlatformSync, ManualResetEventReleasesAllUntilReset) {
    platform::ManualResetEvent event(false);
    EXPECT_FALSE(event.Wait(0));
    const Stopwatch watch;
    EXPECT_FALSE(event.Wait(100));
    EXPECT_GE(watch.Ms(), 95);
    {
        Waiters waiters(3, [&] { return event.Wait(INFINITE); });
        qzo::test::GiveTime();
        EXPECT_EQ(waiters.Woken(), 0);
        event.Set();
        EXPECT_TRUE(WaitUntil([&] { return waiters.Woken() == 3; }));
    }
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

}  // namespace
