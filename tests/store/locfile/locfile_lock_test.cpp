// The header lock between threads and handles, unbalanced unlocks and closes, counts, access and
// times of an object file.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store/locfile/locfile_test_support.h"
#include "qzobj/platform/fs.h"
#include "support/capture.h"

namespace {

using namespace qzo::test::locfile;
using qzo::platform::GetLastError;
using qzo::platform::SetLastError;
using qzo::test::DebugCapture;

class LocFileLock : public LocFileTest {};

TEST_F(LocFileLock, OpenFailureLeavesTheSystemError) {
    SetLastError(0);
    EXPECT_EQ(
        LocFile::Open(System(TempPath("missing.qzo")).c_str(), kRead, kShareAll, OPEN_EXISTING, 0),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LocFile::Open(nullptr, kRead, kShareAll, OPEN_EXISTING, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    LocFile* writer = OpenWriter(0);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(OpenReader(), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    writer->Close();
}

TEST_F(LocFileLock, TwoObjectsOnOneFileExcludeEachOther) {
    LocFile* a = OpenReader();
    LocFile* b = OpenReader();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(a->Lock(0, kHeaderLock));
    EXPECT_FALSE(b->Lock(0, kHeaderLock));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(b->GetLockCount(), 0u);
    ASSERT_TRUE(a->Unlock(0, kHeaderLock));
    EXPECT_TRUE(b->Lock(0, kHeaderLock));
    EXPECT_TRUE(b->Unlock(0, kHeaderLock));
    a->Close();
    b->Close();
}

TEST_F(LocFileLock, AnotherThreadFailsWith33WhileTheHolderKeepsTheLock) {
    LocFile* file = OpenReader();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    ASSERT_TRUE(file->Lock(0, kHeaderLock));
    BOOL otherResult = TRUE;
    DWORD otherError = 0;
    BOOL otherUnlock = TRUE;
    std::thread other([&] {
        otherResult = file->Lock(0, kHeaderLock);
        otherError = GetLastError();
        otherUnlock = file->Unlock(0, kHeaderLock);  // not the holder: refused
    });
    other.join();
    EXPECT_FALSE(otherResult);
    EXPECT_EQ(otherError, ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(otherUnlock);
    EXPECT_EQ(file->GetLockCount(), 1u);
    // The holder locking the same range again gets 33 too, and nothing changes.
    EXPECT_FALSE(file->Lock(0, kHeaderLock));
    EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
    EXPECT_EQ(file->GetLockCount(), 1u);
    ASSERT_TRUE(file->Unlock(0, kHeaderLock));
    // Now the other thread gets it.
    BOOL later = FALSE;
    std::thread again([&] {
        later = file->Lock(0, kHeaderLock);
        if (later) file->Unlock(0, kHeaderLock);
    });
    again.join();
    EXPECT_TRUE(later);
}

TEST_F(LocFileLock, UnlockWithoutLockIsRefusedWithItsMessage) {
    ScopedDebug debug(true);
    LocFile* file = OpenReader();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    DebugCapture capture;
    EXPECT_FALSE(file->Unlock(0, kHeaderLock));
    EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);
    EXPECT_TRUE(capture.Contains(": Illegal attempt to unlock non-locked file\r\n"));
    EXPECT_TRUE(capture.Contains("UNLOCK HISTORY"));
}

TEST_F(LocFileLock, CloseWithLocksHeldReleasesThemAndReports) {
    ScopedDebug debug(true);
    DebugCapture capture;
    LocFile* file = OpenWriter(kShareAll);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, 100));
    ASSERT_TRUE(file->Lock(200, 100));
    EXPECT_TRUE(file->Close());
    EXPECT_TRUE(capture.Contains("FileLock count (2) wasn't zero at close!!\r\n"));
    EXPECT_TRUE(capture.Contains("CLOSE HISTORY"));
    EXPECT_EQ(Content(), original_);
    // Nothing stays locked, and this thread holds no section of the freed object.
    LocFile* next = OpenReader();
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->Lock(0, kHeaderLock));
    EXPECT_TRUE(next->Unlock(0, kHeaderLock));
    next->Close();
}

TEST_F(LocFileLock, LockCountsNestedRangesOfOneHolder) {
    LocFile* file = OpenReader();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    ASSERT_TRUE(file->Lock(0, 100));
    ASSERT_TRUE(file->Lock(100, 100));
    EXPECT_EQ(file->GetLockCount(), 2u);
    EXPECT_FALSE(file->Unlock(50, 10));  // not a locked range: everything stays
    EXPECT_EQ(file->GetLockCount(), 2u);
    EXPECT_TRUE(file->Unlock(100, 100));
    EXPECT_TRUE(file->Unlock(0, 100));
    EXPECT_EQ(file->GetLockCount(), 0u);
    EXPECT_FALSE(file->Lock(0, 0));
    EXPECT_EQ(file->GetLockCount(), 0u);
}

TEST_F(LocFileLock, AccessWords) {
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->GetAccess(), kRead);
    EXPECT_FALSE(reader->SetAccess(0x1FFFFFFF));
    EXPECT_FALSE(reader->SetAccess(0x20000000));  // editing needs a write handle
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    reader->Close();
    LocFile* writer =
        LocFile::Open(System(path_).c_str(), 0x60000001, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(writer->GetAccess(), 0xE0000001u);
    EXPECT_TRUE(writer->SetAccess(0x20000000));
    EXPECT_EQ(writer->GetAccess(), 0xA0000000u);
    EXPECT_TRUE(writer->SetAccess(0x40000000));
    EXPECT_EQ(writer->GetAccess(), 0x40000000u);
    writer->Close();
}

TEST_F(LocFileLock, RawTransfersSetTheModifiedFlagAndForgetTheCachedTime) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    FILETIME before{};
    ASSERT_TRUE(file->GetLastWriteTime(&before));
    EXPECT_FALSE(file->IsModified());
    char bytes[10] = {};
    EXPECT_EQ(file->Read(bytes, 10), 10u);
    EXPECT_EQ(std::string(bytes, 10), original_.substr(0, 10));
    EXPECT_EQ(file->Write("0123456789", 10), 10u);
    EXPECT_TRUE(file->IsModified());
    EXPECT_EQ(file->GetFilePtr(), 20u);
    FILETIME after{};
    ASSERT_TRUE(file->GetLastWriteTime(&after));
    EXPECT_NE(qzo::platform::FileTimeValue(after), qzo::platform::FileTimeValue(before));
    EXPECT_TRUE(file->Flush());
    EXPECT_NE(file->GetAttributes(), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(file->GetAttributes() & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(LocFileLock, TouchLastWriteRisesEveryTime) {
    LocFile* file = OpenWriter();
    ASSERT_NE(file, nullptr);
    Closer closer(file);
    // Last access later than last write: the write time takes the access time.
    SetTimesNs(path_, kOldWrite + 5000, kOldWrite);
    ASSERT_TRUE(file->TouchLastWrite());
    EXPECT_EQ(LastWriteNs(path_), kOldWrite + 5000);
    // Equal times: one unit (100 ns) later.
    ASSERT_TRUE(file->TouchLastWrite());
    EXPECT_EQ(LastWriteNs(path_), kOldWrite + 5100);
    long long previous = LastWriteNs(path_);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(file->TouchLastWrite());
        const long long now = LastWriteNs(path_);
        ASSERT_GT(now, previous) << i;
        previous = now;
    }
    FILETIME cached{};
    ASSERT_TRUE(file->GetLastWriteTime(&cached));
    EXPECT_EQ(qzo::platform::FileTimeValue(cached), 116444736000000000ull + previous / 100);
}

TEST_F(LocFileLock, SetFileTimeNowNeedsWriteAccess) {
    LocFile* reader = OpenReader();
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(reader->SetFileTimeNow());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(reader->TouchLastWrite());
    reader->Close();
    LocFile* writer = OpenWriter();
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(writer->SetFileTimeNow());
    EXPECT_GT(LastWriteNs(path_), kOldWrite);
    writer->Close();
}

}  // namespace
