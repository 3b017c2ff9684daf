// The pathkit's single-entry functions: existence without case, folder chains, empty files,
// touching, file identity through links, and the 2 / 3 last-error codes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"

namespace {

namespace platform = qzo::platform;
using qzo::text::ToUtf16;

class PathFiles : public qzo::test::QzoTest {
  protected:
    std::u16string System(const std::string& below) { return ToUtf16(TempDir() + below); }
    bool SameInfo(const std::u16string& a, const std::u16string& b) {
        FU_FILEINFO first, second;
        EXPECT_TRUE(FU_GetFileInfo(a.c_str(), &first));
        EXPECT_TRUE(FU_GetFileInfo(b.c_str(), &second));
        return std::memcmp(&first, &second, sizeof first) == 0;
    }
};

TEST_F(PathFiles, ExistenceTestsFindAnyCaseAndTellFilesFromFolders) {
    ASSERT_TRUE(platform::CreateDirectories(TempPath("Proj/Obj")));
    qzo::test::WriteFileBytes(TempPath("Proj/Obj/Item.qzo"), "x");
    EXPECT_TRUE(FU_TestFileExists(System("/PROJ/OBJ/ITEM.QZO").c_str()));
    EXPECT_TRUE(FU_TestDirExists(System("\\proj\\obj\\").c_str()));
    EXPECT_FALSE(FU_TestFileExists(System("/PROJ/OBJ").c_str()));
    EXPECT_FALSE(FU_TestDirExists(System("/PROJ/OBJ/ITEM.QZO").c_str()));
    EXPECT_FALSE(FU_TestFileExists(nullptr));
    EXPECT_FALSE(FU_TestDirExists(u"C:\\Proj"));
}

TEST_F(PathFiles, MissingFileAndMissingFolderGiveTwoAndThree) {
    EXPECT_FAILS_WITH(FU_TestFileExists(System("/absent.txt").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_TestFileExists(System("/absent/file.txt").c_str()), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_CreateDirectoryEntry(System("/absent/file.txt").c_str()),
                      ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(FU_Touch(System("/absent.txt").c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(PathFiles, CreatePathAddsMissingFoldersUnderExistingSpelling) {
    ASSERT_TRUE(platform::CreateDirectories(TempPath("Proj")));
    ASSERT_TRUE(FU_CreatePath(System("/PROJ/Obj/Storage").c_str()));
    EXPECT_TRUE(platform::IsDirectory(TempPath("Proj/Obj/Storage")));
    ASSERT_TRUE(FU_CreatePath(System("/proj/obj/storage/").c_str()));  // exists: fine
    EXPECT_FALSE(platform::PathExists(TempPath("PROJ")));
    qzo::test::WriteFileBytes(TempPath("Proj/blocker"), "");
    EXPECT_FAILS_WITH(FU_CreatePath(System("/Proj/blocker/below").c_str()), ERROR_PATH_NOT_FOUND);
}

TEST_F(PathFiles, CreateDirectoryEntryKeepsAnExistingFile) {
    const std::u16string file = System("/Workgroup.wg2");
    ASSERT_TRUE(FU_CreateDirectoryEntry(file.c_str()));
    EXPECT_EQ(qzo::test::ReadFileBytes(TempPath("Workgroup.wg2")), "");
    qzo::test::WriteFileBytes(TempPath("Workgroup.wg2"), "kept");
    ASSERT_TRUE(FU_CreateDirectoryEntry(System("/WORKGROUP.WG2").c_str()));
    EXPECT_EQ(qzo::test::ReadFileBytes(TempPath("Workgroup.wg2")), "kept");
    EXPECT_FALSE(FU_CreateDirectoryEntry(ToUtf16(TempDir()).c_str()));  // a folder
}

TEST_F(PathFiles, TouchSetsTheModificationTimeToNow) {
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

TEST_F(PathFiles, FileInfoIsEqualThroughLinksAndDiffersForACopy) {
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

TEST_F(PathFiles, OverlongPathsAreRefusedNotTruncated) {
    std::u16string path = System("/") + std::u16string(300, u'x');
    EXPECT_FAILS_WITH(FU_CreatePath(path.c_str()), ERROR_FILENAME_EXCED_RANGE);
    std::u16string cut = path.substr(0, 259);
    EXPECT_FALSE(platform::PathExists(qzo::text::ToUtf8(cut)));
}

}  // namespace
