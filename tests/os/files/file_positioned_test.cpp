// Positioned transfers: ReadAt and WriteAt reach the given offset without moving the handle's
// position, need the same access as Read and Write, and meet the same one-shot faults.
#include <string>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/file_faults.h"
#include "support/last_error_checks.h"

namespace {

using qzo::platform::File;
using qzo::platform::IoFault;
using qzo::test::files::System;

class FilePositioned : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        QzoTest::TearDown();
    }
    std::unique_ptr<File> OpenReadWrite(const char* name) {
        return File::Open(System(TempPath(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                          OPEN_ALWAYS, 0);
    }
};

TEST_F(FilePositioned, TransfersAtTheOffsetAndLeaveThePositionAlone) {
    auto file = OpenReadWrite("data.bin");
    ASSERT_TRUE(file);
    DWORD done = 0;
    ASSERT_TRUE(file->Write("head", 4, done));
    ASSERT_TRUE(file->WriteAt(1000, "tail", 4, done));
    EXPECT_EQ(done, 4u);
    uint64_t position = 0;
    ASSERT_TRUE(file->Seek(0, FILE_CURRENT, position));
    EXPECT_EQ(position, 4u);
    uint64_t size = 0;
    ASSERT_TRUE(file->GetSize(size));
    EXPECT_EQ(size, 1004u);

    char bytes[8] = {};
    ASSERT_TRUE(file->ReadAt(998, bytes, 8, done));
    EXPECT_EQ(done, 6u);  // the end of the file cuts the read short, without failing
    EXPECT_EQ(std::string(bytes, 6), std::string("\0\0tail", 6));
    ASSERT_TRUE(file->Seek(0, FILE_CURRENT, position));
    EXPECT_EQ(position, 4u);
}

TEST_F(FilePositioned, AccessOffsetsAndFaultsAreCheckedAsForPlainTransfers) {
    qzo::test::WriteFileBytes(TempPath("ro.bin"), "content");
    auto reader = File::Open(System(TempPath("ro.bin")).c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(reader);
    DWORD done = 7;
    EXPECT_FAILS_WITH(reader->WriteAt(0, "x", 1, done), ERROR_ACCESS_DENIED);
    EXPECT_EQ(done, 0u);
    char byte = 0;
    EXPECT_FAILS_WITH(reader->ReadAt(qzo::platform::kLockableLimit, &byte, 1, done),
                      ERROR_INVALID_PARAMETER);

    auto file = OpenReadWrite("faults.bin");
    ASSERT_TRUE(file);
    qzo::platform::FailNextWrite(IoFault::kNoSpace);
    EXPECT_FAILS_WITH(file->WriteAt(10, "x", 1, done), ERROR_DISK_FULL);
    qzo::platform::FailNextRead(IoFault::kIoError);
    EXPECT_FAILS_WITH(file->ReadAt(0, &byte, 1, done), ERROR_GEN_FAILURE);
    uint64_t size = 1;
    ASSERT_TRUE(file->GetSize(size));
    EXPECT_EQ(size, 0u);  // the failed write stored nothing
}

}  // namespace
