// CThread: the status walk of a suspended thread, destruction of busy, just-created and
// never-resumed threads, suspend and resume counts, priorities and objects without a thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/thread.h"
#include "qzobj/threads.h"
#include "support/wait_until.h"
#include "os/threads/threads_fixture.h"

namespace {

namespace platform = qzo::platform;
using Clock = std::chrono::steady_clock;
using qzo::test::WaitUntil;
using Threads = qzo::test::Threads;

long ElapsedMs(Clock::time_point since) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// What a thread function saw and did, and the switch that lets it return.
struct Probe {
    CThread* thread = nullptr;
    std::atomic<DWORD> statusInside{0};
    std::atomic<DWORD> idInside{0};
    std::atomic<DWORD> ownId{0};
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
    std::atomic<bool> release{false};
    std::atomic<unsigned long> spins{0};
};

DWORD RecordAndWait(void* parameter) {
    auto* probe = static_cast<Probe*>(parameter);
    probe->started.fetch_add(1);
    probe->statusInside = probe->thread->GetStatus();
    probe->idInside = probe->thread->GetID();
    probe->ownId = platform::GetCurrentThreadId();
    while (!probe->release.load()) platform::Sleep(1);
    probe->finished.fetch_add(1);
    return 42;
}

// Spins without allocating or locking, so that terminating it in the middle is harmless.
DWORD Spin(void* parameter) {
    auto* probe = static_cast<Probe*>(parameter);
    probe->started.fetch_add(1);
    while (!probe->release.load()) probe->spins.fetch_add(1);
    probe->finished.fetch_add(1);
    return 7;
}

DWORD CountOnly(void* parameter) {
    auto* probe = static_cast<Probe*>(parameter);
    probe->started.fetch_add(1);
    probe->finished.fetch_add(1);
    return 1;
}

DWORD Throw(void*) {
    throw std::runtime_error("thread function failed");
}

// A second handle to the thread, so that its end can be seen after the CThread is gone.
platform::KernelHandle KeepHandle(const CThread& thread) {
    return platform::DuplicateKernelHandle(platform::FromHandle(thread.GetHandle()));
}

TEST_F(Threads, SuspendedThreadGoesFromFiveToFourToTwo) {
    Probe probe;
    CThread thread(nullptr, 0, &RecordAndWait, &probe, CREATE_SUSPENDED);
    probe.thread = &thread;
    EXPECT_EQ(thread.GetStatus(), CThread::StatusSuspended);
    const DWORD id = thread.GetID();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, CThread::InvalidThreadID);
    DWORD code = 0;
    ASSERT_TRUE(thread.GetExitCode(&code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(thread.Wait(50), WAIT_TIMEOUT);
    EXPECT_EQ(probe.started.load(), 0);

    EXPECT_EQ(thread.Resume(), 1u);
    ASSERT_TRUE(WaitUntil([&] { return probe.idInside.load() != 0; }));
    EXPECT_EQ(probe.statusInside.load(), CThread::StatusRunning);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusRunning);
    EXPECT_EQ(probe.idInside.load(), id);
    EXPECT_EQ(probe.ownId.load(), id);

    probe.release = true;
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusFinished);
    EXPECT_EQ(thread.GetID(), CThread::InvalidThreadID);
    ASSERT_TRUE(thread.GetExitCode(&code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(thread.Resume(), 0xFFFFFFFFu);
    EXPECT_EQ(thread.Suspend(), 0xFFFFFFFFu);
    EXPECT_FALSE(thread.Terminate(0));
}

TEST_F(Threads, BusyThreadDestroyedStopsAfterAboutTwentyMilliseconds) {
    Probe probe;
    auto* thread = new CThread(nullptr, 0, &Spin, &probe, 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return probe.spins.load() > 0; }));
    const platform::KernelHandle kept = KeepHandle(*thread);
    ASSERT_NE(kept, 0u);
    const auto start = Clock::now();
    delete thread;
    const long took = ElapsedMs(start);
    EXPECT_GE(took, 10);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(platform::WaitForSingleObject(kept, 0), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(platform::GetExitCodeThread(kept, &code));
    EXPECT_EQ(code, 0u);
    const unsigned long spins = probe.spins.load();
    platform::Sleep(50);
    EXPECT_EQ(probe.spins.load(), spins);  // parked for good
    EXPECT_EQ(probe.finished.load(), 0);
    platform::CloseKernelHandle(kept);
}

TEST_F(Threads, NeverResumedThreadDestroyedRunsNothing) {
    Probe probe;
    auto* thread = new CThread(nullptr, 0, &CountOnly, &probe, CREATE_SUSPENDED);
    const platform::KernelHandle kept = KeepHandle(*thread);
    const auto start = Clock::now();
    delete thread;
    EXPECT_LT(ElapsedMs(start), 1000);  // no 20 ms of running, no termination
    EXPECT_EQ(platform::WaitForSingleObject(kept, 10000), WAIT_OBJECT_0);
    platform::Sleep(20);
    EXPECT_EQ(probe.started.load(), 0);
    platform::CloseKernelHandle(kept);
}

// A thread destroyed right after its creation either never runs its function or runs it
// through; nothing it does touches the destroyed object (the sanitizers would say so).
TEST_F(Threads, JustCreatedThreadsDestroyedAtOnce) {
    constexpr int kThreads = 200;
    Probe probe;
    std::vector<platform::KernelHandle> kept;
    for (int i = 0; i < kThreads; ++i) {
        auto* thread = new CThread(nullptr, 0, &CountOnly, &probe, 0);
        kept.push_back(KeepHandle(*thread));
        delete thread;
    }
    for (platform::KernelHandle handle : kept) {
        EXPECT_EQ(platform::WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
        platform::CloseKernelHandle(handle);
    }
    EXPECT_EQ(probe.started.load(), probe.finished.load());
    EXPECT_LE(probe.started.load(), kThreads);
}

TEST_F(Threads, TerminateNeverResumedThreadCancelsItsFunction) {
    Probe probe;
    CThread thread(nullptr, 0, &CountOnly, &probe, CREATE_SUSPENDED);
    EXPECT_TRUE(thread.Terminate(9));
    EXPECT_EQ(thread.GetStatus(), CThread::StatusFinished);
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(thread.GetExitCode(&code));
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(probe.started.load(), 0);
    EXPECT_FALSE(thread.Terminate(0));
}

TEST_F(Threads, TerminateRunningThread) {
    Probe probe;
    CThread thread(nullptr, 0, &Spin, &probe, 0);
    ASSERT_TRUE(WaitUntil([&] { return probe.spins.load() > 0; }));
    EXPECT_TRUE(thread.Terminate(5));
    EXPECT_EQ(thread.GetStatus(), CThread::StatusFinished);
    EXPECT_EQ(thread.GetID(), CThread::InvalidThreadID);
    EXPECT_EQ(thread.Wait(0), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(thread.GetExitCode(&code));
    EXPECT_EQ(code, 5u);
}

TEST_F(Threads, SuspendAndResumeCount) {
    Probe probe;
    CThread thread(nullptr, 0, &Spin, &probe, 0);
    ASSERT_TRUE(WaitUntil([&] { return probe.spins.load() > 0; }));
    EXPECT_EQ(thread.Suspend(), 0u);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusSuspended);
    const unsigned long parked = probe.spins.load();
    platform::Sleep(30);
    EXPECT_EQ(probe.spins.load(), parked);
    EXPECT_EQ(thread.Suspend(), 1u);
    EXPECT_EQ(thread.Resume(), 2u);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusSuspended);
    platform::Sleep(30);
    EXPECT_EQ(probe.spins.load(), parked);
    EXPECT_EQ(thread.Resume(), 1u);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusRunning);
    EXPECT_TRUE(WaitUntil([&] { return probe.spins.load() > parked; }));
    EXPECT_EQ(thread.Resume(), 0u);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusRunning);
    // Many rounds: every suspension parks the thread before Suspend returns.
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(thread.Suspend(), 0u);
        const unsigned long now = probe.spins.load();
        platform::YieldProcessor();
        ASSERT_EQ(probe.spins.load(), now);
        ASSERT_EQ(thread.Resume(), 1u);
    }
    probe.release = true;
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.finished.load(), 1);
}

TEST_F(Threads, SuspendedDuringWaitKeepsWaiting) {
    // A thread suspended inside a library wait resumes that wait and still sees its event.
    const platform::KernelHandle event = platform::CreateEvent(true, false, nullptr);
    struct Waiter {
        platform::KernelHandle event;
        std::atomic<DWORD> result{0xDEAD};
    } waiter{event};
    CThread thread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            auto* self = static_cast<Waiter*>(parameter);
            self->result = platform::WaitForSingleObject(self->event, 20000);
            return 0;
        },
        &waiter, 0);
    ASSERT_TRUE(WaitUntil([&] { return platform::WaitingThreadCount(event) == 1; }));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(thread.Suspend(), 0u);
        ASSERT_EQ(thread.Resume(), 1u);
    }
    EXPECT_EQ(waiter.result.load(), 0xDEADu);
    platform::SetEvent(event);
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(waiter.result.load(), WAIT_OBJECT_0);
    platform::CloseKernelHandle(event);
}

TEST_F(Threads, Priorities) {
    Probe probe;
    CThread thread(nullptr, 0, &RecordAndWait, &probe, CREATE_SUSPENDED);
    probe.thread = &thread;
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(thread.SetPriority(THREAD_PRIORITY_BELOW_NORMAL));
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_TRUE(thread.SetPriority(THREAD_PRIORITY_HIGHEST));  // kept as asked, even unprivileged
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(thread.SetPriority(7));
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_HIGHEST);
    thread.Resume();
    probe.release = true;
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_FALSE(thread.SetPriority(THREAD_PRIORITY_NORMAL));
}

TEST_F(Threads, WithoutFunctionThereIsNoThread) {
    CThread thread(nullptr, 0, nullptr, nullptr, 0);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusFailed);
    EXPECT_FALSE(thread.AssertValid());
    DWORD code = 0;
    EXPECT_FALSE(thread.GetExitCode(&code));
    EXPECT_EQ(thread.Resume(), 0xFFFFFFFFu);
    EXPECT_EQ(thread.Suspend(), 0xFFFFFFFFu);
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_FALSE(thread.SetPriority(0));
    EXPECT_FALSE(thread.Terminate(0));
    EXPECT_EQ(thread.Wait(0), WAIT_FAILED);
}

TEST_F(Threads, ExceptionEndsTheThread) {
    CThread thread(nullptr, 0, &Throw, nullptr, 0);
    ASSERT_EQ(thread.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(thread.GetStatus(), CThread::StatusFinished);
    DWORD code = 1;
    EXPECT_TRUE(thread.GetExitCode(&code));
    EXPECT_EQ(code, 0u);
}

TEST_F(Threads, HandlesOfOtherKindsAreRefused) {
    const platform::KernelHandle event = platform::CreateEvent(true, false, nullptr);
    EXPECT_EQ(platform::SuspendThread(event), 0xFFFFFFFFu);
    EXPECT_EQ(platform::ResumeThread(event), 0xFFFFFFFFu);
    EXPECT_FALSE(platform::TerminateThread(event, 0));
    DWORD code = 0;
    EXPECT_FALSE(platform::GetExitCodeThread(event, &code));
    platform::CloseKernelHandle(event);
}

}  // namespace
