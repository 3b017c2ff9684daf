// The access protocol on real object files: sharing between writers and readers, waiting for a
// header lock held by another process or thread, refusals and failures with their messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "store/locator/locator_test_support.h"
#include "qzobj/platform/file.h"
#include "support/capture.h"
#include "support/peer.h"

namespace qzo::test::locator {
namespace {

using qzo::store::AccessResult;
using qzo::store::kAccessFailed;
using qzo::store::kAccessObtained;
using qzo::store::kAccessRefused;
using qzo::store::kAccessTimeout;
using qzo::store::kHeaderLockLength;
using qzo::store::WaitForAccess;

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

TEST_F(AccessTest, SecondWriterTimesOutWhileAReaderGetsIn) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    AccessResult first = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(first.result, kAccessObtained);
    ASSERT_NE(first.file, nullptr);
    ASSERT_TRUE(first.file->Unlock(0, kHeaderLockLength));

    Stopwatch watch;
    AccessResult second = WaitForAccess(Request(kReadWrite, 500));
    const long long elapsed = watch.Ms();
    EXPECT_EQ(second.result, kAccessTimeout);
    EXPECT_EQ(second.file, nullptr);
    EXPECT_GE(elapsed, 495);
    EXPECT_LT(elapsed, 1500);
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Waiting (500 ms) for exclusive "
                         "access to be released\r\n"));
    EXPECT_TRUE(capture.Contains("\rLocator:WaitForAccess 00000abc: Sharing timeout\r\n"));

    AccessResult reader = WaitForAccess(Request(kRead, 500));
    EXPECT_EQ(reader.result, kAccessObtained);
    ASSERT_NE(reader.file, nullptr);
    EXPECT_EQ(reader.file->GetAccess(), kRead);
    Finish(reader);
    first.file->Close();
}

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

// A peer process holds the header lock: a read wait times out after announcing itself once;
// a write wait started meanwhile gets in as soon as the peer lets go.
TEST_F(AccessTest, PeerHoldingTheHeaderLockMakesReadersWaitAndTimeOut) {
    Peer peer(BetaEnvironment());
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("hold_lock " + path_), "OK");

    ScopedDebugOutput debug(true);
    DebugCapture capture;
    int notified = 0;
    qzo::store::AccessRequest request = Request(kRead, 300);
    request.notifyWaiting = [&] { ++notified; };
    Stopwatch watch;
    AccessResult reader = WaitForAccess(request);
    EXPECT_GE(watch.Ms(), 295);
    EXPECT_EQ(reader.result, kAccessTimeout);
    EXPECT_EQ(reader.file, nullptr);
    EXPECT_EQ(notified, 1);
    // The lock wait announces the time left after the open, at most the whole time-out.
    const std::string text = capture.Text();
    const std::string waiting = "\rLocator:WaitForLock 00000abc: Waiting (";
    const size_t at = text.find(waiting);
    ASSERT_NE(at, std::string::npos) << text;
    const unsigned announced = unsigned(std::stoul(text.substr(at + waiting.size())));
    EXPECT_LE(announced, 300u);
    EXPECT_GE(announced, 150u);
    EXPECT_NE(text.find(" ms) for lock to be released...\r\n", at), std::string::npos);
    EXPECT_TRUE(capture.Contains("\rLocator:WaitForLock 00000abc: Lock timeout\r\n"));

    int writerNotified = 0;
    qzo::store::AccessRequest write = Request(kReadWrite, 10000);
    write.notifyWaiting = [&] { ++writerNotified; };
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(peer.Call("release"), "OK");
    });
    Stopwatch writeWatch;
    AccessResult writer = WaitForAccess(write);
    releaser.join();
    EXPECT_GE(writeWatch.Ms(), 250);
    EXPECT_EQ(writer.result, kAccessObtained);
    EXPECT_EQ(writerNotified, 1);
    EXPECT_TRUE(capture.Contains("\rLocator:WaitForLock 00000abc: Lock obtained\r\n"));
    Finish(writer);
}

// Two locators of one object in one process: the second reader opens at once and waits for
// the header lock the first holds.
TEST_F(AccessTest, SecondReaderOfOneProcessWaitsForTheHeaderLock) {
    AccessResult first;
    std::atomic<bool> locked{false};
    std::thread holder([&] {
        first = WaitForAccess(Request(kRead, 1000));
        locked = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        Finish(first);
    });
    while (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int notified = 0;
    qzo::store::AccessRequest request = Request(kRead, 10000);
    request.notifyWaiting = [&] { ++notified; };
    Stopwatch watch;
    AccessResult second = WaitForAccess(request);
    holder.join();
    EXPECT_EQ(first.result, kAccessObtained);
    EXPECT_EQ(second.result, kAccessObtained);
    EXPECT_GE(watch.Ms(), 150);
    EXPECT_EQ(notified, 1);
    Finish(second);
}

TEST_F(AccessTest, WritesOutsideTheWorkingProjectOrToNewerProjectsAreRefusedAtOnce) {
    AccessResult holder = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(holder.result, kAccessObtained);
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    qzo::store::AccessRequest foreign = Request(kReadWrite, 5000);
    foreign.inDefaultProject = false;
    Stopwatch watch;
    EXPECT_EQ(WaitForAccess(foreign).result, kAccessRefused);
    qzo::store::AccessRequest newer = Request(kReadWrite, 5000);
    newer.projectVersion = 0x30001;
    EXPECT_EQ(WaitForAccess(newer).result, kAccessRefused);
    EXPECT_LT(watch.Ms(), 1000);
    EXPECT_TRUE(capture.Contains(
        "\rLocator:WaitForAccess 00000abc: Project does not have edit access\r\n"));
    // The system's own text, with its missing backslash.
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Project version higher than "
                         "current -> Edit access deniedr\n"));
    // Reading is no write: it needs neither.
    Finish(holder);
    foreign.access = kRead;
    AccessResult reader = WaitForAccess(foreign);
    EXPECT_EQ(reader.result, kAccessObtained);
    Finish(reader);
}

TEST_F(AccessTest, ReadOnlyFileIsReportedDeleted) {
    ASSERT_TRUE(qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_READONLY));
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    AccessResult reader = WaitForAccess(Request(kRead, 100));
    EXPECT_EQ(reader.result, kAccessFailed);
    EXPECT_EQ(reader.file, nullptr);
    EXPECT_TRUE(capture.Contains("\rLocator:WaitForAccess 00000abc: Object marked as deleted\r\n"));
}

TEST_F(AccessTest, MissingPathsAndUnopenableFilesFail) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    qzo::store::AccessRequest request = Request(kRead, 100);
    request.path = nullptr;
    EXPECT_EQ(WaitForAccess(request).result, kAccessFailed);
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Object path unretrievable\r\n"));

    const std::u16string missing = Wide(TempPath("proj/OBJ/5A5A0001/00000ABD.QZO"));
    request.path = missing.c_str();
    EXPECT_EQ(WaitForAccess(request).result, kAccessFailed);
    EXPECT_TRUE(capture.Contains(
        "\rLocator:WaitForAccess 00000abc: Attributes unretrievable (error 2)\r\n"));

    // A folder has attributes but does not open as an object file.
    const std::u16string folder = Wide(TempPath("proj/OBJ/5A5A0001"));
    request.path = folder.c_str();
    EXPECT_EQ(WaitForAccess(request).result, kAccessFailed);
    EXPECT_TRUE(capture.Contains("\rLocator:WaitForAccess 00000abc: Object does not exist\r\n"));
}

TEST_F(AccessTest, MessagesPrintOnlyWhileDebugOutputIsOn) {
    ScopedDebugOutput debug(false);
    DebugCapture capture;
    qzo::store::AccessRequest request = Request(kRead, 100);
    request.path = nullptr;
    EXPECT_EQ(WaitForAccess(request).result, kAccessFailed);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(AccessTest, AttachRefusedUntilTheDeadlineClosesTheFile) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    qzo::store::AccessRequest request = Request(kReadWrite, 200);
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
    ASSERT_EQ(peer.Call("hold_lock " + path_), "OK");
    LocFile* attached = nullptr;
    LocFile* detached = nullptr;
    qzo::store::AccessRequest request = Request(kReadWrite, 100);
    request.attach = [&](LocFile* file) {
        attached = file;
        return true;
    };
    request.detach = [&](LocFile* file) { detached = file; };
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_NE(attached, nullptr);
    EXPECT_EQ(detached, attached);
    ASSERT_EQ(peer.Call("release"), "OK");
    AccessResult next = WaitForAccess(Request(kReadWrite, 0));
    EXPECT_EQ(next.result, kAccessObtained);
    Finish(next);
}

TEST_F(AccessTest, WritersWriteThroughAtPriorityTwoOnly) {
    qzo::store::AccessRequest request = Request(kReadWrite, 1000);
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
}

TEST_F(AccessTest, WaitForLockWithoutAFileFails) {
    EXPECT_FALSE(qzo::store::WaitForLock(nullptr, kObjID, 100, {}));
}

}  // namespace
}  // namespace qzo::test::locator
