// The wait object classes: default names from many threads, spurious signals that last the
// whole time-out (also across the tick wrap), the object limits of the multiple waits with their
// warnings, and events and semaphores through COSEvent, COSExtEvent and COSSemaphore.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/os/wait_time.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/tick_offset.h"
#include "qzobj/waitobj.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "os/waits/waits_util.h"

namespace {

namespace platform = qzo::platform;
using qzo::test::ElapsedMs;
using qzo::test::WaitUntil;
using Clock = std::chrono::steady_clock;

class WaitObjects : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        SetDebugMode(FALSE);
        platform::SetTickOffset(0);
        QzoTest::TearDown();
    }
};

std::string Utf8(const WCHAR* text) {
    std::string out;
    for (; *text; ++text) out += static_cast<char>(*text);
    return out;
}

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
    const auto start = Clock::now();
    EXPECT_EQ(event.Wait(400), WAIT_TIMEOUT);
    const long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 200);
    EXPECT_LE(elapsed, 600);
}

TEST_F(WaitObjects, DefaultNamesAreConsecutiveAndLeadToTheObject) {
    COSEvent first;
    COSEvent second;
    EXPECT_EQ(second.GetObjectNumber(), first.GetObjectNumber() + 1);
    EXPECT_EQ(Utf8(first.GetDefaultName()),
              "CNamedOSObject" + std::to_string(first.GetObjectNumber()));
    EXPECT_GE(CNamedOSObject::GetObjectCount(), second.GetObjectNumber());

    COSEvent opened(first.GetDefaultName(), FALSE);
    ASSERT_TRUE(opened.AssertValid());
    EXPECT_TRUE(opened.Set());
    EXPECT_EQ(second.Wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(first.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(opened.Wait(0), WAIT_TIMEOUT);  // auto-reset: the signal was taken once
}

TEST_F(WaitObjects, EightThreadsGetUniqueDefaultNamesAndSeparateEvents) {
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

TEST_F(WaitObjects, WaitWithoutObjectWarnsAndFails) {
    SetDebugMode(TRUE);
    qzo::test::DebugCapture capture;
    COSExtEvent event;
    EXPECT_FALSE(event.AssertValid());
    EXPECT_RESULT_WITH(event.Wait(INFINITE), WAIT_FAILED, COSObject::ErrorObjectMissing);
    EXPECT_TRUE(capture.Contains("\r\nWarning: ObjectWait: Object does not exist\r\n"))
        << capture.Text();
    EXPECT_FALSE(event.Set());
    EXPECT_FALSE(event.Reset());
    EXPECT_FALSE(event.Pulse());
}

TEST_F(WaitObjects, AlwaysSpuriousWaitLastsTheTimeOut) {
    SpuriousEvent event(TRUE, kAlwaysSpurious);
    ASSERT_TRUE(event.Set());  // manual-reset: signalled on every round
    ExpectFullTimeOut(event);
    EXPECT_GT(event.calls.load(), 1u);
}

TEST_F(WaitObjects, SpuriousSignalsFromAnotherThreadDoNotShortenTheWait) {
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

TEST_F(WaitObjects, InfiniteWaitStaysInfiniteThroughSpuriousSignals) {
    SpuriousEvent event(TRUE, 50);
    ASSERT_TRUE(event.Set());
    EXPECT_EQ(event.Wait(INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(event.calls.load(), 51u);
}

TEST_F(WaitObjects, TimeOutArithmeticHoldsAcrossTheTickWrap) {
    using qzo::os::RemainingTimeout;
    using qzo::os::TimeoutPassed;
    EXPECT_FALSE(TimeoutPassed(100, 0xFFFFFFF0u, 0x10u));  // 32 ms elapsed
    EXPECT_EQ(RemainingTimeout(100, 0xFFFFFFF0u, 0x10u), 68u);
    EXPECT_TRUE(TimeoutPassed(100, 0xFFFFFFF0u, 0x54u));
    EXPECT_EQ(RemainingTimeout(100, 0xFFFFFFF0u, 0x60u), 0u);
    EXPECT_FALSE(TimeoutPassed(INFINITE, 0x10u, 0x0Fu));
    EXPECT_EQ(RemainingTimeout(INFINITE, 0x10u, 0x0Fu), INFINITE);
    EXPECT_TRUE(TimeoutPassed(0, 5, 5));
}

TEST_F(WaitObjects, SpuriousWaitCrossingTheTickWrapLastsTheTimeOut) {
    // Put the tick 100 ms before its wrap; the wait runs across it.
    platform::SetTickOffset(0);
    platform::SetTickOffset(0xFFFFFFFFu - 100 - platform::GetTickCount());
    const DWORD before = platform::GetTickCount();
    ASSERT_GT(before, 0xFFFFFFFFu - 1000) << "GetTickCount does not apply the test offset";
    SpuriousEvent event(TRUE, kAlwaysSpurious);
    ASSERT_TRUE(event.Set());
    ExpectFullTimeOut(event);
    EXPECT_LT(platform::GetTickCount(), before);  // the tick wrapped meanwhile
}

// Wait objects for the multiple-wait tests, auto-reset events unless told otherwise.
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

TEST_F(WaitObjects, SixtyFiveObjectsAreRefusedWithoutWaiting) {
    SetDebugMode(TRUE);
    EventArray events(65);
    qzo::test::DebugCapture capture;
    const auto start = Clock::now();
    EXPECT_RESULT_WITH(COSObject::WaitMultiple(65, events.pointers.data(), FALSE, INFINITE),
                       WAIT_FAILED, COSObject::ErrorTooManyObjects);
    EXPECT_TRUE(capture.Contains("\r\nWarning: ObjectWaitMultiple: Too many objects\r\n"))
        << capture.Text();
    platform::SetLastError(0);
    EXPECT_EQ(COSObject::MsgWaitMultiple(65, events.pointers.data(), TRUE, INFINITE, 0xFF),
              WAIT_FAILED);
    EXPECT_EQ(platform::GetLastError(), COSObject::ErrorTooManyObjects);
    EXPECT_TRUE(capture.Contains("\r\nWarning: MsgObjectWaitMultiple: Too many objects\r\n"));
    EXPECT_LT(ElapsedMs(start), 1000);
}

TEST_F(WaitObjects, SixtyFourObjectsAreWaitedFor) {
    EventArray events(64);
    const auto start = Clock::now();
    EXPECT_EQ(COSObject::WaitMultiple(64, events.pointers.data(), FALSE, 200), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 100);

    events.owned[63]->Set();
    events.owned[40]->Set();
    EXPECT_EQ(COSObject::WaitMultiple(64, events.pointers.data(), FALSE, 0), WAIT_OBJECT_0 + 40);
    EXPECT_EQ(COSObject::MsgWaitMultiple(64, events.pointers.data(), FALSE, 0, 0xFF),
              WAIT_OBJECT_0 + 63);
}

TEST_F(WaitObjects, MissingObjectsInAMultipleWaitAreReported) {
    SetDebugMode(TRUE);
    qzo::test::DebugCapture capture;
    COSEvent present;
    COSExtEvent absent;
    COSObject* withAbsent[2] = {&present, &absent};
    COSObject* withNull[2] = {&present, nullptr};
    EXPECT_RESULT_WITH(COSObject::WaitMultiple(2, withAbsent, FALSE, 0), WAIT_FAILED,
                       COSObject::ErrorObjectMissing);
    EXPECT_RESULT_WITH(COSObject::WaitMultiple(2, withNull, TRUE, 0), WAIT_FAILED,
                       COSObject::ErrorObjectMissing);
    EXPECT_TRUE(capture.Contains("\r\nWarning: ObjectWaitMultiple: Object(s) do(es) not exist\r\n"))
        << capture.Text();
    EXPECT_EQ(COSObject::MsgWaitMultiple(2, withAbsent, FALSE, 0, 0), WAIT_FAILED);
    EXPECT_TRUE(
        capture.Contains("\r\nWarning: MsgObjectWaitMultiple: Object(s) do(es) not exist\r\n"));
    EXPECT_RESULT_WITH(COSObject::WaitMultiple(2, nullptr, FALSE, 0), WAIT_FAILED,
                       ERROR_INVALID_PARAMETER);
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

TEST_F(WaitObjects, WaitAllThroughTheClassesIsAllOrNothing) {
    COSEvent first;
    COSSemaphore units(0, 5, nullptr);
    COSObject* objects[2] = {&first, &units};
    ASSERT_TRUE(first.Set());
    EXPECT_EQ(COSObject::WaitMultiple(2, objects, TRUE, 50), WAIT_TIMEOUT);
    ASSERT_TRUE(units.Release(1, nullptr));
    EXPECT_EQ(COSObject::WaitMultiple(2, objects, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(first.Wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(units.Wait(0), WAIT_TIMEOUT);
}

TEST_F(WaitObjects, PulseReleasesEveryCurrentWaiterOfAManualEvent) {
    COSEvent event(nullptr, TRUE, FALSE, u"WaitObjects.Pulse");
    constexpr int kWaiters = 5;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.emplace_back([&] {
            COSEvent mine(u"WaitObjects.Pulse", FALSE);
            if (mine.Wait(INFINITE) == WAIT_OBJECT_0) ++woken;
        });
    ASSERT_TRUE(WaitUntil([&] {
        return platform::WaitingThreadCount(platform::FromHandle(event.GetHandle())) ==
               DWORD(kWaiters);
    }));
    ASSERT_TRUE(event.Pulse());
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), kWaiters);
    EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
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

TEST_F(WaitObjects, NamedEventsOpenOrFailToOpen) {
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
}

TEST_F(WaitObjects, SemaphoreKeepsItsMaximum) {
    COSSemaphore binary;
    EXPECT_EQ(binary.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(binary.Wait(0), WAIT_TIMEOUT);
    LONG previous = -1;
    EXPECT_TRUE(binary.Release(1, &previous));
    EXPECT_EQ(previous, 0);
    EXPECT_FAILS_WITH(binary.Release(1, &previous), ERROR_TOO_MANY_POSTS);
    EXPECT_FAILS_WITH(binary.Release(0, nullptr), ERROR_INVALID_PARAMETER);

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

}  // namespace
