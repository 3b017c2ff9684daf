// The platform's file-system services: last-error codes, attributes, listings, times in full
// precision, atomic replacement and copying; the lock file; case-insensitive path resolution;
// and where the Windows directory lies ($QZO_WINDIR, else $XDG_CONFIG_HOME/qzobju, else
// $HOME/.config/qzobju, read anew on every call; the real home is never touched).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "qzobj/platform/windir.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"

namespace {

namespace platform = qzo::platform;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;

class FileSystem : public qzo::test::QzoTest {};

TEST_F(FileSystem, RefusalsGiveTheirCodes) {
    // A missing name and a missing folder give different codes.
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

    // Existing targets give "file exists" or "already exists" and change nothing.
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

    // Folders and files refuse the operations of the other kind.
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

using FileLockTest = FileSystem;

TEST_F(FileLockTest, SecondThreadWaitsUntilTheFirstReleases) {
    const std::string path = TempPath("store.lck");
    std::atomic<bool> secondHolds{false};
    std::atomic<bool> firstReleased{false};
    std::atomic<bool> overlap{false};
    auto first = std::make_unique<platform::FileLock>(path);
    ASSERT_TRUE(first->held());

    std::thread second([&] {
        platform::FileLock lock(path);
        if (!firstReleased) overlap = true;
        secondHolds = lock.held();
    });
    // Closing another descriptor of the lock file must not drop the first holder's lock.
    int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    close(other);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(secondHolds.load());
    firstReleased = true;
    first.reset();
    second.join();
    EXPECT_TRUE(secondHolds.load());
    EXPECT_FALSE(overlap.load());
}

TEST_F(FileLockTest, MissingFolderFailsWithPathNotFound) {
    platform::SetLastError(0);
    platform::FileLock lock(TempPath("absent/store.lck"));
    EXPECT_FALSE(lock.held());
    EXPECT_EQ(platform::GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileLockTest, LockFileIsCreatedAndLeftInPlace) {
    {
        platform::FileLock lock(TempPath("made.lck"));
        EXPECT_TRUE(lock.held());
    }
    EXPECT_TRUE(platform::PathExists(TempPath("made.lck")));
    platform::FileLock again(TempPath("made.lck"));
    EXPECT_TRUE(again.held());
}

class PathResolve : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        ASSERT_EQ(mkdir(TempPath("Proj").c_str(), 0777), 0);
        ASSERT_EQ(mkdir(TempPath("Proj/Obj").c_str(), 0777), 0);
        WriteFileBytes(TempPath("Proj/Obj/Data.Txt"), "x");
    }
    std::u16string System(const std::string& below) {
        return qzo::text::ToUtf16(TempDir() + below);
    }
    std::string Resolve(const std::u16string& path) {
        std::string native;
        EXPECT_TRUE(platform::ResolvePath(path, native)) << "error " << platform::GetLastError();
        return native;
    }
};

TEST_F(PathResolve, CaseAndSeparatorsDoNotMatterAndNewNamesKeepTheCallersSpelling) {
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/DATA.TXT")), TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(Resolve(System("/proj/obj/data.txt")), TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/")), TempPath("Proj/Obj/"));
    EXPECT_EQ(Resolve(System("\\PROJ\\obj/DATA.txt")), TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(Resolve(System("//proj\\\\OBJ//data.TXT")), TempPath("Proj/Obj/Data.Txt"));
    // New names land in the existing folder, spelled as the caller spelled them.
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/NewFile.Bin")), TempPath("Proj/Obj/NewFile.Bin"));
    EXPECT_EQ(Resolve(System("/proj/NewDir/SUB/x.qzo")), TempPath("Proj/NewDir/SUB/x.qzo"));
    EXPECT_EQ(platform::ResolveNameInFolder(TempPath("Proj/Obj"), "DATA.TXT"),
              TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(platform::ResolveNameInFolder(TempPath("Proj/Obj"), "New.Txt"),
              TempPath("Proj/Obj/New.Txt"));
}

TEST_F(PathResolve, ExactSpellingWinsAndAmbiguityResolvesTheSameWayEveryTime) {
    ASSERT_EQ(mkdir(TempPath("Proj/OBJ").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(TempPath("Proj/obj").c_str(), 0777), 0);
    EXPECT_EQ(Resolve(System("/Proj/obj")), TempPath("Proj/obj"));
    EXPECT_EQ(Resolve(System("/Proj/Obj")), TempPath("Proj/Obj"));
    // "oBJ" exists in three spellings, none exact: the byte-wise smallest is taken.
    EXPECT_EQ(Resolve(System("/Proj/oBJ")), TempPath("Proj/OBJ"));
}

TEST_F(PathResolve, ARenamedEntryIsFoundInItsNewSpellingNeverTheRememberedOne) {
    // The first lookups remember "Proj" and "Obj" for these folded names.
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/DATA.TXT")), TempPath("Proj/Obj/Data.Txt"));
    ASSERT_EQ(rename(TempPath("Proj/Obj").c_str(), TempPath("Proj/oBj").c_str()), 0);
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/DATA.TXT")), TempPath("Proj/oBj/Data.Txt"));
    ASSERT_EQ(rename(TempPath("Proj/oBj").c_str(), TempPath("Proj/Other").c_str()), 0);
    // Gone under every spelling: the caller's spelling is kept from there on.
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/DATA.TXT")), TempPath("Proj/OBJ/DATA.TXT"));
}

TEST_F(PathResolve, RelativePathsResolveAgainstTheCurrentFolder) {
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(TempDir().c_str()), 0);
    std::string native;
    bool ok = platform::ResolvePath(u"PROJ\\OBJ\\data.txt", native);
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(native, "Proj/Obj/Data.Txt");
}

TEST_F(PathResolve, LengthLimitIsNeverTruncated) {
    std::u16string longest = System("/") + std::u16string(259 - System("/").size(), u'a');
    ASSERT_EQ(longest.size(), 259u);
    std::string native;
    EXPECT_TRUE(platform::ResolvePath(longest, native));
    EXPECT_EQ(native.size(), 259u);

    std::u16string tooLong = longest + u'a';
    EXPECT_FAILS_WITH(platform::ResolvePath(tooLong, native), ERROR_FILENAME_EXCED_RANGE);
    // The pointer form stops reading at the limit.
    EXPECT_FAILS_WITH(platform::ResolvePath(tooLong.c_str(), native), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(PathResolve, BadArgumentsFailWithTheirCodes) {
    std::string native = "unchanged";
    EXPECT_FAILS_WITH(platform::ResolvePath(static_cast<const WCHAR*>(nullptr), native),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(platform::ResolvePath(u"", native), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(platform::ResolvePath(u"C:\\Windows\\QZO.INI", native), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(platform::ResolvePath(std::u16string_view(u"a\0b", 3), native),
                      ERROR_INVALID_NAME);
    EXPECT_EQ(native, "unchanged");
}

// Sets or removes an environment variable for the scope of a test.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        if (saved_) {
            setenv(name_.c_str(), saved_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

using WindowsDirectory = FileSystem;

TEST_F(WindowsDirectory, ExplicitFolderComesFirstAndIsReadOnEveryCall) {
    ScopedEnvironment config("XDG_CONFIG_HOME", TempPath("config").c_str());
    {
        ScopedEnvironment windir("QZO_WINDIR", (TempPath("win") + "//").c_str());
        EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("win"));
    }
    ScopedEnvironment windir("QZO_WINDIR", TempPath("two").c_str());
    EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("two"));
}

TEST_F(WindowsDirectory, ConfigHomeThenHomeAreTheFallbacks) {
    ScopedEnvironment windir("QZO_WINDIR", nullptr);
    ScopedEnvironment home("HOME", TempPath("home").c_str());
    {
        ScopedEnvironment config("XDG_CONFIG_HOME", TempPath("config").c_str());
        EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("config") + "/qzobju");
    }
    {
        ScopedEnvironment config("XDG_CONFIG_HOME", "relative/config");  // ignored: not absolute
        EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("home") + "/.config/qzobju");
    }
    ScopedEnvironment config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("home") + "/.config/qzobju");
    EXPECT_TRUE(platform::EnsureWindowsDirectory());
    EXPECT_TRUE(platform::IsDirectory(TempPath("home") + "/.config/qzobju"));
}

TEST_F(WindowsDirectory, SystemFormAndBufferSizes) {
    ScopedEnvironment windir("QZO_WINDIR", "/tmp/Qzo Win");
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(platform::GetWindowsDirectory(buffer, MAX_PATH), 12u);
    EXPECT_EQ(std::u16string(buffer), u"/tmp/Qzo Win");
    WCHAR small[12];
    small[0] = u'#';
    EXPECT_EQ(platform::GetWindowsDirectory(small, 12), 13u);  // the size needed
    EXPECT_EQ(small[0], u'#');
    EXPECT_EQ(platform::GetWindowsDirectory(nullptr, 0), 13u);
    WCHAR exact[13];
    EXPECT_EQ(platform::GetWindowsDirectory(exact, 13), 12u);
}

TEST_F(WindowsDirectory, EnsureCreatesParentsAndFilesResolveWithoutCase) {
    ScopedEnvironment windir("QZO_WINDIR", TempPath("a/b/windows").c_str());
    EXPECT_FALSE(platform::IsDirectory(TempPath("a/b/windows")));
    ASSERT_TRUE(platform::EnsureWindowsDirectory());
    EXPECT_TRUE(platform::IsDirectory(TempPath("a/b/windows")));
    EXPECT_EQ(platform::WindowsDirectoryFile("QZO.INI"), TempPath("a/b/windows/QZO.INI"));
    WriteFileBytes(TempPath("a/b/windows/qzo.ini"), "");
    EXPECT_EQ(platform::WindowsDirectoryFile("QZO.INI"), TempPath("a/b/windows/qzo.ini"));
}

}  // namespace
