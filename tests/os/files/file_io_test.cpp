// Transfers of files. CQZFile: every open result, folder creation, refused long and forbidden
// names, case-insensitive paths with either separator, the short-transfer status, and the
// write-behind cache (small writes stay invisible to other readers until a flush, seek, read or
// close; large writes bypass it; failed writes of the cache are reported by Close). The
// platform's files: positioned transfers, write-through and flushing, and the one-shot faults
// (an armed fault fails exactly the next read or write of any handle in the process with the
// device's error, moves no bytes, and then disarms itself). Mapping files with CQZFile and the
// platform mapping: the view's rounding to the allocation granularity, keep-open, growth of
// read-write mappings, read-only views cut at the end, remaps and the end of a mapped file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/file_mapping.h"
#include "qzobj/platform/guard.h"

namespace {

using qzo::platform::File;
using qzo::platform::GetLastError;
using qzo::platform::IoFault;
using qzo::platform::SetLastError;
using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::FilePeer;
using qzo::test::files::System;
using qzo::test::files::Words;
using FileOpen = qzo::test::files::FileTest;

TEST_F(FileOpen, ResultsDistinguishEachOutcome) {
    CQZFile file;
    ASSERT_EQ(file.Open(Path("made.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, 0),
              CQZFile::kOpened);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusOpen);
    EXPECT_EQ(file.GetFilePtr(), 0u);
    // A second open changes nothing, not even the access.
    EXPECT_EQ(file.Open(Path("other.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, CREATE_NEW, 0),
              CQZFile::kAlreadyOpen);
    EXPECT_EQ(file.GetAccess(), GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(std::u16string(file.GetFilename()), Path("made.bin"));
    EXPECT_FALSE(FileExists(TempPath("other.bin")));

    // Every refused open, with "made.bin" held without sharing. Over-long names are refused,
    // never cut: cutting the 260th character would name "x...x" of 259, which exists.
    const std::string folder = TempDir() + "/";
    const std::string shorter = folder + std::string(259 - folder.size(), 'x');
    const std::string longer = shorter + "y";
    ASSERT_EQ(longer.size(), 260u);
    WriteFileBytes(shorter, "the other file");
    constexpr DWORD kAnyError = 0xFFFFFFFF;
    struct Row {
        std::string name;
        std::u16string path;  // empty: a null name
        DWORD access, share, creation;
        UINT result;
        DWORD error;
    };
    std::vector<Row> rows = {
        {"null name", u"", GENERIC_READ, 0, OPEN_EXISTING, CQZFile::kNoName, kAnyError},
        {"absent file", Path("absent.bin"), GENERIC_READ, 0, OPEN_EXISTING, CQZFile::kOpenFailed,
         ERROR_FILE_NOT_FOUND},
        {"absent folder", Path("a/b/one.qzo"), GENERIC_READ, 0, OPEN_EXISTING, CQZFile::kOpenFailed,
         ERROR_PATH_NOT_FOUND},
        {"create-new in an absent folder", Path("a/b/one.qzo"), GENERIC_WRITE, 0, CREATE_NEW,
         CQZFile::kOpenFailed, kAnyError},
        {"held without sharing", Path("made.bin"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
         CQZFile::kSharingViolation, ERROR_SHARING_VIOLATION},
        // create-new of an existing file is a failure, not a sharing violation
        {"create-new of an existing file", Path("made.bin"), GENERIC_READ, 7, CREATE_NEW,
         CQZFile::kOpenFailed, ERROR_FILE_EXISTS},
        {"260 characters", System(longer), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
         CQZFile::kOpenFailed, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const char* name : {"a<b", "a>b", "a|b", "a\"b", "a?b", "a*b", "a:b"})
        rows.push_back({name, Path(name), GENERIC_WRITE, 0, CREATE_ALWAYS, CQZFile::kOpenFailed,
                        ERROR_INVALID_NAME});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CQZFile refused;
        SetLastError(0);
        EXPECT_EQ(refused.Open(row.path.empty() ? nullptr : row.path.c_str(), row.access, row.share,
                               row.creation, 0),
                  row.result);
        if (row.error != kAnyError) {
            EXPECT_EQ(GetLastError(), row.error);
        }
        EXPECT_EQ(refused.GetStatus(), CQZFile::kStatusClosed);
    }
    EXPECT_FALSE(FileExists(TempPath("a")));
    EXPECT_EQ(ReadFileBytes(shorter), "the other file");

    // A name given to the object is refused the same way; the 259-character name is fine, and a
    // rename that would pass 259 is refused.
    CQZFile named(System(longer).c_str());
    EXPECT_RESULT_WITH(named.Open(GENERIC_READ, 0, OPEN_ALWAYS, 0), CQZFile::kOpenFailed,
                       ERROR_FILENAME_EXCED_RANGE);
    CQZFile fits(System(shorter).c_str());
    EXPECT_EQ(fits.Open(GENERIC_READ, 0, OPEN_EXISTING, 0), CQZFile::kOpened);
    fits.Close();
    EXPECT_FAILS_WITH(fits.Rename(std::u16string(272, u'x').c_str()), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_TRUE(FileExists(shorter));
}

TEST_F(FileOpen, UnreadableNameGivesThreeAndAnEmptyName) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "fault guard compiled out";
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* blocked = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(blocked, MAP_FAILED);
    CQZFile file(Path("before.bin").c_str());
    EXPECT_EQ(file.Open(static_cast<const WCHAR*>(blocked), GENERIC_READ, 0, OPEN_EXISTING, 0),
              CQZFile::kNameUnreadable);
    EXPECT_EQ(file.GetFilename()[0], u'\0');
    munmap(blocked, page);
}

TEST_F(FileOpen, CreateAlwaysAndOpenAlwaysMakeMissingFoldersAndPathsIgnoreCase) {
    CQZFile file;
    ASSERT_EQ(file.Open(Path("a/b/one.qzo").c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0),
              CQZFile::kOpened);
    EXPECT_EQ(file.Write("xyz", 3), 3u);
    EXPECT_NE(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(TempPath("a/b/one.qzo")), "xyz");
    ASSERT_EQ(file.Open(Path("c/d/two.qzo").c_str(), GENERIC_READ, 0, OPEN_ALWAYS, 0),
              CQZFile::kOpened);
    file.Close();
    EXPECT_TRUE(FileExists(TempPath("c/d/two.qzo")));

    // The name goes through the case-insensitive resolver, backslashes and all.
    ASSERT_EQ(file.Open((System(TempDir()) + u"\\A\\B\\ONE.qzo").c_str(), GENERIC_READ,
                        FILE_SHARE_READ, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    char bytes[4] = {};
    EXPECT_EQ(file.Read(bytes, 3), 3u);
    EXPECT_EQ(std::string(bytes, 3), "xyz");
}

TEST_F(FileOpen, ShortReadHoldsStatusTwoUntilASeek) {
    WriteFileBytes(TempPath("ten.bin"), "0123456789");
    CQZFile file;
    ASSERT_EQ(file.Open(Path("ten.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    char bytes[32] = {};
    EXPECT_EQ(file.Read(bytes, 20), 10u);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusShort);
    EXPECT_EQ(file.GetFilePtr(), 10u);
    EXPECT_EQ(file.Read(bytes, 1), 0u);
    EXPECT_EQ(file.Write("z", 1), 0u);
    EXPECT_TRUE(file.SetFilePtr(-4, FILE_END));
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusOpen);
    EXPECT_EQ(file.Read(bytes, 4), 4u);
    EXPECT_EQ(std::string(bytes, 4), "6789");
    EXPECT_FALSE(file.SetFilePtr(-11, FILE_CURRENT));  // before the start
    EXPECT_EQ(file.GetFilePtr(), 10u);
}

TEST_F(FileOpen, ClosedObjectsAnswerNeutrally) {
    CQZFile file(Path("x.bin").c_str());
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.GetFilePtr(), 0xFFFFFFFFu);
    EXPECT_EQ(file.Close(), 1);
    char byte;
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_EQ(file.Write("a", 1), 0u);
    EXPECT_FALSE(file.FileLock(0, 1));
}

TEST_F(FileOpen, FilesBeyondFourGigabytesOpenAndSaturate) {
    const std::string path = TempPath("huge.bin");
    WriteFileBytes(path, "");
    ASSERT_EQ(truncate(path.c_str(), (int64_t(5) << 30)), 0);
    CQZFile file;
    ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_EQ(file.GetSize(), 0xFFFFFFFFu);
    EXPECT_FALSE(file.SetFilePtr(0, FILE_END));  // 5 GiB is beyond the 32-bit pointer
    EXPECT_EQ(file.GetFilePtr(), 0u);
    EXPECT_TRUE(file.SetFilePtr(-1, FILE_BEGIN) == FALSE);
}

TEST_F(FileOpen, TransferFromTakesTheStateOver) {
    CQZFile source;
    ASSERT_EQ(
        source.Open(Path("t.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, 0, 4096),
        CQZFile::kOpened);
    EXPECT_EQ(source.Write("abc", 3), 3u);
    CQZFile target;
    EXPECT_EQ(target.TransferFrom(source), 1);
    EXPECT_EQ(source.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_EQ(source.GetFilename()[0], u'\0');
    EXPECT_EQ(target.GetFilePtr(), 3u);
    EXPECT_EQ(target.Write("def", 3), 3u);
    EXPECT_NE(target.Close(), 0);
    EXPECT_EQ(ReadFileBytes(TempPath("t.bin")), "abcdef");
}

// ---- The write-behind cache ----

constexpr DWORD kCache = 64 * 1024;

class FileCache : public qzo::test::files::FileTest {
  protected:
    // Bytes a separate reader sees in the file right now.
    std::streamsize SeenBytes(const std::string& path) const {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        return in ? static_cast<std::streamsize>(in.tellg()) : -1;
    }
    void OpenCached(CQZFile& file, const std::string& path, DWORD share = 0) {
        ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, share,
                            CREATE_ALWAYS, 0, kCache),
                  CQZFile::kOpened);
    }
    static std::string Expected() {
        std::string bytes;
        for (int i = 0; i < 1000; ++i) bytes += "abcdefghij";
        return bytes;
    }
};

TEST_F(FileCache, ThousandSmallWritesAppearOnlyAtEachTrigger) {
    const std::map<std::string, std::function<void(CQZFile&)>> triggers = {
        {"flush", [](CQZFile& f) { EXPECT_TRUE(f.FlushCache()); }},
        {"seek", [](CQZFile& f) { EXPECT_TRUE(f.SetFilePtr(0, FILE_CURRENT)); }},
        {"read",
         [](CQZFile& f) {
             char c;
             EXPECT_EQ(f.Read(&c, 1), 0u);
         }},
        {"close", [](CQZFile& f) { EXPECT_NE(f.Close(), 0); }},
    };
    for (const auto& [name, trigger] : triggers) {
        SCOPED_TRACE(name);
        const std::string path = TempPath(name + ".bin");
        CQZFile file;
        OpenCached(file, path);
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(file.Write("abcdefghij", 10), 10u);
        EXPECT_EQ(file.GetFilePtr(), 10000u);
        EXPECT_EQ(file.GetSize(), 10000u);
        EXPECT_EQ(SeenBytes(path), 0);
        trigger(file);
        EXPECT_EQ(SeenBytes(path), 10000);
        file.Close();
        EXPECT_EQ(ReadFileBytes(path), Expected());
    }
}

TEST_F(FileCache, LargeWriteBypassesTheCache) {
    const std::string path = TempPath("large.bin");
    CQZFile file;
    OpenCached(file, path);
    EXPECT_EQ(file.Write("head", 4), 4u);
    std::string block(100 * 1024, 'L');
    EXPECT_EQ(file.Write(block.data(), static_cast<DWORD>(block.size())), block.size());
    // The cached head went first, then the block straight to the file.
    EXPECT_EQ(SeenBytes(path), 4 + 100 * 1024);
    EXPECT_EQ(file.GetFilePtr(), 4u + 100 * 1024);
    file.Close();
    EXPECT_EQ(ReadFileBytes(path), "head" + block);
}

TEST_F(FileCache, SharedOrReadOnlyFilesAreNotCached) {
    const std::string path = TempPath("shared.bin");
    CQZFile file;
    OpenCached(file, path, FILE_SHARE_READ);
    EXPECT_EQ(file.Write("now", 3), 3u);
    EXPECT_EQ(SeenBytes(path), 3);
}

TEST_F(FileCache, WritesAfterASeekLandAtThePointer) {
    const std::string path = TempPath("seek.bin");
    CQZFile file;
    OpenCached(file, path);
    EXPECT_EQ(file.Write("0123456789", 10), 10u);
    EXPECT_TRUE(file.SetFilePtr(2, FILE_BEGIN));
    EXPECT_EQ(file.Write("ab", 2), 2u);
    EXPECT_EQ(file.GetFilePtr(), 4u);
    char rest[6] = {};
    EXPECT_EQ(file.Read(rest, 6), 6u);
    EXPECT_EQ(std::string(rest, 6), "456789");
    file.Close();
    EXPECT_EQ(ReadFileBytes(path), "01ab456789");
}

TEST_F(FileCache, ShortWriteUnderAFileSizeLimitMakesCloseFail) {
    FilePeer peer;
    ASSERT_TRUE(peer.started());
    const std::string path = TempPath("limited.bin");
    // 1,000 cached writes fit the cache; the limit of 5,000 bytes stops the write at close.
    auto words = Words(peer.Call("file_limited_write " + path + " 5000 1000"));
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0], "10000");                               // every write was accepted
    EXPECT_EQ(words[2], std::to_string(CQZFile::kStatusOpen));  // nothing failed before close
    EXPECT_EQ(words[1], "0");                                   // close reports the loss
    EXPECT_LE(ReadFileBytes(path).size(), 5000u);
}

TEST_F(FileCache, FailedFlushStillClosesEverything) {
    const std::string path = TempPath("flush.bin");
    CQZFile file;
    OpenCached(file, path);
    EXPECT_EQ(file.Write("data", 4), 4u);
    qzo::platform::FileFaults faults;
    faults.failFlush = true;
    qzo::platform::SetFileFaults(faults);
    EXPECT_FALSE(file.FlushCache());
    EXPECT_EQ(file.Close(), 0);
    qzo::platform::ClearFileFaults();
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);
    // No sharing record was left behind: an exclusive open succeeds.
    CQZFile again;
    EXPECT_EQ(again.Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_EQ(ReadFileBytes(path), "data");
}

TEST_F(FileCache, ShortDirectWriteSetsStatusTwo) {
    const std::string path = TempPath("short.bin");
    CQZFile file;
    ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0),
              CQZFile::kOpened);
    qzo::platform::FileFaults faults;
    faults.writeBudget = 5;
    qzo::platform::SetFileFaults(faults);
    EXPECT_EQ(file.Write("0123456789", 10), 5u);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusShort);
    EXPECT_EQ(qzo::platform::GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(file.Write("x", 1), 0u);
    qzo::platform::ClearFileFaults();
    EXPECT_TRUE(file.SetFilePtr(0, FILE_END));
    EXPECT_EQ(file.Write("!", 1), 1u);
    file.Close();
    EXPECT_EQ(ReadFileBytes(path), "01234!");
}

// ---- Platform file handles ----

// The platform's file handles.
class PlatformFile : public qzo::test::files::FileTest {
  protected:
    std::unique_ptr<File> OpenFile(const std::string& path, DWORD access, DWORD disposition) {
        return File::Open(System(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          disposition, 0);
    }
};

TEST_F(PlatformFile, OneShotNextReadFailsOnceWithTheDeviceError) {
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

TEST_F(PlatformFile, OneShotNextWriteFailsOnceAndStoresNothing) {
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

TEST_F(PlatformFile, OneShotAnyHandleTakesTheFaultAndReadsAndWritesAreSeparate) {
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

TEST_F(PlatformFile, OneShotRefusedCallsLeaveTheFaultArmedAndClearingDisarms) {
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

TEST_F(PlatformFile, OneShotFileObjectSeesTheFaultAsAShortTransfer) {
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

TEST_F(PlatformFile, OneShotExactlyOneOfManyConcurrentWritersTakesTheFault) {
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

TEST_F(PlatformFile, PositionedTransfersAtTheOffsetAndLeaveThePositionAlone) {
    auto file = OpenFile(TempPath("data.bin"), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
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

TEST_F(PlatformFile, PositionedAccessOffsetsAndFaultsAreCheckedAsForPlainTransfers) {
    qzo::test::WriteFileBytes(TempPath("ro.bin"), "content");
    auto reader = File::Open(Path("ro.bin").c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(reader);
    DWORD done = 7;
    EXPECT_FAILS_WITH(reader->WriteAt(0, "x", 1, done), ERROR_ACCESS_DENIED);
    EXPECT_EQ(done, 0u);
    char byte = 0;
    EXPECT_FAILS_WITH(reader->ReadAt(qzo::platform::kLockableLimit, &byte, 1, done),
                      ERROR_INVALID_PARAMETER);

    auto file = OpenFile(TempPath("faults.bin"), GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_TRUE(file);
    qzo::platform::FailNextWrite(IoFault::kNoSpace);
    EXPECT_FAILS_WITH(file->WriteAt(10, "x", 1, done), ERROR_DISK_FULL);
    qzo::platform::FailNextRead(IoFault::kIoError);
    EXPECT_FAILS_WITH(file->ReadAt(0, &byte, 1, done), ERROR_GEN_FAILURE);
    uint64_t size = 1;
    ASSERT_TRUE(file->GetSize(size));
    EXPECT_EQ(size, 0u);  // the failed write stored nothing
}

// Whether the handle's descriptor writes synchronously.
bool Synchronous(const File& file) {
    const int flags = fcntl(file.descriptor(), F_GETFL);
    return flags >= 0 && (flags & O_DSYNC) == O_DSYNC;
}

TEST_F(PlatformFile, WriteThroughOpensWriteSynchronously) {
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

TEST_F(PlatformFile, FlushSucceedsOrReportsTheFault) {
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

TEST_F(FileOpen, FileObjectPassesWriteThroughOn) {
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

// ---- Mapping ----

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

class FileMapping : public qzo::test::files::FileTest {
  protected:
    std::u16string Make(const std::string& name, size_t size) {
        WriteFileBytes(TempPath(name), Pattern(size));
        return Path(name);
    }
};

TEST_F(FileMapping, OffsetsRoundDownToTheAllocationGranularity) {
    CQZFile file(Make("big.bin", 200000).c_str());
    auto* address = static_cast<const BYTE*>(file.MapFileR(100, 70000, 0));
    ASSERT_NE(address, nullptr);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusMapped);
    EXPECT_EQ(file.GetViewOffset(), 65536u);
    EXPECT_EQ(file.GetViewSize(), 4564u);
    EXPECT_EQ(address - static_cast<const BYTE*>(file.GetViewAddress()), 4464);
    const std::string expected = Pattern(200000).substr(70000, 100);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(address), 100), expected);
    // Transfers wait until the view is gone.
    char byte;
    EXPECT_EQ(file.Read(&byte, 1), 0u);
    EXPECT_FALSE(file.SetFilePtr(0, FILE_BEGIN));
    // Opened for the mapping, so unmapping closes it.
    EXPECT_EQ(file.UnmapFile(), 0);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_EQ(file.GetViewAddress(), nullptr);
}

TEST_F(FileMapping, AnOpenFileStaysOpenAfterUnmapping) {
    CQZFile file;
    ASSERT_EQ(file.Open(Make("open.bin", 1000).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                        OPEN_EXISTING, 0, 4096),
              CQZFile::kOpened);
    ASSERT_EQ(file.Write("cached", 6), 6u);
    // An open file must not be given modes of its own.
    EXPECT_EQ(file.MapFile(GENERIC_READ, 0, OPEN_EXISTING, 0, PAGE_READONLY, 0, 10, nullptr,
                           FILE_MAP_READ, 0),
              nullptr);
    auto* view = static_cast<char*>(file.MapFileRW(FALSE, 100, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 6), "cached");  // the cache was written before mapping
    view[6] = '!';
    EXPECT_TRUE(file.FlushView(view, 0));
    EXPECT_EQ(file.UnmapFile(), 0);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusOpen);
    EXPECT_TRUE(file.SetFilePtr(6, FILE_BEGIN));
    char byte = 0;
    EXPECT_EQ(file.Read(&byte, 1), 1u);
    EXPECT_EQ(byte, '!');
    EXPECT_EQ(file.MapFileRW(TRUE, 100, 0, 0), nullptr);  // create only for a closed file
}

TEST_F(FileMapping, ReadWriteMappingsGrowTheFileReadOnlyViewsStopAtItsEnd) {
    const std::u16string path = Make("grow.bin", 10);
    CQZFile file(path.c_str());
    auto* view = static_cast<BYTE*>(file.MapFileRW(FALSE, 100000, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[9], 9);
    view[99999] = 7;
    EXPECT_EQ(file.GetSize(), 100000u);
    file.UnmapFile();
    const std::string bytes = ReadFileBytes(TempPath("grow.bin"));
    ASSERT_EQ(bytes.size(), 100000u);
    EXPECT_EQ(bytes[99999], 7);

    // Read-only: the view is cut at the end, and an offset at or past it fails.
    CQZFile reader(Make("short.bin", 70100).c_str());
    ASSERT_NE(reader.MapFileR(100000, 70000, 0), nullptr);
    EXPECT_EQ(reader.GetViewOffset(), 65536u);
    EXPECT_EQ(reader.GetViewSize(), 70100u - 65536u);
    reader.UnmapFile();
    EXPECT_EQ(reader.MapFileR(10, 70100, 0), nullptr);
    EXPECT_EQ(reader.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_EQ(ReadFileBytes(TempPath("short.bin")).size(), 70100u);
}

TEST_F(FileMapping, SizeZeroWithACreatingDispositionFails) {
    CQZFile file(Path("new.bin").c_str());
    EXPECT_EQ(file.MapFileRW(TRUE, 0, 0, 0), nullptr);
    EXPECT_FALSE(qzo::test::FileExists(TempPath("new.bin")));
    auto* view = static_cast<BYTE*>(file.MapFileRW(TRUE, 5, 0, 0));
    ASSERT_NE(view, nullptr);
    view[4] = 'e';
    file.UnmapFile();
    EXPECT_EQ(ReadFileBytes(TempPath("new.bin")), std::string("\0\0\0\0e", 5));
}

TEST_F(FileMapping, RemapMovesTheViewAndKeepsTheFileOnlyAsLongAsNeeded) {
    CQZFile file(Make("remap.bin", 140000).c_str());
    ASSERT_NE(file.MapFileRW(FALSE, 100, 0, 0), nullptr);
    auto* moved = static_cast<const BYTE*>(file.RemapFile(50, 131073, 0));
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(file.GetViewOffset(), 131072u);
    EXPECT_EQ(*moved, static_cast<BYTE>(131073 % 251));
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusMapped);
    file.UnmapFile();
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);  // it was opened for the mapping
    EXPECT_EQ(file.RemapFile(10, 0, 0), nullptr);         // nothing mapped
}

TEST_F(FileMapping, TheEndOfAMappedFileCannotMove) {
    CQZFile file;
    ASSERT_EQ(
        file.Open(Make("eof.bin", 100).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0),
        CQZFile::kOpened);
    ASSERT_NE(file.MapFileRW(FALSE, 0, 0, 0), nullptr);
    EXPECT_RESULT_WITH(file.SetEOF(5), 0, ERROR_USER_MAPPED_FILE);
    file.UnmapFile();
    EXPECT_EQ(file.SetEOF(5), 0);
    EXPECT_EQ(file.GetSize(), 5u);
    EXPECT_EQ(file.GetFilePtr(), 5u);
    file.Close();
    EXPECT_EQ(ReadFileBytes(TempPath("eof.bin")).size(), 5u);

    // The platform refuses the same, and a read-only mapping cannot grow the file.
    auto handle =
        File::Open(Path("eof.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(handle);
    {
        auto mapping = qzo::platform::FileMapping::Create(*handle, PAGE_READWRITE, 0, nullptr);
        ASSERT_TRUE(mapping);
        EXPECT_FAILS_WITH(handle->SetEndOfFile(), ERROR_USER_MAPPED_FILE);
    }
    EXPECT_FALSE(qzo::platform::FileMapping::Create(*handle, PAGE_READONLY, 6, nullptr));
    EXPECT_TRUE(handle->SetEndOfFile());
}

}  // namespace
