// Names and attributes of files. CQZFile's name operations: naming, renaming within the
// folder, copying with its sharing and existence rules, and deleting; each needs a closed file.
// Attributes kept in "user.qzo.attr", the archive bit, file times in full precision, find
// records, touching and free space.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>
#include <vector>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/find.h"
#include "qzobj/platform/fs.h"

namespace {

namespace platform = qzo::platform;
using platform::GetLastError;
using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::System;
using FileNames = qzo::test::files::FileTest;

TEST_F(FileNames, RenameStaysInTheFolderAndChangesCase) {
    WriteFileBytes(TempPath("old.qzo"), "content");
    CQZFile file(Path("old.qzo").c_str());
    EXPECT_TRUE(file.Rename(u"new.qzo"));
    EXPECT_EQ(std::u16string(file.GetFilename()), Path("new.qzo"));
    EXPECT_EQ(ReadFileBytes(TempPath("new.qzo")), "content");
    EXPECT_FALSE(FileExists(TempPath("old.qzo")));
    // A rename that only changes case is a rename, not a clash with itself.
    EXPECT_TRUE(file.Rename(u"NEW.QZO"));
    EXPECT_TRUE(FileExists(TempPath("NEW.QZO")));
    EXPECT_FALSE(FileExists(TempPath("new.qzo")));
}

TEST_F(FileNames, NameChangesAndCopiesNeedAClosedFile) {
    WriteFileBytes(TempPath("a.qzo"), "a");
    CQZFile file;
    ASSERT_EQ(file.Open(Path("a.qzo").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_FALSE(file.Name(u"b.qzo"));
    EXPECT_FALSE(file.Rename(u"b.qzo"));
    EXPECT_FALSE(file.Copy(Path("b.qzo").c_str(), TRUE));
    EXPECT_FALSE(file.Move(u""));
    EXPECT_EQ(std::u16string(file.GetFilename()), Path("a.qzo"));
    file.Close();
    EXPECT_TRUE(file.Name(Path("b.qzo").c_str()));
    EXPECT_EQ(std::u16string(file.GetFilename()), Path("b.qzo"));
}

TEST_F(FileNames, CopyKeepsContentAttributesAndTimesAndHonoursSharing) {
    const std::string source = TempPath("src.qzo");
    WriteFileBytes(source, "copied bytes");
    ASSERT_TRUE(platform::SetFileAttributes(System(source).c_str(),
                                            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    CQZFile file(System(source).c_str());
    FILETIME written{};
    ASSERT_TRUE(file.GetTime(nullptr, nullptr, &written));

    EXPECT_TRUE(file.Copy(Path("dst.qzo").c_str(), TRUE));
    EXPECT_EQ(ReadFileBytes(TempPath("dst.qzo")), "copied bytes");
    EXPECT_EQ(platform::GetFileAttributes(Path("dst.qzo").c_str()),
              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    CQZFile copy(Path("dst.qzo").c_str());
    FILETIME copiedTime{};
    ASSERT_TRUE(copy.GetTime(nullptr, nullptr, &copiedTime));
    EXPECT_EQ(platform::FileTimeValue(copiedTime), platform::FileTimeValue(written));

    EXPECT_FAILS_WITH(file.Copy(Path("dst.qzo").c_str(), TRUE), ERROR_FILE_EXISTS);

    // A target held open elsewhere cannot be replaced; a source that denies reading cannot be
    // read.
    CQZFile holder;
    ASSERT_EQ(holder.Open(Path("dst.qzo").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_FAILS_WITH(file.Copy(Path("dst.qzo").c_str(), FALSE), ERROR_SHARING_VIOLATION);
    holder.Close();
    ASSERT_EQ(holder.Open(System(source).c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_FAILS_WITH(file.Copy(Path("third.qzo").c_str(), FALSE), ERROR_SHARING_VIOLATION);
}

TEST_F(FileNames, DeleteClosesTheFileFirst) {
    CQZFile file;
    ASSERT_EQ(file.Open(Path("gone.qzo").c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0),
              CQZFile::kOpened);
    EXPECT_TRUE(file.Delete());
    EXPECT_EQ(file.GetStatus(), CQZFile::kStatusClosed);
    EXPECT_FALSE(FileExists(TempPath("gone.qzo")));
    EXPECT_FAILS_WITH(file.Delete(), ERROR_FILE_NOT_FOUND);
}

class FileAttributesTimes : public qzo::test::files::FileTest {
  protected:
    // The raw bytes of the extended attribute, "" when there is none.
    std::string StoredBytes(const std::string& path) const {
        char bytes[16];
        ssize_t got = getxattr(path.c_str(), "user.qzo.attr", bytes, sizeof bytes);
        return got < 0 ? "" : std::string(bytes, static_cast<size_t>(got));
    }
    DWORD Attributes(const std::string& path) const {
        return platform::GetFileAttributes(System(path).c_str());
    }
    void Create(const std::string& path) {
        CQZFile file;
        ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0),
                  CQZFile::kOpened);
    }
};

TEST_F(FileAttributesTimes, NewFilesCarryTheArchiveBitAsALittleEndianWord) {
    const std::string path = TempPath("new.qzo");
    Create(path);
    EXPECT_EQ(StoredBytes(path), std::string("\x20\x00\x00\x00", 4));
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_ARCHIVE);
    // A file made by other means has no word: it is normal.
    WriteFileBytes(TempPath("plain"), "x");
    EXPECT_EQ(Attributes(TempPath("plain")), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FileAttributesTimes, ArchiveIsSetOncePerModifyingHandle) {
    const std::string path = TempPath("doc.qzo");
    Create(path);
    ASSERT_TRUE(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(StoredBytes(path), "");
    CQZFile file;
    ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                        OPEN_EXISTING, 0),
              CQZFile::kOpened);
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_NORMAL);  // opening changes nothing
    ASSERT_EQ(file.Write("a", 1), 1u);
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_ARCHIVE);
    // Cleared while the handle stays open: its further writes leave it cleared.
    ASSERT_TRUE(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_EQ(file.Write("b", 1), 1u);
    file.Close();
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_NORMAL);
    // A new handle that changes the file sets it again.
    ASSERT_EQ(file.Open(System(path).c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpened);
    file.SetEOF(1);
    file.Close();
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FileAttributesTimes, BitsRoundTripAndFoldersShowTheirBit) {
    const std::string path = TempPath("bits.qzo");
    Create(path);
    const DWORD bits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;
    ASSERT_TRUE(platform::SetFileAttributes(System(path).c_str(), bits | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(StoredBytes(path), std::string("\x06\x01\x00\x00", 4));
    EXPECT_EQ(Attributes(path), bits);

    ASSERT_EQ(mkdir(TempPath("Folder").c_str(), 0777), 0);
    EXPECT_EQ(Attributes(TempPath("Folder")), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_TRUE(platform::SetFileAttributes(Path("folder").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(Attributes(TempPath("Folder")), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    platform::FileStatus status;
    ASSERT_TRUE(platform::GetFileStatus(TempPath("Folder"), status));
    EXPECT_EQ(status.attributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);

    EXPECT_RESULT_WITH(Attributes(TempPath("absent")), INVALID_FILE_ATTRIBUTES,
                       ERROR_FILE_NOT_FOUND);
}

TEST_F(FileAttributesTimes, ReadOnlyIsMirroredIntoTheWriteBits) {
    const std::string path = TempPath("ro.qzo");
    Create(path);
    ASSERT_TRUE(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_READONLY));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FileAttributesTimes, WithoutExtendedAttributesOnlyReadOnlyWorks) {
    const std::string path = TempPath("plain.qzo");
    WriteFileBytes(path, "x");
    platform::FileFaults faults;
    faults.noExtendedAttributes = true;
    platform::SetFileFaults(faults);
    EXPECT_TRUE(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_READONLY);
    EXPECT_FAILS_WITH(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_HIDDEN),
                      ERROR_NOT_SUPPORTED);
    CQZFile file;
    EXPECT_EQ(file.Open(System(path).c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, 0),
              CQZFile::kOpenFailed);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(platform::SetFileAttributes(System(path).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Attributes(path), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FileAttributesTimes, FileTimesRoundTripToTheHundredNanoseconds) {
    const std::string path = TempPath("times.qzo");
    Create(path);
    const FILETIME access = platform::MakeFileTime(0x01D9123456789ABFull);
    const FILETIME write = platform::MakeFileTime(0x01DA0000000F4241ull);
    const FILETIME creation = platform::MakeFileTime(0x0100000000000001ull);
    CQZFile file(System(path).c_str());
    // Closed: the object opens the file for the call.
    ASSERT_TRUE(file.SetTime(&creation, &access, &write));
    FILETIME gotCreation{}, gotAccess{}, gotWrite{};
    ASSERT_TRUE(file.GetTime(&gotCreation, &gotAccess, &gotWrite));
    EXPECT_EQ(platform::FileTimeValue(gotAccess), platform::FileTimeValue(access));
    EXPECT_EQ(platform::FileTimeValue(gotWrite), platform::FileTimeValue(write));
    // The creation time cannot be set here: it stays the birth time.
    EXPECT_NE(platform::FileTimeValue(gotCreation), platform::FileTimeValue(creation));
    EXPECT_NE(platform::FileTimeValue(gotCreation), 0u);

    // Open: the same through the handle, and the modification check at the boundary.
    ASSERT_EQ(file.Open(GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0), CQZFile::kOpened);
    const FILETIME later = platform::MakeFileTime(0x01DA0000000F4242ull);
    ASSERT_TRUE(file.SetTime(nullptr, nullptr, &later));
    ASSERT_TRUE(file.GetTime(nullptr, nullptr, &gotWrite));
    EXPECT_EQ(platform::FileTimeValue(gotWrite), platform::FileTimeValue(later));
    file.Close();
    EXPECT_TRUE(CQZFile::WasModifiedSince(System(path).c_str(), &later));
    const FILETIME after = platform::MakeFileTime(platform::FileTimeValue(later) + 1);
    EXPECT_FALSE(CQZFile::WasModifiedSince(System(path).c_str(), &after));
    EXPECT_FALSE(CQZFile::WasModifiedSince(Path("absent").c_str(), &after));

    EXPECT_TRUE(CQZFile::TouchFile(System(path).c_str()));
    EXPECT_TRUE(CQZFile::WasModifiedSince(System(path).c_str(), &after));
}

TEST_F(FileAttributesTimes, FindRecordsDescribeEachEntryFieldByField) {
    ASSERT_EQ(mkdir(TempPath("Proj").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(TempPath("Proj/Sub").c_str(), 0777), 0);
    WriteFileBytes(TempPath("Proj/Alpha.qzo"), "0123456789");
    WriteFileBytes(TempPath("Proj/beta.QZO"), "");
    WriteFileBytes(TempPath("Proj/gamma.txt"), "g");
    ASSERT_TRUE(platform::SetFileAttributes(Path("Proj/Alpha.qzo").c_str(),
                                            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    const FILETIME write = platform::MakeFileTime(0x01D9AAAABBBBCCCDull);
    ASSERT_TRUE(platform::SetFileTimes(TempPath("Proj/Alpha.qzo"), &write, &write));

    WIN32_FIND_DATAW data;
    auto find = platform::FileFind::First((System(TempDir()) + u"\\PROJ\\*.qzo").c_str(), data);
    ASSERT_TRUE(find);
    EXPECT_EQ(std::u16string(data.cFileName), u"Alpha.qzo");
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(data.nFileSizeLow, 10u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(platform::FileTimeValue(data.ftLastWriteTime), platform::FileTimeValue(write));
    EXPECT_EQ(platform::FileTimeValue(data.ftLastAccessTime), platform::FileTimeValue(write));
    EXPECT_NE(platform::FileTimeValue(data.ftCreationTime), 0u);
    EXPECT_EQ(data.cAlternateFileName[0], u'\0');
    ASSERT_TRUE(find->Next(data));
    EXPECT_EQ(std::u16string(data.cFileName), u"beta.QZO");
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(data.nFileSizeLow, 0u);
    EXPECT_FAILS_WITH(find->Next(data), ERROR_NO_MORE_FILES);

    std::vector<std::u16string> all;
    auto every = platform::FileFind::First(Path("Proj/*.*").c_str(), data);
    ASSERT_TRUE(every);
    do {
        all.push_back(data.cFileName);
        if (all.back() == u"Sub") {
            EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
        }
    } while (every->Next(data));
    EXPECT_EQ(all, (std::vector<std::u16string>{u".", u"..", u"Alpha.qzo", u"beta.QZO",
                                                u"gamma.txt", u"Sub"}));

    EXPECT_FAILS_WITH(platform::FileFind::First(Path("Proj/*.bmp").c_str(), data),
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(platform::FileFind::First(Path("None/*").c_str(), data),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(platform::MatchFileName(u"G?MMA.*", u"gamma.txt"));
    EXPECT_TRUE(platform::MatchFileName(u"*.*", u"noextension"));
    EXPECT_FALSE(platform::MatchFileName(u"*.qzo", u"a.qzs"));
}

TEST_F(FileAttributesTimes, FreeSpaceSaturatesAtThirtyTwoBits) {
    uint64_t free = 0;
    ASSERT_TRUE(platform::GetDiskFreeSpace(System(TempDir()).c_str(), free));
    const DWORD reported = CQZFile::GetFreeDiskSpace(System(TempDir()).c_str());
    if (free > 0xFFFFFFFFull)
        EXPECT_EQ(reported, 0xFFFFFFFFu);
    else
        EXPECT_EQ(reported, static_cast<DWORD>(free));
    EXPECT_EQ(CQZFile::GetFreeDiskSpace(Path("absent/deeper").c_str()), 0u);
}

}  // namespace
