// Threads: CThread (the status walk of a suspended thread, destruction of busy, just-created and
// never-resumed threads, suspend and resume counts, priorities, objects without a thread),
// COSAutoThread (the creator's release, the table of 128, AppExit with stuck threads and racing
// creations) and COSFileChangeNotify (only the changes in the filter end a wait).
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/change_notify.h"
#include "qzobj/platform/kernel_objects.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/sync.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/thread.h"
#include "qzobj/threads.h"
#include "support/fixture.h"
#include "support/stopwatch.h"
#include "support/wait_until.h"

namespace {

namespace platform = qzo::platform;
using qzo::test::Stopwatch;
using qzo::test::WaitUntil;
using qzo::test::WriteFileBytes;

// What test thread functions count, and the switch that lets them return.
struct Shared {
    std::atomic<int> running{0};
    std::atomic<int> done{0};
    std::atomic<bool> release{false};
};

// Each test starts with a fresh auto-thread table and leaves none of its auto-threads behind.
class Threads : public ::testing::Test {
  protected:
    void SetUp() override { COSAutoThread::AppInit(); }
    void TearDown() override {
        shared_.release = true;
        EXPECT_TRUE(WaitUntil([] { return COSAutoThread::GetActiveCount() == 0; }));
        COSAutoThread::AppInit();
    }
    // Auto-thread functions watch `release`; TearDown sets it and waits for the table to empty.
    Shared shared_;
};

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
    const Stopwatch watch;
    delete thread;
    const long long took = watch.Ms();
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
    const Stopwatch watch;
    delete thread;
    EXPECT_LT(watch.Ms(), 1000);  // no 20 ms of running, no termination
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

// ---- COSAutoThread ----

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
    const Stopwatch watch;
    COSAutoThread::AppExit();
    const long long took = watch.Ms();
    EXPECT_GE(took, 150);  // about 300 ms: 100 ms each
    EXPECT_LT(took, 1500);
    EXPECT_EQ(COSAutoThread::GetActiveCount(), 0u);
    EXPECT_FALSE(COSAutoThread::CreateAutoThread(nullptr, 0, &WorkThenReturn, &shared_));
    COSAutoThread::AppInit();
    EXPECT_TRUE(COSAutoThread::CreateAutoThread(nullptr, 0, &WorkThenReturn, &shared_));
}

TEST_F(Threads, AppExitWithoutThreadsIsQuick) {
    const Stopwatch watch;
    COSAutoThread::AppExit();
    EXPECT_LT(watch.Ms(), 500);
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

// ---- COSFileChangeNotify ----

class FileChangeNotify : public qzo::test::QzoTest {
  protected:
    std::u16string Wide(const std::string& native) { return platform::FromNativePath(native); }

    // The file system stamps times with a coarse clock: leave more than one tick between a
    // file's creation and the write a test waits for.
    static void LetTheClockMove() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

    static void Append(const std::string& path, const std::string& bytes) {
        FILE* file = fopen(path.c_str(), "ab");
        ASSERT_NE(file, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
};

TEST_F(FileChangeNotify, LastWriteFilterIgnoresSiblingRenameAndSeesWrite) {
    const std::string watched = TempPath("watched.dat");
    const std::string sibling = TempPath("sibling.dat");
    WriteFileBytes(watched, "one");
    WriteFileBytes(sibling, "two");
    COSFileChangeNotify notify(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_LAST_WRITE);
    ASSERT_TRUE(notify.AssertValid());
    EXPECT_EQ(notify.GetFilter(), FILE_NOTIFY_CHANGE_LAST_WRITE);

    ASSERT_EQ(rename(sibling.c_str(), TempPath("renamed.dat").c_str()), 0);
    EXPECT_EQ(notify.Wait(300), WAIT_TIMEOUT);

    LetTheClockMove();
    Append(watched, "more");
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
    // Nothing more happened: the next wait runs out.
    EXPECT_EQ(notify.Wait(100), WAIT_TIMEOUT);
}

TEST_F(FileChangeNotify, WriteFromAnotherThreadEndsARunningWait) {
    const std::string watched = TempPath("watched.dat");
    WriteFileBytes(watched, "one");
    COSFileChangeNotify notify(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_SIZE);
    ASSERT_TRUE(notify.AssertValid());
    std::thread writer([&] {
        // A sibling first, which the size filter must not take for the file.
        WriteFileBytes(TempPath("sibling.dat"), "x");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Append(watched, "grown");
    });
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
    writer.join();
    EXPECT_EQ(qzo::test::ReadFileBytes(watched).size(), 8u);
}

TEST_F(FileChangeNotify, DeletionEndsTheWaitOnlyWithTheNameFilter) {
    const std::string watched = TempPath("watched.dat");
    WriteFileBytes(watched, "one");
    COSFileChangeNotify byName(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    COSFileChangeNotify byWrite(Wide(watched).c_str(),
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
    ASSERT_TRUE(byName.AssertValid());
    ASSERT_TRUE(byWrite.AssertValid());
    ASSERT_EQ(unlink(watched.c_str()), 0);
    EXPECT_EQ(byName.Wait(10000), WAIT_OBJECT_0);
    EXPECT_EQ(byWrite.Wait(300), WAIT_TIMEOUT);
}

TEST_F(FileChangeNotify, NameFilterSeesTheFileAppearAndItsRename) {
    const std::string watched = TempPath("later.dat");
    COSFileChangeNotify notify(Wide(watched).c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_TRUE(notify.AssertValid());
    WriteFileBytes(TempPath("other.dat"), "x");
    EXPECT_EQ(notify.Wait(200), WAIT_TIMEOUT);
    WriteFileBytes(watched, "here");
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
    ASSERT_EQ(rename(watched.c_str(), TempPath("gone.dat").c_str()), 0);
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
}

TEST_F(FileChangeNotify, PathsAreFoundWithoutCase) {
    WriteFileBytes(TempPath("Mixed.DAT"), "one");
    COSFileChangeNotify notify(Wide(TempPath("mixed.dat")).c_str(), FILE_NOTIFY_CHANGE_SIZE);
    ASSERT_TRUE(notify.AssertValid());
    LetTheClockMove();
    Append(TempPath("Mixed.DAT"), "two");
    EXPECT_EQ(notify.Wait(10000), WAIT_OBJECT_0);
}

TEST_F(FileChangeNotify, BadInputGivesNoHandle) {
    const std::u16string file = Wide(TempPath("file.dat"));
    struct Row {
        const char* name;
        std::u16string path;
        DWORD filter;
        bool nullPath = false;
    };
    const Row rows[] = {
        {"no filter", file, 0},
        {"unknown bits only", file, 0x2 | 0x20},
        {"null path", u"", FILE_NOTIFY_CHANGE_FILE_NAME, true},
        {"empty path", u"", FILE_NOTIFY_CHANGE_FILE_NAME},
        {"folder only", Wide(TempDir()) + u"/", FILE_NOTIFY_CHANGE_FILE_NAME},
        {"missing folder", Wide(TempPath("none/file.dat")), FILE_NOTIFY_CHANGE_FILE_NAME},
        {"over-long", Wide(TempDir()) + u"/" + std::u16string(300, u'a'),
         FILE_NOTIFY_CHANGE_FILE_NAME},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        COSFileChangeNotify notify(row.nullPath ? nullptr : row.path.c_str(), row.filter);
        EXPECT_FALSE(notify.AssertValid());
        EXPECT_EQ(notify.Wait(0), WAIT_FAILED);
        EXPECT_EQ(notify.VerifyWaitSuccessful(WAIT_OBJECT_0), WAIT_FAILED);
    }
    COSFileChangeNotify masked(file.c_str(), 0xFFFFFFFFu);
    EXPECT_TRUE(masked.AssertValid());
    EXPECT_EQ(masked.GetFilter(), 0x1Du);
}

TEST_F(FileChangeNotify, HandlesStayUntilClosedAndFreeTheirWatch) {
    const std::u16string folder = Wide(TempDir());
    const DWORD before = platform::OpenKernelHandleCount();
    for (int i = 0; i < 50; ++i) {
        const platform::KernelHandle handle =
            platform::FindFirstChangeNotification(folder.c_str(), FILE_NOTIFY_CHANGE_SIZE);
        ASSERT_NE(handle, 0u);
        EXPECT_TRUE(platform::FindCloseChangeNotification(handle));
    }
    EXPECT_EQ(platform::OpenKernelHandleCount(), before);
    // The signal stays until it is re-armed, for any number of waits.
    const platform::KernelHandle handle =
        platform::FindFirstChangeNotification(folder.c_str(), FILE_NOTIFY_CHANGE_FILE_NAME);
    ASSERT_NE(handle, 0u);
    WriteFileBytes(TempPath("new.dat"), "x");
    EXPECT_EQ(platform::WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(platform::WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(platform::FindNextChangeNotification(handle));
    EXPECT_EQ(platform::WaitForSingleObject(handle, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(platform::FindCloseChangeNotification(handle));
    EXPECT_FALSE(platform::FindNextChangeNotification(handle));
    EXPECT_EQ(platform::FindFirstChangeNotification(Wide(TempPath("new.dat")).c_str(),
                                                    FILE_NOTIFY_CHANGE_SIZE),
              0u);
}

}  // namespace
