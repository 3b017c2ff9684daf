// COSAutoThread: the creator's release by the start-up event or the function's end, the table
// of 128, AppExit with stuck threads, and creations racing AppExit.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/system.h"
#include "qzobj/threads.h"
#include "support/wait_until.h"
#include "os/threads/threads_fixture.h"

namespace {

namespace platform = qzo::platform;
using Clock = std::chrono::steady_clock;
using qzo::test::WaitUntil;

long ElapsedMs(Clock::time_point since) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

using Threads = qzo::test::Threads;

using Shared = qzo::test::ThreadSwitches;

void SetStartup(AUTOTHREADINFO* info) {
    platform::SetEvent(platform::FromHandle(info->hStartupEvent));
}

// Releases its creator at once, then waits for the test's switch.
DWORD SignalThenWait(void* parameter) {
    auto* info = static_cast<AUTOTHREADINFO*>(parameter);
    auto* shared = static_cast<Shared*>(info->pParam);
    shared->running.fetch_add(1);
    SetStartup(info);
    while (!shared->release.load()) platform::Sleep(1);
    shared->done.fetch_add(1);
    return 0;
}

// Never sets the event: holds its creator until it returns.
DWORD WorkThenReturn(void* parameter) {
    auto* shared = static_cast<Shared*>(static_cast<AUTOTHREADINFO*>(parameter)->pParam);
    platform::Sleep(30);
    shared->done.fetch_add(1);
    return 0;
}

// Releases its creator and never ends on its own.
DWORD Stuck(void* parameter) {
    auto* info = static_cast<AUTOTHREADINFO*>(parameter);
    static_cast<Shared*>(info->pParam)->running.fetch_add(1);
    SetStartup(info);
    for (;;) platform::Sleep(1);
}

DWORD Throw(void*) {
    throw std::runtime_error("auto-thread function failed");
}

DWORD Quick(void* parameter) {
    auto* info = static_cast<AUTOTHREADINFO*>(parameter);
    SetStartup(info);
    platform::Sleep(DWORD(reinterpret_cast<uintptr_t>(info->pParam) % 3));
    return 0;
}

TEST_F(Threads, AutoThreadReleasesItsCreatorEarly) {
    ASSERT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &SignalThenWait, &shared_));
    EXPECT_EQ(shared_.running.load(), 1);
    EXPECT_EQ(shared_.done.load(), 0);  // still running
    EXPECT_EQ(COSAutoThread::GetActiveCount(), 1u);
    shared_.release = true;
    EXPECT_TRUE(WaitUntil([] { return COSAutoThread::GetActiveCount() == 0; }));
    EXPECT_EQ(shared_.done.load(), 1);
}

TEST_F(Threads, AutoThreadHoldsItsCreatorUntilItReturns) {
    ASSERT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &WorkThenReturn, &shared_));
    EXPECT_EQ(shared_.done.load(), 1);
}

TEST_F(Threads, AutoThreadExceptionEndsItLikeAReturn) {
    ASSERT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &Throw, nullptr));
    EXPECT_TRUE(WaitUntil([] { return COSAutoThread::GetActiveCount() == 0; }));
}

TEST_F(Threads, HundredTwentyNinthAutoThreadFails) {
    for (DWORD i = 0; i < COSAutoThread::MaximumThreads; ++i)
        ASSERT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &SignalThenWait, &shared_)) << i;
    EXPECT_EQ(COSAutoThread::GetActiveCount(), 128u);
    EXPECT_FALSE(COSAutoThread::CreateAutoThread(nullptr, 0, &SignalThenWait, &shared_));
    EXPECT_EQ(shared_.running.load(), 128);
    shared_.release = true;
    ASSERT_TRUE(WaitUntil([] { return COSAutoThread::GetActiveCount() == 0; }));
    EXPECT_EQ(shared_.done.load(), 128);
    EXPECT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &WorkThenReturn, &shared_));
}

TEST_F(Threads, AppExitTerminatesStuckThreadsAfterTheirGrace) {
    static Shared s_stuck;  // the parked threads keep pointing at it
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &Stuck, &s_stuck));
    ASSERT_EQ(COSAutoThread::GetActiveCount(), 3u);
    const auto start = Clock::now();
    COSAutoThread::AppExit();
    const long took = ElapsedMs(start);
    EXPECT_GE(took, 150);  // about 300 ms: 100 ms each
    EXPECT_LT(took, 1500);
    EXPECT_EQ(COSAutoThread::GetActiveCount(), 0u);
    EXPECT_FALSE(COSAutoThread::CreateAutoThread(nullptr, 0, &WorkThenReturn, &shared_));
    COSAutoThread::AppInit();
    EXPECT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &WorkThenReturn, &shared_));
}

TEST_F(Threads, AppExitWithoutThreadsIsQuick) {
    const auto start = Clock::now();
    COSAutoThread::AppExit();
    EXPECT_LT(ElapsedMs(start), 500);
}

TEST_F(Threads, CreateAutoThreadRacingAppExitNeverHangs) {
    auto races = std::async(std::launch::async, [] {
        for (uintptr_t i = 0; i < 200; ++i) {
            COSAutoThread::AppInit();
            std::thread creator([i] {
                COSAutoThread::CreateAutoThread(nullptr, 0, &Quick, reinterpret_cast<void*>(i));
            });
            if (i % 2 == 0) std::this_thread::yield();
            COSAutoThread::AppExit();
            creator.join();
        }
    });
    ASSERT_EQ(races.wait_for(std::chrono::seconds(50)), std::future_status::ready);
    races.get();
    EXPECT_EQ(COSAutoThread::GetActiveCount(), 0u);
}

TEST_F(Threads, NullFunctionIsRefused) {
    EXPECT_FALSE(COSAutoThread::CreateAutoThread(nullptr, 0, nullptr, nullptr));
}

}  // namespace
