// The platform's in-process synchronisation: the recursive mutex's owner, semaphore limits and
// time-outs, the manual-reset event, and waits that survive signals.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "support/wait_until.h"

namespace {

using qzo::platform::CurrentThreadId;
using qzo::platform::ManualResetEvent;
using qzo::platform::RecursiveMutex;
using qzo::platform::Semaphore;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(PlatformSync, RecursiveMutexKnowsItsOwnerAndRefusesOtherThreadsLeave) {
    EXPECT_EQ(CurrentThreadId(), qzo::platform::GetCurrentThreadId());
    EXPECT_NE(CurrentThreadId(), 0u);
    RecursiveMutex mutex(4000);
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
    RecursiveMutex mutex;
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

TEST(PlatformSync, SemaphoreRefusesReleasePastItsMaximum) {
    Semaphore semaphore(1, 2);
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
    // An empty semaphore's wait lasts its time.
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.Wait(200));
    const long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 190);
    EXPECT_LT(elapsed, 5000);
}

TEST(PlatformSync, SemaphoreReleaseWakesEveryWaiterItCovers) {
    Semaphore semaphore(0, 3);
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (semaphore.Wait(INFINITE)) ++taken;
        });
    qzo::test::GiveTime();
    EXPECT_EQ(taken.load(), 0);
    EXPECT_TRUE(semaphore.Release(3));
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(taken.load(), 3);
    EXPECT_EQ(semaphore.Count(), 0);
}

TEST(PlatformSync, ManualResetEventReleasesAllUntilReset) {
    ManualResetEvent event(false);
    EXPECT_FALSE(event.Wait(0));
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(100));
    EXPECT_GE(ElapsedMs(start), 95);

    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (event.Wait(INFINITE)) ++released;
        });
    qzo::test::GiveTime();
    EXPECT_EQ(released.load(), 0);
    event.Set();
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

std::atomic<int> g_signals{0};
void CountSignal(int) {
    ++g_signals;
}

// Signals interrupt a sleeping wait; it must neither end early nor run past its deadline.
TEST(PlatformSync, WaitsSurviveSignalsAndKeepTheirDeadline) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = &CountSignal;  // no SA_RESTART: the wait sees EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    Semaphore semaphore(0, 1);
    std::atomic<bool> done{false};
    bool result = true;
    long elapsed = 0;
    std::thread waiter([&] {
        const auto start = Clock::now();
        result = semaphore.Wait(400);
        elapsed = ElapsedMs(start);
        done = true;
    });
    const pthread_t handle = waiter.native_handle();
    for (int i = 0; i < 10 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(handle, SIGUSR2);
    }
    waiter.join();
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_FALSE(result);
    EXPECT_GE(elapsed, 390);
    EXPECT_LT(elapsed, 5000);
    EXPECT_GT(g_signals.load(), 0);
}

}  // namespace
