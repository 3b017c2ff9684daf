// The access protocol on an object file (the waits of locators below their objects): a writer
// waiting for another to close, refusals and failures with their messages, the attach and
// detach hooks, write-through at priority 2, and time limits across a wrapping tick. Second
// writers, second readers and a peer's header lock are tested through locators and processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "qzobj/file_modes.h"
#include "qzobj/platform/file.h"
#include "qzobj/store/locfile.h"
#include "store/locator/locator_test_support.h"
#include "support/capture.h"
#include "support/stopwatch.h"

namespace qzo::test::store {
namespace {

using qzo::store::AccessRequest;
using qzo::store::AccessResult;
using qzo::store::kAccessFailed;
using qzo::store::kAccessObtained;
using qzo::store::kAccessRefused;
using qzo::store::kAccessTimeout;
using qzo::store::kHeaderLockLength;
using qzo::store::kWaitForever;
using qzo::store::WaitDeadline;
using qzo::store::WaitForAccess;
using qzo::store::WaitForLock;

// Whether a descriptor of this process on `path` writes through (O_DSYNC), from /proc.
bool OpenWithWriteThrough(const std::string& path) {
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target != path) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        while (info >> key) {
            if (key != "flags:") continue;
            std::string octal;
            info >> octal;
            if (std::stoul(octal, nullptr, 8) & O_DSYNC) found = true;
        }
    }
    return found;
}

// Releases the header lock and closes the file of an obtained access.
void Finish(AccessResult& access) {
    if (!access.file) return;
    access.file->Unlock(0, kHeaderLockLength);
    access.file->Close();
    access.file = nullptr;
}

using AccessTest = LocatorTest;

TEST_F(AccessTest, WriterGetsInOnceTheOtherWriterCloses) {
    AccessResult first = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(first.result, kAccessObtained);
    // The header lock belongs to the thread that took it; the handle may close anywhere.
    ASSERT_TRUE(first.file->Unlock(0, kHeaderLockLength));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        first.file->Close();
    });
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    AccessResult second = WaitForAccess(Request(kReadWrite, 10000));
    closer.join();
    EXPECT_EQ(second.result, kAccessObtained);
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Exclusive access released\r\n"));
    Finish(second);
}

// Every refusal and failure comes at once, with its message.
TEST_F(AccessTest, RefusalsAndFailuresWithTheirMessages) {
    const std::u16string missing = Wide(TempPath("proj/OBJ/5A5A0001/00000ABD.QZO"));
    const std::u16string folder = Wide(TempPath("proj/OBJ/5A5A0001"));
    const struct {
        const char* name;
        std::function<void(AccessRequest&)> change;
        bool readOnly;
        DWORD result;
        const char* message;
    } rows[] = {
        {"a write outside the working project",
         [](AccessRequest& r) { r.inDefaultProject = false; }, false, kAccessRefused,
         "Project does not have edit access\r\n"},
        // The system's own text, with its missing backslash.
        {"a write to a newer project", [](AccessRequest& r) { r.projectVersion = 0x30001; }, false,
         kAccessRefused, "Project version higher than current -> Edit access deniedr\n"},
        {"a read-only file", [](AccessRequest& r) { r.access = kRead; }, true, kAccessFailed,
         "Object marked as deleted\r\n"},
        {"no path", [](AccessRequest& r) { r.path = nullptr; }, false, kAccessFailed,
         "Object path unretrievable\r\n"},
        {"a missing file", [&](AccessRequest& r) { r.path = missing.c_str(); }, false,
         kAccessFailed, "Attributes unretrievable (error 2)\r\n"},
        // A folder has attributes but does not open as an object file.
        {"a folder", [&](AccessRequest& r) { r.path = folder.c_str(); }, false, kAccessFailed,
         "Object does not exist\r\n"},
    };
    AccessResult holder = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(holder.result, kAccessObtained);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.readOnly) {
            Finish(holder);
            ASSERT_TRUE(
                qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        ScopedDebugOutput debug(true);
        DebugCapture capture;
        AccessRequest request = Request(kReadWrite, 5000);
        row.change(request);
        Stopwatch watch;
        const AccessResult access = WaitForAccess(request);
        EXPECT_EQ(access.result, row.result);
        EXPECT_EQ(access.file, nullptr);
        EXPECT_LT(watch.Ms(), 1000);
        EXPECT_TRUE(
            capture.Contains(std::string("\rLocator:WaitForAccess 00000abc: ") + row.message))
            << capture.Text();
    }
    // Reading is no write: it needs neither the working project nor the project's version.
    ASSERT_TRUE(qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_NORMAL));
    AccessRequest foreign = Request(kRead, 1000);
    foreign.inDefaultProject = false;
    foreign.projectVersion = 0x30001;
    AccessResult reader = WaitForAccess(foreign);
    EXPECT_EQ(reader.result, kAccessObtained);
    Finish(reader);
}

TEST_F(AccessTest, MessagesPrintOnlyWhileDebugOutputIsOn) {
    ScopedDebugOutput debug(false);
    DebugCapture capture;
    AccessRequest request = Request(kRead, 100);
    request.path = nullptr;
    EXPECT_EQ(WaitForAccess(request).result, kAccessFailed);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(AccessTest, AttachRefusedUntilTheDeadlineClosesTheFile) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    AccessRequest request = Request(kReadWrite, 200);
    int tries = 0;
    request.attach = [&](LocFile*) {
        ++tries;
        return false;
    };
    Stopwatch watch;
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_GE(watch.Ms(), 195);
    EXPECT_GT(tries, 1);
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Assignment timeout, "
                         "multithreaded access problem\r\n"));
    // The writer's handle is gone: another writer opens without waiting.
    AccessResult next = WaitForAccess(Request(kReadWrite, 0));
    EXPECT_EQ(next.result, kAccessObtained);
    Finish(next);
}

TEST_F(AccessTest, FailedHeaderLockDetachesAndClosesTheFile) {
    Peer peer(BetaEnvironment());
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("store_hold_lock " + path_), "OK");
    LocFile* attached = nullptr;
    LocFile* detached = nullptr;
    AccessRequest request = Request(kReadWrite, 100);
    request.attach = [&](LocFile* file) {
        attached = file;
        return true;
    };
    request.detach = [&](LocFile* file) { detached = file; };
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_NE(attached, nullptr);
    EXPECT_EQ(detached, attached);
    ASSERT_EQ(peer.Call("store_release"), "OK");
    AccessResult next = WaitForAccess(Request(kReadWrite, 0));
    EXPECT_EQ(next.result, kAccessObtained);
    Finish(next);
}

TEST_F(AccessTest, WritersWriteThroughAtPriorityTwoOnly) {
    AccessRequest request = Request(kReadWrite, 1000);
    request.writeBackPriority = 2;
    AccessResult writer = WaitForAccess(request);
    ASSERT_EQ(writer.result, kAccessObtained);
    EXPECT_TRUE(OpenWithWriteThrough(path_));
    Finish(writer);
    request.writeBackPriority = 1;
    writer = WaitForAccess(request);
    ASSERT_EQ(writer.result, kAccessObtained);
    EXPECT_FALSE(OpenWithWriteThrough(path_));
    Finish(writer);
    request = Request(kRead, 1000);
    request.writeBackPriority = 2;
    AccessResult reader = WaitForAccess(request);
    ASSERT_EQ(reader.result, kAccessObtained);
    EXPECT_FALSE(OpenWithWriteThrough(path_));
    Finish(reader);
    EXPECT_FALSE(WaitForLock(nullptr, kObjID, 100, {})) << "a lock wait without a file";
}

// ---- Time limits across a wrapping tick ------------------------------------------------------

TEST(WaitDeadline, CountsElapsedTicksAcrossTheWrap) {
    DWORD now = 0xFFFFFFF0u;
    WaitDeadline deadline(0x20, [&] { return now; });
    now = 0x0000000Fu;  // 0x1F ticks later
    EXPECT_FALSE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 1u);
    now = 0x00000010u;
    EXPECT_TRUE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 0u);
    WaitDeadline zero(0, [&] { return now; });
    EXPECT_TRUE(zero.Passed());
    EXPECT_EQ(zero.Remaining(), 0u);
}

TEST(WaitDeadline, SumsSeveralWrapsAndNeverEndsWithoutALimit) {
    DWORD now = 5;
    WaitDeadline longest(0xFFFFFFFEu, [&] { return now; });
    WaitDeadline forever(kWaitForever, [&] { return now; });
    for (int step = 0; step < 3; ++step) {
        now += 0x7FFFFFFFu;
        EXPECT_FALSE(forever.Passed());
        EXPECT_EQ(forever.Remaining(), kWaitForever);
        if (step == 0) {
            EXPECT_FALSE(longest.Passed());
        }
    }
    EXPECT_TRUE(longest.Passed());
}

// A tick source that reads the platform's milliseconds shifted so that it wraps `afterMs`
// milliseconds after construction.
qzo::store::TickSource WrappingTicks(DWORD afterMs) {
    const auto start = std::chrono::steady_clock::now();
    return [start, afterMs] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        return DWORD(0u - afterMs + DWORD(ms));
    };
}

class LockWrapTest : public LocatorTest {
  protected:
    LocFile* OpenReader() {
        return LocFile::Open(widePath_.c_str(), kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, 0);
    }
};

TEST_F(LockWrapTest, WaitsAcrossTheWrapLastTheirWholeTimeOut) {
    LocFile* holder = OpenReader();
    LocFile* waiter = OpenReader();
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(holder->Lock(0, kHeaderLockLength));
    Stopwatch watch;
    EXPECT_FALSE(WaitForLock(waiter, kObjID, 300, {}, WrappingTicks(50)));
    EXPECT_GE(watch.Ms(), 295);
    EXPECT_LT(watch.Ms(), 3000);
    holder->Unlock(0, kHeaderLockLength);
    holder->Close();
    waiter->Close();

    AccessResult writer = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(writer.result, kAccessObtained);
    AccessRequest request = Request(kReadWrite, 300);
    request.ticks = WrappingTicks(100);
    watch.Restart();
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_GE(watch.Ms(), 295);
    Finish(writer);
}

TEST_F(LockWrapTest, UnlimitedWaitEndsWhenTheLockIsFree) {
    LocFile* holder = OpenReader();
    LocFile* waiter = OpenReader();
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(waiter, nullptr);
    std::atomic<bool> started{false};
    std::atomic<bool> locked{false};
    std::thread owner([&] {
        locked = holder->Lock(0, kHeaderLockLength) != FALSE;
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder->Unlock(0, kHeaderLockLength);
    });
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(locked) << "the holder could not lock";
    int notified = 0;
    Stopwatch watch;
    EXPECT_TRUE(WaitForLock(
        waiter, kObjID, kWaitForever, [&] { ++notified; }, WrappingTicks(10)));
    owner.join();
    EXPECT_GE(watch.Ms(), 250);
    EXPECT_EQ(notified, 1);
    waiter->Unlock(0, kHeaderLockLength);
    holder->Close();
    waiter->Close();
}

}  // namespace
}  // namespace qzo::test::store
