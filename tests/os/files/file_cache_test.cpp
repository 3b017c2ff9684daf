// The write-behind cache of CQZFile: small writes stay invisible to other readers until a
// flush, seek, read or close; large writes bypass it; failed writes of the cache are reported
// by Close, which still closes everything.
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file_faults.h"

namespace {

using qzo::test::ReadFileBytes;
using qzo::test::files::FilePeer;
using qzo::test::files::System;
using qzo::test::files::Words;

constexpr DWORD kCache = 64 * 1024;

class FileCache : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        QzoTest::TearDown();
    }
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

}  // namespace
