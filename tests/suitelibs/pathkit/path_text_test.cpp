// The pathkit's text functions: formatting (with the capacity checks that keep a path from
// running past its buffer), splitting, comparing and finding parts.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/last_error.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"

namespace {

using qzo::platform::GetLastError;
using qzo::platform::SetLastError;

std::u16string Formatted(std::u16string path, WCHAR separator) {
    WCHAR buffer[MAX_PATH] = {};
    path.copy(buffer, path.size());
    EXPECT_TRUE(FU_FormatPath(buffer, separator)) << "error " << GetLastError();
    return buffer;
}

TEST(PathFormat, SeparatorsBecomeTheGivenOneWithExactlyOneAtTheEnd) {
    EXPECT_EQ(Formatted(u"C:\\Proj\\Obj", u'/'), u"C:/Proj/Obj/");
    EXPECT_EQ(Formatted(u"a\\b/c//", u'/'), u"a/b/c/");
    EXPECT_EQ(Formatted(u"a/b/c", u'\\'), u"a\\b\\c\\");
    EXPECT_EQ(Formatted(u"/", u'/'), u"/");
    EXPECT_EQ(Formatted(u"\\\\server\\share", u'/'), u"//server/share/");
}

TEST(PathFormat, ZeroUsesSlashAndDropsTheTrailingSeparator) {
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
    SetLastError(0);
    EXPECT_FALSE(FU_FormatPathEx(buffer, 6, u'/'));  // "ab/cd/" needs 7
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
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

}  // namespace
