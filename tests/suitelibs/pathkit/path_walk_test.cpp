// The pathkit's folder walks: first match, enumeration with masks and stop, size totals,
// deletion and copying, none of which ever follows a symbolic link.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "qzobj/pathkit.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"

namespace {

namespace platform = qzo::platform;
using platform::GetLastError;
using platform::SetLastError;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::text::ToUtf16;
using qzo::text::ToUtf8;

class PathWalk : public qzo::test::QzoTest {
  protected:
    std::u16string System(const std::string& below) { return ToUtf16(TempDir() + below); }
    void Folder(const std::string& below) {
        ASSERT_TRUE(platform::CreateDirectories(TempPath(below)));
    }
    void File(const std::string& below, size_t size = 1) {
        WriteFileBytes(TempPath(below), std::string(size, 'x'));
    }
    std::string LinkTarget(const std::string& below) {
        char buffer[4096];
        ssize_t length = readlink(TempPath(below).c_str(), buffer, sizeof buffer);
        return length < 0 ? std::string() : std::string(buffer, size_t(length));
    }
};

// ---- FU_GetFirstMatch

TEST_F(PathWalk, FirstMatchIsTheFirstInOrderWithoutCase) {
    File("b.QZO");
    File("A.qzo");
    File("c.txt");
    Folder("0.qzo");  // a folder: not a file match
    WCHAR pattern[MAX_PATH];
    qzo::text::Copy(pattern, MAX_PATH, System("/*.QZO"));
    ASSERT_TRUE(FU_GetFirstMatch(pattern, 0, 0));
    EXPECT_EQ(std::u16string(pattern), System("/A.qzo"));

    qzo::text::Copy(pattern, MAX_PATH, System("/*.QZO"));
    ASSERT_TRUE(FU_GetFirstMatch(pattern, FILE_ATTRIBUTE_DIRECTORY, 0));
    EXPECT_EQ(std::u16string(pattern), System("/0.qzo"));

    qzo::text::Copy(pattern, MAX_PATH, System("/?.TXT"));
    ASSERT_TRUE(FU_GetFirstMatch(pattern, 0, 0));
    EXPECT_EQ(std::u16string(pattern), System("/c.txt"));
}

TEST_F(PathWalk, FirstMatchKeepsTheCallersFolderSpelling) {
    Folder("Resource");
    File("Resource/Build.SC");
    const std::string upper = "/RESOURCE\\*.sc";
    WCHAR pattern[MAX_PATH];
    qzo::text::Copy(pattern, MAX_PATH, System(upper));
    ASSERT_TRUE(FU_GetFirstMatch(pattern, 0, 0));
    EXPECT_EQ(std::u16string(pattern), System("/RESOURCE\\Build.SC"));
}

TEST_F(PathWalk, FirstMatchFailures) {
    File("a.txt");
    WCHAR pattern[MAX_PATH];
    qzo::text::Copy(pattern, MAX_PATH, System("/*.qzo"));
    EXPECT_FAILS_WITH(FU_GetFirstMatch(pattern, 0, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::u16string(pattern), System("/*.qzo"));
    qzo::text::Copy(pattern, MAX_PATH, System("/absent/*.qzo"));
    EXPECT_FAILS_WITH(FU_GetFirstMatch(pattern, 0, 0), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_GetFirstMatch(nullptr, 0, 0), ERROR_INVALID_PARAMETER);
}

TEST_F(PathWalk, FirstMatchThatDoesNotFitLeavesThePatternUntouched) {
    // A folder part of 250 characters and a matching name of 10: 260 plus the terminator.
    std::string folder = "/" + std::string(248 - TempDir().size(), 'f');
    Folder(folder.substr(1));
    File(folder.substr(1) + "/0123456789");
    WCHAR buffer[MAX_PATH + 8];
    for (auto& c : buffer) c = u'#';
    qzo::text::Copy(buffer, MAX_PATH, System(folder + "/*"));
    ASSERT_EQ(qzo::text::Length(buffer), 251u);
    WCHAR before[MAX_PATH + 8];
    std::memcpy(before, buffer, sizeof buffer);
    EXPECT_FAILS_WITH(FU_GetFirstMatch(buffer, 0, 0), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::memcmp(before, buffer, sizeof buffer), 0);

    // The same search with one more unit of room succeeds and fills it exactly.
    ASSERT_TRUE(FU_GetFirstMatchEx(buffer, MAX_PATH + 1, 0, 0));
    EXPECT_EQ(qzo::text::Length(buffer), 260u);
    EXPECT_EQ(buffer[MAX_PATH + 1], u'#');
}

// ---- FU_EnumDirectory

struct Seen {
    std::vector<std::u16string> paths;
    std::vector<DWORD> attributes;
    size_t stopAfter = 0;
};

BOOL Record(const WCHAR* path, const WIN32_FIND_DATAW* entry, uintptr_t context) {
    auto* seen = reinterpret_cast<Seen*>(context);
    seen->paths.push_back(path);
    seen->attributes.push_back(entry->dwFileAttributes);
    EXPECT_EQ(std::u16string(entry->cFileName),
              std::u16string(path).substr(std::u16string(path).find_last_of(u"/\\") + 1));
    return seen->stopAfter == 0 || seen->paths.size() < seen->stopAfter;
}

BOOL Throwing(const WCHAR*, const WIN32_FIND_DATAW*, uintptr_t) {
    throw 42;
}

TEST_F(PathWalk, EnumerationMasksFoldersAndSeesReadOnlyFiles) {
    Folder("Obj/Sub");
    File("Obj/b.Classname", 7);
    File("Obj/A.classname");
    File("Obj/Sub/c.classname");
    ASSERT_EQ(chmod(TempPath("Obj/A.classname").c_str(), 0444), 0);
    Seen files;
    ASSERT_TRUE(FU_EnumDirectory(Record, System("/OBJ/*.CLASSNAME").c_str(), 0, 0,
                                 reinterpret_cast<uintptr_t>(&files)));
    EXPECT_EQ(files.paths, (std::vector<std::u16string>{System("/OBJ/A.classname"),
                                                        System("/OBJ/b.Classname")}));
    EXPECT_EQ(files.attributes,
              (std::vector<DWORD>{FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_NORMAL}));

    Seen all;
    ASSERT_TRUE(FU_EnumDirectory(Record, System("/Obj/*").c_str(), FILE_ATTRIBUTE_DIRECTORY, 0,
                                 reinterpret_cast<uintptr_t>(&all)));
    EXPECT_EQ(all.paths.size(), 3u);
    EXPECT_EQ(all.attributes.back(), FILE_ATTRIBUTE_DIRECTORY);

    Seen deep;
    ASSERT_TRUE(FU_EnumDirectory(Record, System("/Obj/*.classname").c_str(), 0, FU_ENUM_RECURSIVE,
                                 reinterpret_cast<uintptr_t>(&deep)));
    EXPECT_EQ(deep.paths.size(), 3u);
    EXPECT_EQ(deep.paths.back(), System("/Obj/Sub/c.classname"));
}

TEST_F(PathWalk, EnumerationStopsWhenTheCallbackSaysSo) {
    Folder("d");
    for (const char* name : {"d/1", "d/2", "d/3"}) File(name);
    Seen seen;
    seen.stopAfter = 2;
    SetLastError(0);
    EXPECT_FALSE(
        FU_EnumDirectory(Record, System("/d/*").c_str(), 0, 0, reinterpret_cast<uintptr_t>(&seen)));
    EXPECT_EQ(seen.paths.size(), 2u);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    EXPECT_FALSE(FU_EnumDirectory(Throwing, System("/d/*").c_str(), 0, 0, 0));
    EXPECT_FALSE(FU_EnumDirectory(nullptr, System("/d/*").c_str(), 0, 0, 0));
    EXPECT_FALSE(FU_EnumDirectory(Record, nullptr, 0, 0, 0));
    Seen none;
    EXPECT_TRUE(FU_EnumDirectory(Record, System("/d/*.none").c_str(), 0, 0,
                                 reinterpret_cast<uintptr_t>(&none)));
    EXPECT_TRUE(none.paths.empty());
}

TEST_F(PathWalk, StarDotStarAlsoMatchesNamesWithoutExtension) {
    Folder("p");
    File("p/Proj");
    File("p/Proj.ProjectID");
    File("p/Other.x");
    Seen seen;
    ASSERT_TRUE(FU_EnumDirectory(Record, System("/p/proj*.*").c_str(), 0, 0,
                                 reinterpret_cast<uintptr_t>(&seen)));
    EXPECT_EQ(seen.paths.size(), 2u);
    Seen every;
    ASSERT_TRUE(FU_EnumDirectory(Record, System("/p/*.*").c_str(), 0, 0,
                                 reinterpret_cast<uintptr_t>(&every)));
    EXPECT_EQ(every.paths.size(), 3u);
}

// ---- FU_ScanDir

TEST_F(PathWalk, ScanTotalsSizesAndCountsWithoutEnteringLinks) {
    Folder("Recycle/OBJ/00000001");
    Folder("outside");
    File("Recycle/a.qzo", 10);
    File("Recycle/b.qzo", 20);
    File("Recycle/OBJ/00000001/c.qzo", 30);
    File("outside/huge", 1000);
    ASSERT_EQ(symlink(TempPath("outside").c_str(), TempPath("Recycle/link").c_str()), 0);
    ULONGLONG total = 0;
    DWORD count = 0;
    ASSERT_TRUE(FU_ScanDir(System("/recycle/*.*").c_str(), 0, &total, &count));
    EXPECT_EQ(total, 30u);
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(FU_ScanDir(System("/recycle/*.*").c_str(), FU_ENUM_RECURSIVE, &total, &count));
    EXPECT_EQ(total, 60u);
    EXPECT_EQ(count, 3u);
    EXPECT_FAILS_WITH(FU_ScanDir(System("/absent/*.*").c_str(), 0, &total, &count),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(FU_ScanDir(System("/recycle/*").c_str(), 0, nullptr, &count));
}

// ---- FU_DeleteFiles and FU_DeleteDirectory

TEST_F(PathWalk, DeleteFilesRemovesMatchingFilesOnly) {
    Folder("w/sub.wg2");
    File("w/ALPHA.wg2");
    File("w/beta.WG2");
    File("w/keep.txt");
    ASSERT_TRUE(FU_DeleteFiles(System("/W/*.wg2").c_str()));
    EXPECT_FALSE(platform::PathExists(TempPath("w/ALPHA.wg2")));
    EXPECT_FALSE(platform::PathExists(TempPath("w/beta.WG2")));
    EXPECT_TRUE(platform::PathExists(TempPath("w/keep.txt")));
    EXPECT_TRUE(platform::IsDirectory(TempPath("w/sub.wg2")));
    EXPECT_FALSE(FU_DeleteFiles(nullptr));
}

TEST_F(PathWalk, RecursiveDeleteSparesTheTargetsOfLinks) {
    Folder("precious/inner");
    File("precious/inner/data", 5);
    File("precious.txt", 3);
    Folder("Proj/Obj/Deep");
    File("Proj/Obj/Deep/x.qzo");
    ASSERT_EQ(symlink(TempPath("precious").c_str(), TempPath("Proj/Obj/to-folder").c_str()), 0);
    ASSERT_EQ(symlink(TempPath("precious.txt").c_str(), TempPath("Proj/to-file").c_str()), 0);

    ASSERT_TRUE(FU_DeleteDirectory(System("/PROJ").c_str(), TRUE, 0));
    EXPECT_FALSE(platform::PathExists(TempPath("Proj")));
    EXPECT_EQ(ReadFileBytes(TempPath("precious/inner/data")), "xxxxx");
    EXPECT_EQ(ReadFileBytes(TempPath("precious.txt")), "xxx");
}

TEST_F(PathWalk, DeletingALinkToAFolderRemovesOnlyTheLink) {
    Folder("target");
    File("target/kept");
    ASSERT_EQ(symlink(TempPath("target").c_str(), TempPath("alias").c_str()), 0);
    ASSERT_TRUE(FU_DeleteDirectory(System("/ALIAS/").c_str(), TRUE, 0));
    EXPECT_FALSE(platform::PathExists(TempPath("alias")));
    EXPECT_TRUE(platform::PathExists(TempPath("target/kept")));
}

TEST_F(PathWalk, DeletingContentByPatternKeepsTheFolder) {
    Folder("Proj/Obj/1");
    File("Proj/README.TXT");
    File("Proj/Obj/1/x.qzo");
    ASSERT_TRUE(FU_DeleteDirectory(System("/proj/*").c_str(), TRUE, 0));
    EXPECT_TRUE(platform::IsDirectory(TempPath("Proj")));
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(platform::ListDirectory(TempPath("Proj"), entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(PathWalk, DeleteWithoutSubfoldersStopsAtTheFirstSubfolder) {
    Folder("d/sub");
    File("d/file");
    File("d/sub/inner");
    EXPECT_FAILS_WITH(FU_DeleteDirectory(System("/d").c_str(), FALSE, 0), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(platform::PathExists(TempPath("d/file")));
    EXPECT_TRUE(platform::PathExists(TempPath("d/sub/inner")));
    File("plain");
    EXPECT_FAILS_WITH(FU_DeleteDirectory(System("/plain").c_str(), TRUE, 0), ERROR_DIRECTORY);
    EXPECT_FALSE(FU_DeleteDirectory(u"/", TRUE, 0));
    EXPECT_FALSE(FU_DeleteDirectory(nullptr, TRUE, 0));
}

// ---- FU_CopyDirectory

TEST_F(PathWalk, CopyTakesFilesAndSubfoldersAndCopiesLinksAsLinks) {
    Folder("outside");
    File("outside/big", 100);
    Folder("Src/Obj/1");
    File("Src/a.txt", 2);
    File("Src/Obj/1/b.qzo", 3);
    ASSERT_EQ(symlink(TempPath("outside").c_str(), TempPath("Src/Obj/to-folder").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", TempPath("Src/to-file").c_str()), 0);

    ASSERT_TRUE(FU_CopyDirectory(System("/SRC/*.*").c_str(), System("/Dst/New").c_str(), TRUE, 0));
    EXPECT_EQ(ReadFileBytes(TempPath("Dst/New/a.txt")), "xx");
    EXPECT_EQ(ReadFileBytes(TempPath("Dst/New/Obj/1/b.qzo")), "xxx");
    EXPECT_EQ(LinkTarget("Dst/New/Obj/to-folder"), TempPath("outside"));
    EXPECT_EQ(LinkTarget("Dst/New/to-file"), "a.txt");
    platform::FileStatus status;
    ASSERT_TRUE(platform::GetFileStatus(TempPath("Dst/New/Obj/to-folder"), status, false));
    EXPECT_TRUE(status.isSymlink);

    ASSERT_TRUE(FU_CopyDirectory(System("/src").c_str(), System("/Flat").c_str(), FALSE, 0));
    EXPECT_TRUE(platform::PathExists(TempPath("Flat/a.txt")));
    EXPECT_FALSE(platform::PathExists(TempPath("Flat/Obj")));
}

TEST_F(PathWalk, CopyNeverWritesThroughALinkAtTheDestination) {
    Folder("Src");
    File("Src/a.txt", 2);
    Folder("Dst");
    File("victim", 7);
    ASSERT_EQ(symlink(TempPath("victim").c_str(), TempPath("Dst/A.TXT").c_str()), 0);
    ASSERT_TRUE(FU_CopyDirectory(System("/Src").c_str(), System("/Dst").c_str(), TRUE, 0));
    EXPECT_EQ(ReadFileBytes(TempPath("victim")), "xxxxxxx");
    EXPECT_EQ(ReadFileBytes(TempPath("Dst/A.TXT")), "xx");
}

TEST_F(PathWalk, CopyIntoItsOwnSubfolderEnds) {
    Folder("Tree/Sub");
    File("Tree/f");
    ASSERT_TRUE(
        FU_CopyDirectory(System("/Tree").c_str(), System("/Tree/Sub/Copy").c_str(), TRUE, 0));
    EXPECT_TRUE(platform::PathExists(TempPath("Tree/Sub/Copy/f")));
    EXPECT_TRUE(platform::IsDirectory(TempPath("Tree/Sub/Copy/Sub")));
    EXPECT_FALSE(platform::PathExists(TempPath("Tree/Sub/Copy/Sub/Copy")));
    EXPECT_FAILS_WITH(FU_CopyDirectory(System("/Tree").c_str(), System("/TREE/").c_str(), TRUE, 0),
                      ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FU_CopyDirectory(nullptr, System("/x").c_str(), TRUE, 0));
    EXPECT_FALSE(FU_CopyDirectory(System("/Tree").c_str(), nullptr, TRUE, 0));
}

}  // namespace
