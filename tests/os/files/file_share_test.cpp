// Sharing modes between handles of one process and against a peer process; deletes and moves
// of open files; the read-only attribute against writers (the superuser too); a killed holder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"

namespace {

using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::FilePeer;
using qzo::test::files::System;

const std::vector<DWORD> kAccesses = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
const std::vector<DWORD> kShares = {0, FILE_SHARE_READ, FILE_SHARE_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE};

// Windows' rule: the second open must not want what the first denies, nor deny what it has.
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

class FileShareModes : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        path_ = TempPath("shared.qzo");
        WriteFileBytes(path_, "precious");
    }
    UINT OpenHere(CQZFile& file, DWORD access, DWORD share, DWORD creation = OPEN_EXISTING) {
        return file.Open(System(path_).c_str(), access, share, creation, 0);
    }
    std::string path_;
};

TEST_F(FileShareModes, MatrixBetweenTwoHandlesOfOneProcess) {
    for (DWORD access1 : kAccesses)
        for (DWORD share1 : kShares)
            for (DWORD access2 : kAccesses)
                for (DWORD share2 : kShares) {
                    CQZFile first, second;
                    ASSERT_EQ(OpenHere(first, access1, share1), CQZFile::kOpened);
                    EXPECT_EQ(OpenHere(second, access2, share2),
                              ExpectedOpen(access1, share1, access2, share2))
                        << std::hex << access1 << "/" << share1 << " then " << access2 << "/"
                        << share2;
                }
}

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
    const std::u16string moved = System(TempPath("moved.qzo"));
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
    EXPECT_FAILS_WITH(other.Move(System(TempPath("taken.qzo")).c_str()), ERROR_ALREADY_EXISTS);
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

}  // namespace
