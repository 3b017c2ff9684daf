// Opening CQZFile objects: every open result, folder creation, refused long and forbidden
// names, case-insensitive paths with either separator, and the short-transfer status.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "os/files/file_test_support.h"
#include "qzobj/platform/guard.h"

namespace {

using qzo::platform::GetLastError;
using qzo::platform::SetLastError;
using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::System;

class FileOpen : public qzo::test::QzoTest {
  protected:
    std::u16string Path(const std::string& name) const { return System(TempPath(name)); }
};

TEST_F(FileOpen, ResultsDistinguishEachOutcome) {
    CQZFile file;
    EXPECT_EQ(file.Open(nullptr, GENERIC_READ, 0, OPEN_EXISTING, 0), CQZFile::kNoName);

    SetLastError(0);
    EXPECT_EQ(file.Open(Path("absent.bin").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0),
              CQZFile::kOpenFailed);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);

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

    CQZFile second;
    EXPECT_EQ(
        second.Open(Path("made.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0),
        CQZFile::kSharingViolation);
    // create-new of an existing file is a failure, not a sharing violation.
    CQZFile third;
    SetLastError(0);
    EXPECT_EQ(third.Open(Path("made.bin").c_str(), GENERIC_READ, 7, CREATE_NEW, 0),
              CQZFile::kOpenFailed);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
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

TEST_F(FileOpen, CreateAlwaysAndOpenAlwaysMakeMissingFolders) {
    CQZFile file;
    SetLastError(0);
    EXPECT_EQ(file.Open(Path("a/b/one.qzo").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0),
              CQZFile::kOpenFailed);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(file.Open(Path("a/b/one.qzo").c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0),
              CQZFile::kOpenFailed);
    EXPECT_FALSE(FileExists(TempPath("a")));

    ASSERT_EQ(file.Open(Path("a/b/one.qzo").c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0),
              CQZFile::kOpened);
    EXPECT_EQ(file.Write("xyz", 3), 3u);
    EXPECT_NE(file.Close(), 0);
    EXPECT_EQ(ReadFileBytes(TempPath("a/b/one.qzo")), "xyz");

    ASSERT_EQ(file.Open(Path("c/d/two.qzo").c_str(), GENERIC_READ, 0, OPEN_ALWAYS, 0),
              CQZFile::kOpened);
    EXPECT_TRUE(FileExists(TempPath("c/d/two.qzo")));
}

TEST_F(FileOpen, OverLongNamesAreRefusedNeverCut) {
    // 260 characters: cutting the last one would name "x...x" of 259, which exists.
    std::string folder = TempDir() + "/";
    std::string shorter = folder + std::string(259 - folder.size(), 'x');
    std::string longer = shorter + "y";
    ASSERT_EQ(longer.size(), 260u);
    WriteFileBytes(shorter, "the other file");

    CQZFile file;
    SetLastError(0);
    EXPECT_EQ(file.Open(System(longer).c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, 0),
              CQZFile::kOpenFailed);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(ReadFileBytes(shorter), "the other file");

    CQZFile named(System(longer).c_str());
    EXPECT_RESULT_WITH(named.Open(GENERIC_READ, 0, OPEN_ALWAYS, 0), CQZFile::kOpenFailed,
                       ERROR_FILENAME_EXCED_RANGE);

    // The 259-character name itself is fine, and a rename that would pass 259 is refused.
    CQZFile fits(System(shorter).c_str());
    EXPECT_EQ(fits.Open(GENERIC_READ, 0, OPEN_EXISTING, 0), CQZFile::kOpened);
    fits.Close();
    EXPECT_FAILS_WITH(fits.Rename(std::u16string(272, u'x').c_str()), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_TRUE(FileExists(shorter));
}

TEST_F(FileOpen, ForbiddenCharactersGiveInvalidName) {
    for (const char* name : {"a<b", "a>b", "a|b", "a\"b", "a?b", "a*b", "a:b"}) {
        CQZFile file;
        SetLastError(0);
        EXPECT_EQ(file.Open(Path(name).c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0),
                  CQZFile::kOpenFailed)
            << name;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << name;
    }
}

TEST_F(FileOpen, PathsInAnotherCaseOrWithBackslashesReachTheSameFile) {
    ASSERT_EQ(mkdir(TempPath("Obj").c_str(), 0777), 0);
    WriteFileBytes(TempPath("Obj/Data.QZO"), "stored");
    std::u16string spelled = System(TempDir()) + u"\\OBJ\\data.qzo";
    CQZFile file;
    ASSERT_EQ(file.Open(spelled.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    char bytes[16] = {};
    EXPECT_EQ(file.Read(bytes, 6), 6u);
    EXPECT_EQ(std::string(bytes, 6), "stored");
    file.Close();

    // A new name goes into the existing folder, spelled as the caller spelled the name.
    std::u16string created = System(TempDir()) + u"\\obj\\New.bin";
    ASSERT_EQ(file.Open(created.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0), CQZFile::kOpened);
    file.Close();
    EXPECT_TRUE(FileExists(TempPath("Obj/New.bin")));
    EXPECT_FALSE(FileExists(TempPath("obj")));
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

}  // namespace
