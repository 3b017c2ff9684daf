// The one-shot transfer faults: an armed fault fails exactly the next read or write of any
// handle in the process with the device's error, moves no bytes, and then disarms itself.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/file_faults.h"

namespace {

using qzo::platform::File;
using qzo::platform::IoFault;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::System;

class FileOneShotFaults : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        QzoTest::TearDown();
    }
    std::unique_ptr<File> OpenFile(const std::string& path, DWORD access, DWORD disposition) {
        return File::Open(System(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          disposition, 0);
    }
};

TEST_F(FileOneShotFaults, NextReadFailsOnceWithTheDeviceError) {
    const std::string path = TempPath("read.bin");
    WriteFileBytes(path, "0123456789");
    auto file = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
    ASSERT_TRUE(file);
    for (const auto& [fault, code] :
         {std::pair{IoFault::kIoError, ERROR_GEN_FAILURE}, {IoFault::kNoSpace, ERROR_DISK_FULL}}) {
        uint64_t position = 0;
        ASSERT_TRUE(file->Seek(0, FILE_BEGIN, position));
        qzo::platform::FailNextRead(fault);
        char buffer[10] = {};
        DWORD done = 99;
        EXPECT_FAILS_WITH(file->Read(buffer, 4, done), code);
        EXPECT_EQ(done, 0u);
        ASSERT_TRUE(file->Seek(0, FILE_CURRENT, position));
        EXPECT_EQ(position, 0u);  // the failed read did not move the position
        ASSERT_TRUE(file->Read(buffer, 4, done));
        EXPECT_EQ(std::string(buffer, done), "0123");
    }
}

TEST_F(FileOneShotFaults, NextWriteFailsOnceAndStoresNothing) {
    const std::string path = TempPath("write.bin");
    auto file = OpenFile(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_TRUE(file);
    DWORD done = 0;
    ASSERT_TRUE(file->Write("abcd", 4, done));
    for (const auto& [fault, code] :
         {std::pair{IoFault::kNoSpace, ERROR_DISK_FULL}, {IoFault::kIoError, ERROR_GEN_FAILURE}}) {
        qzo::platform::FailNextWrite(fault);
        EXPECT_FAILS_WITH(file->Write("XYZ", 3, done), code);
        EXPECT_EQ(done, 0u);
        EXPECT_EQ(ReadFileBytes(path), "abcd");
    }
    ASSERT_TRUE(file->Write("ef", 2, done));
    EXPECT_EQ(ReadFileBytes(path), "abcdef");
}

TEST_F(FileOneShotFaults, AnyHandleTakesTheFaultAndReadsAndWritesAreSeparate) {
    const std::string first = TempPath("first.bin"), second = TempPath("second.bin");
    auto a = OpenFile(first, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    auto b = OpenFile(second, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_TRUE(a && b);
    qzo::platform::FailNextWrite(IoFault::kIoError);
    char c = 0;
    DWORD done = 0;
    EXPECT_TRUE(a->Read(&c, 1, done));  // a read leaves a write fault armed
    EXPECT_FAILS_WITH(b->Write("x", 1, done), ERROR_GEN_FAILURE);
    EXPECT_TRUE(a->Write("y", 1, done));
    EXPECT_EQ(ReadFileBytes(first), "y");
    EXPECT_EQ(ReadFileBytes(second), "");
}

TEST_F(FileOneShotFaults, RefusedCallsLeaveTheFaultArmedAndClearingDisarms) {
    const std::string path = TempPath("refused.bin");
    WriteFileBytes(path, "data");
    auto reader = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
    ASSERT_TRUE(reader);
    qzo::platform::FailNextWrite(IoFault::kNoSpace);
    DWORD done = 0;
    // Refused for lack of access before any transfer: the fault waits for a real write.
    EXPECT_FAILS_WITH(reader->Write("x", 1, done), ERROR_ACCESS_DENIED);
    auto writer = OpenFile(path, GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_TRUE(writer);
    EXPECT_FAILS_WITH(writer->Write("x", 1, done), ERROR_DISK_FULL);

    qzo::platform::FailNextRead(IoFault::kIoError);
    qzo::platform::FailNextWrite(IoFault::kIoError);
    qzo::platform::ClearFileFaults();
    char buffer[4];
    EXPECT_TRUE(reader->Read(buffer, 4, done));
    EXPECT_TRUE(writer->Write("D", 1, done));
    EXPECT_EQ(ReadFileBytes(path), "Data");

    qzo::platform::FailNextRead(IoFault::kIoError);
    qzo::platform::FailNextRead(IoFault::kNone);  // disarms
    uint64_t position = 0;
    ASSERT_TRUE(reader->Seek(0, FILE_BEGIN, position));
    EXPECT_TRUE(reader->Read(buffer, 4, done));
}

TEST_F(FileOneShotFaults, FileObjectSeesTheFaultAsAShortTransfer) {
    const std::string path = TempPath("object.bin");
    CQZFile file;
    ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, 0, 0),
              CQZFile::kOpened);
    qzo::platform::FailNextWrite(IoFault::kNoSpace);
    EXPECT_EQ(file.Write("abc", 3), 0u);
    EXPECT_EQ(file.GetStatus(), 2u);
    EXPECT_TRUE(file.SetFilePtr(0, FILE_BEGIN));
    EXPECT_EQ(file.Write("abc", 3), 3u);
    qzo::platform::FailNextRead(IoFault::kIoError);
    EXPECT_TRUE(file.SetFilePtr(0, FILE_BEGIN));
    char buffer[3];
    EXPECT_EQ(file.Read(buffer, 3), 0u);
    EXPECT_EQ(file.GetStatus(), 2u);
    EXPECT_NE(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(path), "abc");
}

TEST_F(FileOneShotFaults, ExactlyOneOfManyConcurrentWritersTakesTheFault) {
    constexpr int kThreads = 8;
    std::vector<std::unique_ptr<File>> files;
    for (int i = 0; i < kThreads; ++i) {
        files.push_back(OpenFile(TempPath("t" + std::to_string(i)), GENERIC_WRITE, CREATE_ALWAYS));
        ASSERT_TRUE(files.back());
    }
    qzo::platform::FailNextWrite(IoFault::kIoError);
    std::atomic<int> failed{0}, wrongError{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < kThreads; ++i) {
        writers.emplace_back([&, i] {
            DWORD done = 0;
            if (files[i]->Write("x", 1, done)) return;
            ++failed;
            if (qzo::platform::GetLastError() != ERROR_GEN_FAILURE) ++wrongError;
        });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(wrongError.load(), 0);
}

}  // namespace
