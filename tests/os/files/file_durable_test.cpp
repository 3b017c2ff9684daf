// Durable writes: a write-through handle writes synchronously (its descriptor carries O_DSYNC),
// other handles do not, and flushing a handle reaches the device or reports why not.
#include <fcntl.h>

#include <string>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/file_faults.h"

namespace {

using qzo::platform::File;
using qzo::test::ReadFileBytes;
using qzo::test::files::System;

class FileDurable : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        QzoTest::TearDown();
    }
    static bool Synchronous(const File& file) {
        const int flags = fcntl(file.descriptor(), F_GETFL);
        return flags >= 0 && (flags & O_DSYNC) == O_DSYNC;
    }
};

TEST_F(FileDurable, WriteThroughOpensWriteSynchronously) {
    const std::string path = TempPath("through.bin");
    for (DWORD disposition : {CREATE_ALWAYS, OPEN_EXISTING}) {
        auto file =
            File::Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, disposition,
                       FILE_FLAG_WRITE_THROUGH | FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(file);
        EXPECT_TRUE(Synchronous(*file));
        DWORD done = 0;
        EXPECT_TRUE(file->Write("abc", 3, done));
    }
    EXPECT_EQ(ReadFileBytes(path), "abc");
    auto plain = File::Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(Synchronous(*plain));
}

TEST_F(FileDurable, FlushSucceedsOrReportsTheFault) {
    const std::string path = TempPath("flush.bin");
    auto file = File::Open(System(path).c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    ASSERT_TRUE(file);
    DWORD done = 0;
    ASSERT_TRUE(file->Write("data", 4, done));
    EXPECT_TRUE(file->Flush());
    qzo::platform::FileFaults faults;
    faults.failFlush = true;
    qzo::platform::SetFileFaults(faults);
    EXPECT_FAILS_WITH(file->Flush(), ERROR_WRITE_FAULT);
}

TEST_F(FileDurable, FileObjectPassesWriteThroughOn) {
    const std::string path = TempPath("object.bin");
    CQZFile file;
    ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                        CREATE_ALWAYS, 0x88000080u, 0),
              CQZFile::kOpened);
    EXPECT_EQ(file.Write("xyz", 3), 3u);
    EXPECT_TRUE(file.FlushCache());
    EXPECT_NE(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(path), "xyz");
}

}  // namespace
