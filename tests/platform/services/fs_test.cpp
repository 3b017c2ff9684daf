// File-system services: last-error codes, attributes, listings, times in full precision,
// atomic replacement and copying.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"

namespace {

namespace platform = qzo::platform;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;

class FileSystem : public qzo::test::QzoTest {};

TEST_F(FileSystem, MissingNameAndMissingFolderGiveDifferentCodes) {
    platform::FileStatus status;
    EXPECT_FAILS_WITH(platform::GetFileStatus(TempPath("absent.txt"), status),
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(platform::GetFileStatus(TempPath("absent/file.txt"), status),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(platform::DeleteFile(TempPath("absent.txt")), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(platform::CreateEmptyFile(TempPath("absent/new.txt")), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(platform::CreateDirectory(TempPath("absent/sub")), ERROR_PATH_NOT_FOUND);
    std::vector<platform::DirectoryEntry> entries;
    EXPECT_FAILS_WITH(platform::ListDirectory(TempPath("absent"), entries), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileSystem, ExistingTargetsGiveFileExistsOrAlreadyExists) {
    WriteFileBytes(TempPath("a.txt"), "a");
    WriteFileBytes(TempPath("b.txt"), "b");
    EXPECT_FAILS_WITH(platform::CopyFile(TempPath("a.txt"), TempPath("b.txt"), true),
                      ERROR_FILE_EXISTS);
    EXPECT_EQ(ReadFileBytes(TempPath("b.txt")), "b");
    EXPECT_FAILS_WITH(platform::MoveFile(TempPath("a.txt"), TempPath("b.txt")),
                      ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadFileBytes(TempPath("a.txt")), "a");
    ASSERT_TRUE(platform::CreateDirectory(TempPath("dir")));
    EXPECT_FAILS_WITH(platform::CreateDirectory(TempPath("dir")), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(platform::CreateDirectories(TempPath("dir")));
}

TEST_F(FileSystem, FoldersAndFilesRefuseTheWrongOperation) {
    ASSERT_TRUE(platform::CreateDirectories(TempPath("full/sub")));
    EXPECT_FAILS_WITH(platform::RemoveDirectory(TempPath("full")), ERROR_DIR_NOT_EMPTY);
    EXPECT_FAILS_WITH(platform::DeleteFile(TempPath("full")), ERROR_ACCESS_DENIED);
    WriteFileBytes(TempPath("file"), "x");
    EXPECT_FAILS_WITH(platform::RemoveDirectory(TempPath("file")), ERROR_DIRECTORY);
    EXPECT_FAILS_WITH(platform::CopyFile(TempPath("file"), TempPath("file"), false),
                      ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadFileBytes(TempPath("file")), "x");
}

TEST_F(FileSystem, AttributesShowFolderReadOnlyOrNormal) {
    WriteFileBytes(TempPath("plain"), "x");
    WriteFileBytes(TempPath("locked"), "x");
    ASSERT_EQ(chmod(TempPath("locked").c_str(), 0444), 0);
    platform::FileStatus status;
    ASSERT_TRUE(platform::GetFileStatus(TempPath("plain"), status));
    EXPECT_EQ(status.attributes, FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(platform::GetFileStatus(TempPath("locked"), status));
    EXPECT_EQ(status.attributes, FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(platform::GetFileStatus(TempDir(), status));
    EXPECT_EQ(status.attributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(status.isDirectory);
}

TEST_F(FileSystem, ListingIsSortedWithoutCaseAndDescribesLinks) {
    for (const char* name : {"b", "A", "c", "B2"}) WriteFileBytes(TempPath(name), "");
    ASSERT_TRUE(platform::CreateDirectory(TempPath("dir")));
    ASSERT_EQ(symlink("dir", TempPath("link").c_str()), 0);
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(platform::ListDirectory(TempDir(), entries));
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "B2", "c", "dir", "link"}));
    EXPECT_TRUE(entries[4].isDirectory && !entries[4].isSymlink);
    EXPECT_TRUE(entries[5].isDirectory && entries[5].isSymlink);
}

TEST_F(FileSystem, FileTimeConversionKeepsEveryHundredNanoseconds) {
    EXPECT_EQ(platform::FileTimeValue(platform::FileTimeFromUnix(0, 0)),
              uint64_t(platform::kFileTimeUnixEpoch));
    // 2000-01-01 00:00:00 UTC.
    EXPECT_EQ(platform::FileTimeValue(platform::FileTimeFromUnix(946684800, 0)),
              125911584000000000ull);
    EXPECT_EQ(platform::FileTimeValue(platform::FileTimeFromUnix(-20000000000, 0)), 0u);
    int64_t seconds = 0, nanoseconds = 0;
    platform::UnixFromFileTime(platform::MakeFileTime(125911584000000007ull), seconds, nanoseconds);
    EXPECT_EQ(seconds, 946684800);
    EXPECT_EQ(nanoseconds, 700);
}

TEST_F(FileSystem, SetTimesRoundTripsInFullPrecision) {
    WriteFileBytes(TempPath("f"), "x");
    const FILETIME write = platform::MakeFileTime(125911584012345677ull);
    const FILETIME access = platform::MakeFileTime(125911584098765433ull);
    ASSERT_TRUE(platform::SetFileTimes(TempPath("f"), &access, &write));
    platform::FileStatus status;
    ASSERT_TRUE(platform::GetFileStatus(TempPath("f"), status));
    EXPECT_EQ(platform::FileTimeValue(status.lastWrite), 125911584012345677ull);
    EXPECT_EQ(platform::FileTimeValue(status.lastAccess), 125911584098765433ull);
    // A null time is left alone.
    const FILETIME later = platform::MakeFileTime(125911585000000000ull);
    ASSERT_TRUE(platform::SetFileTimes(TempPath("f"), &later, nullptr));
    ASSERT_TRUE(platform::GetFileStatus(TempPath("f"), status));
    EXPECT_EQ(platform::FileTimeValue(status.lastWrite), 125911584012345677ull);
    EXPECT_FAILS_WITH(platform::SetFileTimes(TempPath("nope/f"), nullptr, &write),
                      ERROR_PATH_NOT_FOUND);
}

TEST_F(FileSystem, ReplaceContentKeepsModeAndLeavesNoTemporaryFile) {
    const std::string file = TempPath("settings.ini");
    ASSERT_TRUE(platform::ReplaceFileContent(file, "first"));
    EXPECT_EQ(ReadFileBytes(file), "first");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ASSERT_TRUE(platform::ReplaceFileContent(file, std::string("second\0x", 8)));
    EXPECT_EQ(ReadFileBytes(file), std::string("second\0x", 8));
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(platform::ListDirectory(TempDir(), entries));
    ASSERT_EQ(entries.size(), 1u);

    std::string bytes;
    ASSERT_TRUE(platform::ReadWholeFile(file, bytes));
    EXPECT_EQ(bytes, std::string("second\0x", 8));
}

TEST_F(FileSystem, ReplaceContentRefusesReadOnlyAndWritesThroughLinks) {
    const std::string file = TempPath("ro.ini");
    WriteFileBytes(file, "old");
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    EXPECT_FAILS_WITH(platform::ReplaceFileContent(file, "new"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadFileBytes(file), "old");

    WriteFileBytes(TempPath("real.ini"), "old");
    ASSERT_EQ(symlink("real.ini", TempPath("alias.ini").c_str()), 0);
    ASSERT_TRUE(platform::ReplaceFileContent(TempPath("alias.ini"), "new"));
    EXPECT_EQ(ReadFileBytes(TempPath("real.ini")), "new");
    platform::FileStatus status;
    ASSERT_TRUE(platform::GetFileStatus(TempPath("alias.ini"), status, false));
    EXPECT_TRUE(status.isSymlink);
}

TEST_F(FileSystem, CopyKeepsContentModeAndTimeMoveRenames) {
    const std::string from = TempPath("from.bin");
    WriteFileBytes(from, std::string(200000, 'q'));
    ASSERT_EQ(chmod(from.c_str(), 0600), 0);
    const FILETIME write = platform::MakeFileTime(125911584012345600ull);
    ASSERT_TRUE(platform::SetFileTimes(from, nullptr, &write));
    ASSERT_TRUE(platform::CopyFile(from, TempPath("to.bin"), true));
    EXPECT_EQ(ReadFileBytes(TempPath("to.bin")), std::string(200000, 'q'));
    platform::FileStatus source, copy;
    ASSERT_TRUE(platform::GetFileStatus(from, source));
    ASSERT_TRUE(platform::GetFileStatus(TempPath("to.bin"), copy));
    EXPECT_EQ(platform::FileTimeValue(copy.lastWrite), 125911584012345600ull);
    EXPECT_NE(copy.inode, source.inode);
    struct stat st;
    ASSERT_EQ(stat(TempPath("to.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    ASSERT_TRUE(platform::MoveFile(TempPath("to.bin"), TempPath("moved.bin")));
    EXPECT_FALSE(platform::PathExists(TempPath("to.bin")));
    EXPECT_TRUE(platform::PathExists(TempPath("moved.bin")));
    EXPECT_FAILS_WITH(platform::MoveFile(TempPath("moved.bin"), TempPath("none/moved.bin")),
                      ERROR_PATH_NOT_FOUND);
}

TEST_F(FileSystem, RemoveTreeSparesLinkTargetsAndEmptiesReadOnlyFolders) {
    ASSERT_TRUE(platform::CreateDirectories(TempPath("keep/inner")));
    WriteFileBytes(TempPath("keep/inner/precious"), "p");
    WriteFileBytes(TempPath("keep/file"), "f");
    ASSERT_TRUE(platform::CreateDirectories(TempPath("tree/locked/deep")));
    WriteFileBytes(TempPath("tree/locked/deep/x"), "x");
    ASSERT_EQ(symlink(TempPath("keep").c_str(), TempPath("tree/locked/to-folder").c_str()), 0);
    ASSERT_EQ(symlink(TempPath("keep/file").c_str(), TempPath("tree/to-file").c_str()), 0);
    ASSERT_EQ(chmod(TempPath("tree/locked").c_str(), 0555), 0);

    EXPECT_TRUE(platform::RemoveTree(TempPath("tree")));
    EXPECT_FALSE(platform::PathExists(TempPath("tree")));
    EXPECT_EQ(ReadFileBytes(TempPath("keep/inner/precious")), "p");
    EXPECT_EQ(ReadFileBytes(TempPath("keep/file")), "f");
    EXPECT_FAILS_WITH(platform::RemoveTree("/"), ERROR_ACCESS_DENIED);
}

}  // namespace
