// Sharing and locking between handles of one process and against a peer process: the sharing
// matrix, deletes and moves of open files, the read-only attribute against writers (the
// superuser too), byte-range locks with their same-handle rules, whole-file locks after
// growth, waiting, the exact misuse messages, and a killed holder that stops blocking.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "support/capture.h"
#include "support/stopwatch.h"

namespace {

using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::FilePeer;
using qzo::test::files::System;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
const std::vector<DWORD> kAccesses = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
const std::vector<DWORD> kShares = {0, FILE_SHARE_READ, FILE_SHARE_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE};

// The sharing rule: the second open must not want what the first denies, nor deny what it has.
bool Compatible(DWORD access1, DWORD share1, DWORD access2, DWORD share2) {
    auto reads = [](DWORD access) { return (access & GENERIC_READ) != 0; };
    auto writes = [](DWORD access) { return (access & GENERIC_WRITE) != 0; };
    if (reads(access2) && !(share1 & FILE_SHARE_READ)) return false;
    if (writes(access2) && !(share1 & FILE_SHARE_WRITE)) return false;
    if (reads(access1) && !(share2 & FILE_SHARE_READ)) return false;
    if (writes(access1) && !(share2 & FILE_SHARE_WRITE)) return false;
    return true;
}

// The open result the sharing rule prescribes for the second open.
UINT ExpectedOpen(DWORD access1, DWORD share1, DWORD access2, DWORD share2) {
    return Compatible(access1, share1, access2, share2) ? CQZFile::kOpened
                                                        : CQZFile::kSharingViolation;
}

class FileShareModes : public qzo::test::files::FileTest {
  protected:
    void SetUp() override {
        FileTest::SetUp();
        path_ = TempPath("shared.qzo");
        WriteFileBytes(path_, "precious");
    }
    UINT OpenHere(CQZFile& file, DWORD access, DWORD share, DWORD creation = OPEN_EXISTING) {
        return file.Open(System(path_).c_str(), access, share, creation, 0);
    }
    std::string path_;
};

// The matrix runs against a peer: the same records bind two handles of one process, which the
// tests below and the open tests check.
TEST_F(FileShareModes, MatrixAgainstAPeerProcess) {
    FilePeer peer;
    ASSERT_TRUE(peer.started());
    for (DWORD access1 : kAccesses)
        for (DWORD share1 : kShares) {
            ASSERT_EQ(peer.Open("a", path_, access1, share1, OPEN_EXISTING), CQZFile::kOpened);
            for (DWORD access2 : kAccesses)
                for (DWORD share2 : kShares) {
                    CQZFile mine;
                    EXPECT_EQ(OpenHere(mine, access2, share2),
                              ExpectedOpen(access1, share1, access2, share2))
                        << std::hex << access1 << "/" << share1 << " then " << access2 << "/"
                        << share2;
                }
            ASSERT_TRUE(peer.Close("a"));
        }
    // And the other way round: the peer meets our handle.
    CQZFile mine;
    ASSERT_EQ(OpenHere(mine, GENERIC_READ, FILE_SHARE_READ), CQZFile::kOpened);
    DWORD error = 0;
    EXPECT_EQ(peer.Open("b", path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        OPEN_EXISTING, &error),
              CQZFile::kSharingViolation);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(peer.Open("c", path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              CQZFile::kOpened);
}

TEST_F(FileShareModes, CreateAlwaysAfterAViolationLeavesTheContent) {
    CQZFile holder;
    ASSERT_EQ(OpenHere(holder, GENERIC_READ, FILE_SHARE_READ), CQZFile::kOpened);
    CQZFile writer;
    EXPECT_EQ(OpenHere(writer, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS),
              CQZFile::kSharingViolation);
    EXPECT_EQ(ReadFileBytes(path_), "precious");
    FilePeer peer;
    ASSERT_TRUE(peer.started());
    EXPECT_EQ(
        peer.Open("a", path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, TRUNCATE_EXISTING),
        CQZFile::kSharingViolation);
    EXPECT_EQ(ReadFileBytes(path_), "precious");
    holder.Close();
    EXPECT_EQ(OpenHere(writer, GENERIC_WRITE, 0, CREATE_ALWAYS), CQZFile::kOpened);
    EXPECT_EQ(ReadFileBytes(path_), "");
}

TEST_F(FileShareModes, DeletingOrMovingAnOpenFileGivesSharingViolation) {
    const std::u16string moved = Path("moved.qzo");
    CQZFile holder;
    ASSERT_EQ(
        OpenHere(holder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
        CQZFile::kOpened);
    CQZFile other(System(path_).c_str());
    EXPECT_FAILS_WITH(other.Delete(), ERROR_SHARING_VIOLATION);
    EXPECT_FAILS_WITH(other.Move(moved.c_str()), ERROR_SHARING_VIOLATION);
    holder.Close();

    // A peer's handle counts the same.
    FilePeer peer;
    ASSERT_TRUE(peer.started());
    ASSERT_EQ(peer.Open("a", path_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              CQZFile::kOpened);
    EXPECT_FAILS_WITH(other.Delete(), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(peer.Close("a"));

    // Moving onto an existing name fails with 183; onto a free one it succeeds.
    WriteFileBytes(TempPath("taken.qzo"), "t");
    EXPECT_FAILS_WITH(other.Move(Path("taken.qzo").c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(other.Move(moved.c_str()));
    EXPECT_EQ(std::u16string(other.GetFilename()), moved);
    EXPECT_TRUE(other.Delete());
    EXPECT_FALSE(FileExists(TempPath("moved.qzo")));
}

TEST_F(FileShareModes, ReadOnlyRefusesWritersAndDeletesEvenForTheSuperuser) {
    ASSERT_TRUE(qzo::platform::SetFileAttributes(System(path_).c_str(), FILE_ATTRIBUTE_READONLY));
    CQZFile file;
    EXPECT_RESULT_WITH(OpenHere(file, GENERIC_WRITE, 0), CQZFile::kOpenFailed, ERROR_ACCESS_DENIED);
    EXPECT_RESULT_WITH(OpenHere(file, GENERIC_READ, 0, CREATE_ALWAYS), CQZFile::kOpenFailed,
                       ERROR_ACCESS_DENIED);
    CQZFile doomed(System(path_).c_str());
    EXPECT_FAILS_WITH(doomed.Delete(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadFileBytes(path_), "precious");
    EXPECT_EQ(OpenHere(file, GENERIC_READ, 0), CQZFile::kOpened);
    file.Close();
    ASSERT_TRUE(qzo::platform::SetFileAttributes(System(path_).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(doomed.Delete());
}

TEST_F(FileShareModes, AKilledPeerStopsBlocking) {
    FilePeer peer;
    ASSERT_TRUE(peer.started());
    ASSERT_EQ(peer.Open("a", path_, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING),
              CQZFile::kOpened);
    CQZFile mine;
    EXPECT_EQ(OpenHere(mine, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE),
              CQZFile::kSharingViolation);
    peer.Kill();
    EXPECT_EQ(OpenHere(mine, GENERIC_READ | GENERIC_WRITE, 0), CQZFile::kOpened);
}

TEST_F(FileShareModes, OtherDescriptorsClosingKeepTheRecords) {
    CQZFile holder;
    ASSERT_EQ(OpenHere(holder, GENERIC_READ, 0), CQZFile::kOpened);
    // A plain descriptor of the same file opened and closed elsewhere in the process.
    int other = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    close(other);
    CQZFile second;
    EXPECT_EQ(OpenHere(second, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE),
              CQZFile::kSharingViolation);
}

class FileLocks : public qzo::test::files::FileTest {
  protected:
    void SetUp() override {
        FileTest::SetUp();
        path_ = TempPath("locked.qzo");
        WriteFileBytes(path_, std::string(100, 'x'));
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

TEST_F(FileLocks, SameHandleOverlapAndInexactUnlockAreRefused) {
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
    qzo::test::Stopwatch watch;
    EXPECT_FALSE(mine.WaitFileLock(25, 1, 400));
    EXPECT_GE(watch.Ms(), 200);
    EXPECT_LE(watch.Ms(), 600);

    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer.Unlock("a", 20, 10);
    });
    watch.Restart();
    EXPECT_TRUE(mine.WaitFileLock(20, 10, 10000));
    const long long unlocked = watch.Ms();
    release.join();
    EXPECT_GE(unlocked, 100);
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
