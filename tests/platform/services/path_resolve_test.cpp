// Case-insensitive path resolution: upper-cased and mixed-separator paths reach a mixed-case
// tree, new names keep the caller's spelling, and bad paths fail with the right codes.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"

namespace {

using qzo::platform::GetLastError;
using qzo::platform::ResolvePath;
using qzo::text::ToUtf16;

class PathResolve : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        ASSERT_EQ(mkdir(TempPath("Proj").c_str(), 0777), 0);
        ASSERT_EQ(mkdir(TempPath("Proj/Obj").c_str(), 0777), 0);
        qzo::test::WriteFileBytes(TempPath("Proj/Obj/Data.Txt"), "x");
    }
    std::u16string System(const std::string& below) { return ToUtf16(TempDir() + below); }
    std::string Resolve(const std::u16string& path) {
        std::string native;
        EXPECT_TRUE(ResolvePath(path, native)) << "error " << GetLastError();
        return native;
    }
};

TEST_F(PathResolve, UpperCasedPathReachesMixedCaseTree) {
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/DATA.TXT")), TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(Resolve(System("/proj/obj/data.txt")), TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/")), TempPath("Proj/Obj/"));
}

TEST_F(PathResolve, MixedSeparatorsAndRunsOfThem) {
    EXPECT_EQ(Resolve(System("\\PROJ\\obj/DATA.txt")), TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(Resolve(System("//proj\\\\OBJ//data.TXT")), TempPath("Proj/Obj/Data.Txt"));
}

TEST_F(PathResolve, NewNamesLandInTheExistingFolderWithTheCallersSpelling) {
    EXPECT_EQ(Resolve(System("/PROJ/OBJ/NewFile.Bin")), TempPath("Proj/Obj/NewFile.Bin"));
    EXPECT_EQ(Resolve(System("/proj/NewDir/SUB/x.qzo")), TempPath("Proj/NewDir/SUB/x.qzo"));
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
    bool ok = ResolvePath(u"PROJ\\OBJ\\data.txt", native);
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(native, "Proj/Obj/Data.Txt");
}

TEST_F(PathResolve, LengthLimitIsNeverTruncated) {
    std::u16string longest = System("/") + std::u16string(259 - System("/").size(), u'a');
    ASSERT_EQ(longest.size(), 259u);
    std::string native;
    EXPECT_TRUE(ResolvePath(longest, native));
    EXPECT_EQ(native.size(), 259u);

    std::u16string tooLong = longest + u'a';
    EXPECT_FAILS_WITH(ResolvePath(tooLong, native), ERROR_FILENAME_EXCED_RANGE);
    // The pointer form stops reading at the limit.
    EXPECT_FAILS_WITH(ResolvePath(tooLong.c_str(), native), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(PathResolve, BadArgumentsFailWithTheirCodes) {
    std::string native = "unchanged";
    EXPECT_FAILS_WITH(ResolvePath(static_cast<const WCHAR*>(nullptr), native),
                      ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(ResolvePath(u"", native), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(ResolvePath(u"C:\\Windows\\QZO.INI", native), ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(ResolvePath(std::u16string_view(u"a\0b", 3), native), ERROR_INVALID_NAME);
    EXPECT_EQ(native, "unchanged");
}

TEST_F(PathResolve, NameInFolderFindsAnyCase) {
    EXPECT_EQ(qzo::platform::ResolveNameInFolder(TempPath("Proj/Obj"), "DATA.TXT"),
              TempPath("Proj/Obj/Data.Txt"));
    EXPECT_EQ(qzo::platform::ResolveNameInFolder(TempPath("Proj/Obj"), "New.Txt"),
              TempPath("Proj/Obj/New.Txt"));
}

}  // namespace
