// Byte-range locks of CQZFile: conflicts between handles of one process and with a peer,
// Windows' same-handle rules, whole-file locks after growth, waiting, a killed holder, and the
// exact misuse messages.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "os/files/file_test_support.h"
#include "qzobj/diag.h"
#include "qzobj/platform/file.h"
#include "support/capture.h"

namespace {

using qzo::test::WriteFileBytes;
using qzo::test::files::FilePeer;
using qzo::test::files::System;
using Clock = std::chrono::steady_clock;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

class FileLocks : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        path_ = TempPath("locked.qzo");
        WriteFileBytes(path_, std::string(100, 'x'));
    }
    void TearDown() override {
        SetDebugMode(FALSE);
        QzoTest::TearDown();
    }
    void OpenShared(CQZFile& file) {
        ASSERT_EQ(file.Open(System(path_).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll,
                            OPEN_EXISTING, 0),
                  CQZFile::kOpened);
    }
    // Starts `peer` holding a lock on the bytes `offset`..`offset + bytes` of the file.
    void PeerLocks(FilePeer& peer, DWORD offset, DWORD bytes) {
        ASSERT_TRUE(peer.started());
        ASSERT_EQ(peer.Open("a", path_, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING),
                  CQZFile::kOpened);
        ASSERT_TRUE(peer.Lock("a", offset, bytes));
    }
    std::string path_;
};

TEST_F(FileLocks, TwoHandlesOfOneProcessConflict) {
    CQZFile a, b;
    OpenShared(a);
    OpenShared(b);
    EXPECT_TRUE(a.FileLock(0, 10));
    EXPECT_FAILS_WITH(b.FileLock(5, 10), ERROR_LOCK_VIOLATION);
    EXPECT_TRUE(b.FileLock(10, 10));  // adjacent ranges do not overlap
    // Locks bind lockers only: the other handle still reads the locked bytes.
    char bytes[4];
    EXPECT_EQ(b.Read(bytes, 4), 4u);
    EXPECT_TRUE(a.FileUnlock(0, 10));
    EXPECT_TRUE(b.FileLock(0, 10));
    EXPECT_TRUE(b.FileUnlock(0, 10));
    EXPECT_TRUE(b.FileUnlock(10, 10));
}

TEST_F(FileLocks, SameHandleOverlapAndInexactUnlockFollowWindows) {
    CQZFile a;
    OpenShared(a);
    ASSERT_TRUE(a.FileLock(0, 10));
    EXPECT_FAILS_WITH(a.FileLock(5, 2), ERROR_LOCK_VIOLATION);
    EXPECT_FAILS_WITH(a.FileUnlock(0, 5), ERROR_NOT_LOCKED);
    EXPECT_FAILS_WITH(a.FileUnlock(2, 10), ERROR_NOT_LOCKED);
    EXPECT_TRUE(a.FileUnlock(0, 10));
    EXPECT_NE(a.Close(), 0);
}

TEST_F(FileLocks, PlatformRefusesEmptyAndReservedRanges) {
    auto file = qzo::platform::File::Open(System(path_).c_str(), GENERIC_READ | GENERIC_WRITE,
                                          kShareAll, OPEN_EXISTING, 0);
    ASSERT_TRUE(file);
    EXPECT_FAILS_WITH(file->Lock(0, 0), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(file->Lock(qzo::platform::kLockableLimit - 1, 2), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(file->Lock(qzo::platform::kLockableLimit - 1, 1));
}

TEST_F(FileLocks, ClosingOneHandleKeepsAnothersLocks) {
    CQZFile a;
    OpenShared(a);
    ASSERT_TRUE(a.FileLock(0, 10));
    {
        CQZFile b;
        OpenShared(b);
        b.Close();
    }
    int plain = open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(plain, 0);
    close(plain);
    FilePeer peer;
    ASSERT_TRUE(peer.started());
    ASSERT_EQ(peer.Open("a", path_, GENERIC_READ, kShareAll, OPEN_EXISTING), CQZFile::kOpened);
    DWORD error = 0;
    EXPECT_FALSE(peer.Lock("a", 0, 10, &error));
    EXPECT_EQ(error, ERROR_LOCK_VIOLATION);
}

TEST_F(FileLocks, WholeFileUnlockReleasesWhatWasLockedAfterTheFileGrew) {
    CQZFile a, b;
    OpenShared(a);
    OpenShared(b);
    ASSERT_TRUE(a.FileLock(0, 0));  // 100 bytes
    ASSERT_TRUE(a.SetFilePtr(0, FILE_END));
    ASSERT_EQ(a.Write(std::string(100, 'y').data(), 100), 100u);
    EXPECT_TRUE(a.FileUnlock(0, 0));
    // Nothing of the first lock is left behind.
    EXPECT_TRUE(b.FileLock(0, 200));
}

TEST_F(FileLocks, WaitFileLockTimesOutOnTimeOrSucceedsWhenThePeerUnlocks) {
    FilePeer peer;
    PeerLocks(peer, 20, 10);
    CQZFile mine;
    OpenShared(mine);
    auto start = Clock::now();
    EXPECT_FALSE(mine.WaitFileLock(25, 1, 400));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_GE(waited.count(), 200);
    EXPECT_LE(waited.count(), 600);

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer.Unlock("a", 20, 10);
    });
    start = Clock::now();
    EXPECT_TRUE(mine.WaitFileLock(20, 10, 10000));
    const auto unlocked = Clock::now() - start;
    release.join();
    EXPECT_GE(unlocked, std::chrono::milliseconds(100));
    EXPECT_TRUE(mine.FileUnlock(20, 10));
}

TEST_F(FileLocks, AKilledPeersLocksAreFreed) {
    FilePeer peer;
    PeerLocks(peer, 0, 100);
    CQZFile mine;
    OpenShared(mine);
    EXPECT_FALSE(mine.FileLock(50, 1));
    peer.Kill();
    EXPECT_TRUE(mine.FileLock(50, 1));
}

TEST_F(FileLocks, MisuseIsReportedWithExactMessages) {
    qzo::test::DebugCapture capture;
    CQZFile quiet;  // outside debug mode misuse stays quiet
    OpenShared(quiet);
    EXPECT_FALSE(quiet.FileUnlock(0, 1));
    EXPECT_EQ(capture.Count(), 0u);

    SetDebugMode(TRUE);
    const std::string empty = TempPath("empty.qzo");
    WriteFileBytes(empty, "");
    CQZFile file;
    ASSERT_EQ(file.Open(System(empty).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    const std::string name = empty;

    EXPECT_FALSE(file.FileLock(0, 0));
    EXPECT_FALSE(file.WaitFileLock(0, 0, INFINITE));  // nothing to lock: no endless wait
    EXPECT_FALSE(file.FileUnlock(0, 4));
    ASSERT_EQ(file.Write("abcd", 4), 4u);
    EXPECT_TRUE(file.WaitFileLock(0, 4, INFINITE));
    EXPECT_TRUE(file.FileUnlock(0, 4));
    ASSERT_TRUE(file.FileLock(0, 2));
    EXPECT_EQ(file.Close(), 1);

    const auto messages = capture.Messages();
    std::vector<std::string> channel3;
    for (const auto& message : messages)
        if (message.channel == 3)
            channel3.push_back(std::to_string(message.level) + ":" + message.Utf8());
    ASSERT_EQ(channel3.size(), 4u);
    EXPECT_EQ(channel3[0], "3:\rCQZFile " + name + ": Attempt to lock 0 bytes\r\n");
    EXPECT_EQ(channel3[1], "3:\rCQZFile " + name + ": Attempt to lock 0 bytes\r\n");
    EXPECT_EQ(channel3[2], "4:File " + name + "\r\nIllegal attempt to unlock non-locked file.");
    EXPECT_EQ(channel3[3],
              "2:\rFile " + name + "\r\nAttempt to close file while locked (cnt=1)\r\n");
    EXPECT_TRUE(capture.Contains("Warning: UNLOCK HISTORY"));
    EXPECT_TRUE(capture.Contains("Warning: CLOSE HISTORY"));
}

}  // namespace
