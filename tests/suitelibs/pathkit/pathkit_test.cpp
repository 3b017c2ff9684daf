// The pathkit: formatting paths (with the capacity checks that keep a path from running past its
// buffer), splitting, comparing and finding parts; single entries (existence without case,
// folder chains, empty files, touching, file identity through links, the 2 / 3 last-error
// codes); and folder walks (first match, enumeration with masks and stop, size totals, deletion
// and copying, none of which ever follows a symbolic link).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "qzobj/pathkit.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"
#include "support/text.h"

namespace {

namespace platform = qzo::platform;
using platform::GetLastError;
using platform::SetLastError;
using qzo::test::Narrow;
using qzo::test::ReadFileBytes;
using qzo::test::Wide;
using qzo::test::WriteFileBytes;

// What an enumeration callback saw; it asks to stop after `stopAfter` entries.
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

class PathKit : public qzo::test::QzoTest {
  protected:
    std::u16string System(const std::string& below) { return Wide(TempDir() + below); }
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
    // The first match of a pattern below the test folder, or "<none>".
    std::u16string FirstMatch(const std::string& below, DWORD attributes = 0) {
        WCHAR pattern[MAX_PATH];
        qzo::text::Copy(pattern, MAX_PATH, System(below));
        return FU_GetFirstMatch(pattern, attributes, 0) ? pattern : u"<none>";
    }
    BOOL Enumerate(const std::string& below, Seen& seen, DWORD attributes = 0, DWORD flags = 0) {
        return FU_EnumDirectory(Record, System(below).c_str(), attributes, flags,
                                reinterpret_cast<uintptr_t>(&seen));
    }
    bool SameInfo(const std::u16string& a, const std::u16string& b) {
        FU_FILEINFO first, second;
        EXPECT_TRUE(FU_GetFileInfo(a.c_str(), &first));
        EXPECT_TRUE(FU_GetFileInfo(b.c_str(), &second));
        return std::memcmp(&first, &second, sizeof first) == 0;
    }
};

std::u16string Formatted(std::u16string path, WCHAR separator) {
    WCHAR buffer[MAX_PATH] = {};
    path.copy(buffer, path.size());
    EXPECT_TRUE(FU_FormatPath(buffer, separator)) << "error " << GetLastError();
    return buffer;
}

TEST(PathFormat, SeparatorsBecomeTheGivenOne) {
    EXPECT_EQ(Formatted(u"C:\\Proj\\Obj", u'/'), u"C:/Proj/Obj/");
    EXPECT_EQ(Formatted(u"a\\b/c//", u'/'), u"a/b/c/");
    EXPECT_EQ(Formatted(u"a/b/c", u'\\'), u"a\\b\\c\\");
    EXPECT_EQ(Formatted(u"/", u'/'), u"/");
    EXPECT_EQ(Formatted(u"\\\\server\\share", u'/'), u"//server/share/");
    // Zero uses '/' and drops the trailing separator.
    EXPECT_EQ(Formatted(u"C:\\Proj\\Obj\\", 0), u"C:/Proj/Obj");
    EXPECT_EQ(Formatted(u"a\\b\\\\", 0), u"a/b");
    EXPECT_EQ(Formatted(u"/", 0), u"/");  // the root stays
    EXPECT_EQ(Formatted(u"C:\\", 0), u"C:/");
    EXPECT_EQ(Formatted(u"", 0), u"");
    EXPECT_EQ(Formatted(u"", u'/'), u"");  // an empty path does not become the root
}

TEST(PathFormat, RefusesBadArguments) {
    EXPECT_FAILS_WITH(FU_FormatPath(nullptr, u'/'), ERROR_INVALID_PARAMETER);
    WCHAR path[8] = u"a/b";
    EXPECT_FAILS_WITH(FU_FormatPath(path, u'x'), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(std::u16string(path), u"a/b");
    WCHAR unterminated[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_FAILS_WITH(FU_FormatPathEx(unterminated, 4, u'/'), ERROR_INVALID_PARAMETER);
}

TEST(PathFormat, ResultThatDoesNotFitLeavesTheBufferUntouched) {
    // 259 characters plus a separator and the terminator would need 261 units.
    WCHAR buffer[MAX_PATH + 4];
    for (auto& c : buffer) c = u'#';
    for (int i = 0; i < 259; ++i) buffer[i] = i % 10 == 9 ? u'\\' : u'a';
    buffer[259] = 0;
    WCHAR before[MAX_PATH + 4];
    std::memcpy(before, buffer, sizeof buffer);
    EXPECT_FAILS_WITH(FU_FormatPath(buffer, u'/'), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::memcmp(before, buffer, sizeof buffer), 0);

    // With 258 characters the separator and terminator fill the 260 units exactly.
    buffer[258] = 0;
    ASSERT_TRUE(FU_FormatPath(buffer, u'/'));
    EXPECT_EQ(buffer[258], u'/');
    EXPECT_EQ(buffer[259], 0);
    EXPECT_EQ(buffer[260], u'#');
    EXPECT_EQ(buffer[9], u'/');
}

TEST(PathFormat, CapacityFormHonoursSmallBuffers) {
    WCHAR buffer[6] = u"ab\\cd";
    EXPECT_FAILS_WITH(FU_FormatPathEx(buffer, 6, u'/'), ERROR_INSUFFICIENT_BUFFER);  // needs 7
    EXPECT_EQ(std::u16string(buffer), u"ab\\cd");
    EXPECT_TRUE(FU_FormatPathEx(buffer, 6, 0));
    EXPECT_EQ(std::u16string(buffer), u"ab/cd");
    WCHAR fits[7] = u"ab\\cd";
    EXPECT_TRUE(FU_FormatPathEx(fits, 7, u'/'));
    EXPECT_EQ(std::u16string(fits), u"ab/cd/");
}

TEST(PathParse, SplitsDriveServerDirectoryNameAndExtension) {
    struct Case {
        const WCHAR* path;
        const WCHAR* prefix;
        const WCHAR* directory;
        const WCHAR* name;
        const WCHAR* extension;
    };
    for (const Case& c : {
             Case{u"C:\\Proj\\Obj\\File.Tar.qzo", u"C:", u"\\Proj\\Obj\\", u"File.Tar", u".qzo"},
             Case{u"\\\\server\\share\\dir/file", u"\\\\server\\share", u"\\dir/", u"file", u""},
             Case{u"/a/b.c/d", u"", u"/a/b.c/", u"d", u""},
             Case{u"proj/Obj/", u"", u"proj/Obj/", u"", u""},
             Case{u"a/..", u"", u"a/", u"..", u""},
         }) {
        FU_PATHPARTS parts;
        std::memset(&parts, 0x55, sizeof parts);
        ASSERT_TRUE(FU_ParsePath(c.path, &parts, 0));
        const std::u16string path = c.path;
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        EXPECT_EQ(std::u16string(parts.szPrefix), c.prefix);
        EXPECT_EQ(std::u16string(parts.szDirectory), c.directory);
        EXPECT_EQ(std::u16string(parts.szName), c.name);
        EXPECT_EQ(std::u16string(parts.szExtension), c.extension);
    }
}

TEST(PathParse, RefusesNullAndOverlongPaths) {
    FU_PATHPARTS parts;
    EXPECT_FAILS_WITH(FU_ParsePath(nullptr, &parts, 0), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(FU_ParsePath(u"a/b", nullptr, 0));
    std::u16string longPath(MAX_PATH, u'a');
    EXPECT_FAILS_WITH(FU_ParsePath(longPath.c_str(), &parts, 0), ERROR_FILENAME_EXCED_RANGE);
}

TEST(PathCompare, IgnoresCaseSeparatorKindAndTrailingSeparator) {
    EXPECT_EQ(FU_PathCompare(u"C:\\Proj\\OBJ\\", u"c:/proj/obj"), 0);
    EXPECT_EQ(FU_PathCompare(u"/a//b", u"/A/B/"), 0);
    EXPECT_EQ(FU_PathCompare(u"/caf\u00e9", u"/CAF\u00c9"), 0);
    EXPECT_LT(FU_PathCompare(u"/a/b", u"/a/c"), 0);
    EXPECT_GT(FU_PathCompare(u"/a/c", u"/A/B"), 0);
    EXPECT_NE(FU_PathCompare(u"/a/b", u"/a/bc"), 0);
    EXPECT_NE(FU_PathCompare(u"//server/x", u"/server/x"), 0);
    EXPECT_EQ(FU_PathCompare(nullptr, nullptr), 0);
    EXPECT_NE(FU_PathCompare(u"/a", nullptr), 0);
}

TEST(PathFind, PartsArePositionsInTheCallersText) {
    WCHAR path[] = u"C:\\dir.d/sub\\name.ext";
    EXPECT_EQ(FU_FindFilename(path), path + 13);
    EXPECT_EQ(FU_FindFilenameC(path), path + 13);
    EXPECT_EQ(FU_FindLastSeparator(path), path + 12);
    EXPECT_EQ(FU_FindExtension(path), path + 17);
    EXPECT_EQ(FU_FindExtensionC(u"dir.d/name"), nullptr);
    EXPECT_EQ(FU_FindFilenameC(u"dir/"), nullptr);
    const WCHAR* bare = u"name.qzs";
    EXPECT_EQ(FU_FindFilenameC(bare), bare);
    EXPECT_EQ(FU_FindExtensionC(bare), bare + 4);
    const WCHAR* drive = u"C:file";
    EXPECT_EQ(FU_FindFilenameC(drive), drive + 2);
    EXPECT_EQ(FU_FindLastSeparator(nullptr), nullptr);
    EXPECT_EQ(FU_FindExtension(nullptr), nullptr);
    EXPECT_EQ(FU_FindFilename(nullptr), nullptr);

    ASSERT_TRUE(FU_RemoveFilename(path));
    EXPECT_EQ(std::u16string(path), u"C:\\dir.d/sub\\");
    WCHAR bareName[] = u"file.txt";
    ASSERT_TRUE(FU_RemoveFilename(bareName));
    EXPECT_EQ(std::u16string(bareName), u"");
    EXPECT_FALSE(FU_RemoveFilename(nullptr));
}

// Sets the time zone for a test and restores it afterwards.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::optional<std::string> saved_;
};

TEST(PathTime, TranslatesToLocalText) {
    ScopedTimeZone zone("UTC");
    // 2000-01-02 03:04:05.9 UTC.
    const ULONGLONG value =
        125911584000000000ull + (86400ull + 3 * 3600 + 4 * 60 + 5) * 10000000ull + 9000000ull;
    FILETIME time{DWORD(value & 0xFFFFFFFFu), DWORD(value >> 32)};
    WCHAR text[20];
    ASSERT_TRUE(FU_TranslateFileTime(&time, text));
    EXPECT_EQ(std::u16string(text), u"2000-01-02 03:04:05");
    {
        ScopedTimeZone shifted("UTC-2");  // two hours east of UTC
        ASSERT_TRUE(FU_TranslateFileTime(&time, text));
        EXPECT_EQ(std::u16string(text), u"2000-01-02 05:04:05");
    }
    EXPECT_FAILS_WITH(FU_TranslateFileTime(nullptr, text), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(FU_TranslateFileTime(&time, nullptr));
    FILETIME far{0xFFFFFFFFu, 0x7FFFFFFFu};
    EXPECT_FALSE(FU_TranslateFileTime(&far, text));
}

// ---- Single entries.

TEST_F(PathKit, ExistenceTestsFindAnyCaseAndTellFilesFromFolders) {
    ASSERT_TRUE(platform::CreateDirectories(TempPath("Proj/Obj")));
    qzo::test::WriteFileBytes(TempPath("Proj/Obj/Item.qzo"), "x");
    EXPECT_TRUE(FU_TestFileExists(System("/PROJ/OBJ/ITEM.QZO").c_str()));
    EXPECT_TRUE(FU_TestDirExists(System("\\proj\\obj\\").c_str()));
    EXPECT_FALSE(FU_TestFileExists(System("/PROJ/OBJ").c_str()));
    EXPECT_FALSE(FU_TestDirExists(System("/PROJ/OBJ/ITEM.QZO").c_str()));
    EXPECT_FALSE(FU_TestFileExists(nullptr));
    EXPECT_FALSE(FU_TestDirExists(u"C:\\Proj"));
}

TEST_F(PathKit, MissingFileAndMissingFolderGiveTwoAndThree) {
    EXPECT_FAILS_WITH(FU_TestFileExists(System("/absent.txt").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_TestFileExists(System("/absent/file.txt").c_str()), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_CreateDirectoryEntry(System("/absent/file.txt").c_str()),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_Touch(System("/absent.txt").c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(PathKit, CreatePathAddsMissingFoldersUnderExistingSpelling) {
    ASSERT_TRUE(platform::CreateDirectories(TempPath("Proj")));
    ASSERT_TRUE(FU_CreatePath(System("/PROJ/Obj/Storage").c_str()));
    EXPECT_TRUE(platform::IsDirectory(TempPath("Proj/Obj/Storage")));
    ASSERT_TRUE(FU_CreatePath(System("/proj/obj/storage/").c_str()));  // exists: fine
    EXPECT_FALSE(platform::PathExists(TempPath("PROJ")));
    qzo::test::WriteFileBytes(TempPath("Proj/blocker"), "");
    EXPECT_FAILS_WITH(FU_CreatePath(System("/Proj/blocker/below").c_str()), ERROR_PATH_NOT_FOUND);
}

TEST_F(PathKit, CreateDirectoryEntryKeepsAnExistingFile) {
    const std::u16string file = System("/Workgroup.wg2");
    ASSERT_TRUE(FU_CreateDirectoryEntry(file.c_str()));
    EXPECT_EQ(qzo::test::ReadFileBytes(TempPath("Workgroup.wg2")), "");
    qzo::test::WriteFileBytes(TempPath("Workgroup.wg2"), "kept");
    ASSERT_TRUE(FU_CreateDirectoryEntry(System("/WORKGROUP.WG2").c_str()));
    EXPECT_EQ(qzo::test::ReadFileBytes(TempPath("Workgroup.wg2")), "kept");
    EXPECT_FALSE(FU_CreateDirectoryEntry(Wide(TempDir()).c_str()));  // a folder
}

TEST_F(PathKit, TouchSetsTheModificationTimeToNow) {
    qzo::test::WriteFileBytes(TempPath("f"), "x");
    const FILETIME old = platform::MakeFileTime(125911584000000000ull);  // 2000
    ASSERT_TRUE(platform::SetFileTimes(TempPath("f"), nullptr, &old));
    const uint64_t before = platform::FileTimeValue(platform::CurrentFileTime());
    ASSERT_TRUE(FU_Touch(System("/F").c_str()));
    FILETIME modified;
    ASSERT_TRUE(FU_GetLastModifyTime(System("/f").c_str(), &modified));
    // Coarse file-system clocks may round down a little: allow a second.
    EXPECT_GE(platform::FileTimeValue(modified) + 10000000ull, before);
    EXPECT_FAILS_WITH(FU_GetLastModifyTime(System("/f").c_str(), nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(PathKit, FileInfoIsEqualThroughLinksAndDiffersForACopy) {
    qzo::test::WriteFileBytes(TempPath("12345678.ProjectID"), "id");
    ASSERT_EQ(symlink(TempPath("12345678.ProjectID").c_str(), TempPath("soft").c_str()), 0);
    ASSERT_EQ(link(TempPath("12345678.ProjectID").c_str(), TempPath("hard").c_str()), 0);
    ASSERT_TRUE(platform::CopyFile(TempPath("12345678.ProjectID"), TempPath("copy"), true));
    const std::u16string original = System("/12345678.PROJECTID");
    EXPECT_TRUE(SameInfo(original, System("/soft")));
    EXPECT_TRUE(SameInfo(original, System("/hard")));
    EXPECT_FALSE(SameInfo(original, System("/copy")));

    FU_FILEINFO info;
    ASSERT_TRUE(FU_GetFileInfo(original.c_str(), &info));
    EXPECT_EQ(info.ullSize, 2u);
    EXPECT_FAILS_WITH(FU_GetFileInfo(original.c_str(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(FU_GetFileInfo(nullptr, &info));
}

TEST_F(PathKit, OverlongPathsAreRefusedNotTruncated) {
    std::u16string path = System("/") + std::u16string(300, u'x');
    EXPECT_FAILS_WITH(FU_CreatePath(path.c_str()), ERROR_FILENAME_EXCED_RANGE);
    std::u16string cut = path.substr(0, 259);
    EXPECT_FALSE(platform::PathExists(Narrow(cut)));
}

// ---- FU_GetFirstMatch

TEST_F(PathKit, FirstMatchIsTheFirstInOrderWithoutCase) {
    File("b.QZO");
    File("A.qzo");
    File("c.txt");
    Folder("0.qzo");  // a folder: not a file match
    EXPECT_EQ(FirstMatch("/*.QZO"), System("/A.qzo"));
    EXPECT_EQ(FirstMatch("/*.QZO", FILE_ATTRIBUTE_DIRECTORY), System("/0.qzo"));
    EXPECT_EQ(FirstMatch("/?.TXT"), System("/c.txt"));
    // The caller's spelling of the folder stays.
    Folder("Resource");
    File("Resource/Build.SC");
    EXPECT_EQ(FirstMatch("/RESOURCE\\*.sc"), System("/RESOURCE\\Build.SC"));
}

TEST_F(PathKit, FirstMatchFailures) {
    File("a.txt");
    WCHAR pattern[MAX_PATH];
    qzo::text::Copy(pattern, MAX_PATH, System("/*.qzo"));
    EXPECT_FAILS_WITH(FU_GetFirstMatch(pattern, 0, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(std::u16string(pattern), System("/*.qzo"));
    qzo::text::Copy(pattern, MAX_PATH, System("/absent/*.qzo"));
    EXPECT_FAILS_WITH(FU_GetFirstMatch(pattern, 0, 0), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_GetFirstMatch(nullptr, 0, 0), ERROR_INVALID_PARAMETER);
}

TEST_F(PathKit, FirstMatchThatDoesNotFitLeavesThePatternUntouched) {
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

BOOL Throwing(const WCHAR*, const WIN32_FIND_DATAW*, uintptr_t) {
    throw 42;
}

TEST_F(PathKit, EnumerationMasksFoldersAndSeesReadOnlyFiles) {
    Folder("Obj/Sub");
    File("Obj/b.Classname", 7);
    File("Obj/A.classname");
    File("Obj/Sub/c.classname");
    ASSERT_EQ(chmod(TempPath("Obj/A.classname").c_str(), 0444), 0);
    Seen files;
    ASSERT_TRUE(Enumerate("/OBJ/*.CLASSNAME", files));
    EXPECT_EQ(files.paths, (std::vector<std::u16string>{System("/OBJ/A.classname"),
                                                        System("/OBJ/b.Classname")}));
    EXPECT_EQ(files.attributes,
              (std::vector<DWORD>{FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_NORMAL}));

    Seen all;
    ASSERT_TRUE(Enumerate("/Obj/*", all, FILE_ATTRIBUTE_DIRECTORY, 0));
    EXPECT_EQ(all.paths.size(), 3u);
    EXPECT_EQ(all.attributes.back(), FILE_ATTRIBUTE_DIRECTORY);

    Seen deep;
    ASSERT_TRUE(Enumerate("/Obj/*.classname", deep, 0, FU_ENUM_RECURSIVE));
    EXPECT_EQ(deep.paths.size(), 3u);
    EXPECT_EQ(deep.paths.back(), System("/Obj/Sub/c.classname"));
}

TEST_F(PathKit, EnumerationStopsWhenTheCallbackSaysSo) {
    Folder("d");
    for (const char* name : {"d/1", "d/2", "d/3"}) File(name);
    Seen seen;
    seen.stopAfter = 2;
    SetLastError(0);
    EXPECT_FALSE(Enumerate("/d/*", seen));
    EXPECT_EQ(seen.paths.size(), 2u);
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    EXPECT_FALSE(FU_EnumDirectory(Throwing, System("/d/*").c_str(), 0, 0, 0));
    EXPECT_FALSE(FU_EnumDirectory(nullptr, System("/d/*").c_str(), 0, 0, 0));
    EXPECT_FALSE(FU_EnumDirectory(Record, nullptr, 0, 0, 0));
    Seen none;
    EXPECT_TRUE(Enumerate("/d/*.none", none));
    EXPECT_TRUE(none.paths.empty());
}

TEST_F(PathKit, StarDotStarAlsoMatchesNamesWithoutExtension) {
    Folder("p");
    File("p/Proj");
    File("p/Proj.ProjectID");
    File("p/Other.x");
    Seen seen;
    ASSERT_TRUE(Enumerate("/p/proj*.*", seen));
    EXPECT_EQ(seen.paths.size(), 2u);
    Seen every;
    ASSERT_TRUE(Enumerate("/p/*.*", every));
    EXPECT_EQ(every.paths.size(), 3u);
}

// ---- FU_ScanDir

TEST_F(PathKit, ScanTotalsSizesAndCountsWithoutEnteringLinks) {
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

TEST_F(PathKit, DeleteFilesRemovesMatchingFilesOnly) {
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

TEST_F(PathKit, RecursiveDeleteSparesTheTargetsOfLinks) {
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

TEST_F(PathKit, DeletingALinkToAFolderRemovesOnlyTheLink) {
    Folder("target");
    File("target/kept");
    ASSERT_EQ(symlink(TempPath("target").c_str(), TempPath("alias").c_str()), 0);
    ASSERT_TRUE(FU_DeleteDirectory(System("/ALIAS/").c_str(), TRUE, 0));
    EXPECT_FALSE(platform::PathExists(TempPath("alias")));
    EXPECT_TRUE(platform::PathExists(TempPath("target/kept")));
}

TEST_F(PathKit, DeletingContentByPatternKeepsTheFolder) {
    Folder("Proj/Obj/1");
    File("Proj/README.TXT");
    File("Proj/Obj/1/x.qzo");
    ASSERT_TRUE(FU_DeleteDirectory(System("/proj/*").c_str(), TRUE, 0));
    EXPECT_TRUE(platform::IsDirectory(TempPath("Proj")));
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(platform::ListDirectory(TempPath("Proj"), entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(PathKit, DeleteWithoutSubfoldersStopsAtTheFirstSubfolder) {
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

TEST_F(PathKit, CopyTakesFilesAndSubfoldersAndCopiesLinksAsLinks) {
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

TEST_F(PathKit, CopyNeverWritesThroughALinkAtTheDestination) {
    Folder("Src");
    File("Src/a.txt", 2);
    Folder("Dst");
    File("victim", 7);
    ASSERT_EQ(symlink(TempPath("victim").c_str(), TempPath("Dst/A.TXT").c_str()), 0);
    ASSERT_TRUE(FU_CopyDirectory(System("/Src").c_str(), System("/Dst").c_str(), TRUE, 0));
    EXPECT_EQ(ReadFileBytes(TempPath("victim")), "xxxxxxx");
    EXPECT_EQ(ReadFileBytes(TempPath("Dst/A.TXT")), "xx");
}

TEST_F(PathKit, CopyIntoItsOwnSubfolderEnds) {
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
