// The private-profile functions on real files: where bare names go, golden bytes, results cut
// to the buffer, list forms, refusals, UTF-16LE files, and writes that change nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/profile.h"
#include "support/fixture.h"

namespace {

using namespace qzo::platform;
using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;

class Ini : public qzo::test::QzoTest {
  protected:
    std::string IniPath() const { return WinDir() + "/QZO.INI"; }

    // Reads through the narrow function with a 64-character buffer.
    std::string Get(const char* section, const char* key, const char* def = "<def>",
                    const char* file = "QZO.INI") {
        char buffer[64];
        const DWORD length = GetPrivateProfileStringA(section, key, def, buffer, 64, file);
        EXPECT_EQ(length, std::strlen(buffer));
        return buffer;
    }
};

// The bytes of a UTF-16LE file with its byte-order mark.
std::string Utf16LeFile(const std::u16string& text) {
    std::string raw = "\xFF\xFE";
    for (char16_t unit : text) {
        raw.push_back(static_cast<char>(unit & 0xFF));
        raw.push_back(static_cast<char>(unit >> 8));
    }
    return raw;
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Ini, BareNameLandsInTheWindowsDirectoryWithGoldenBytes) {
    // A missing file gives the default, and reads never create anything.
    EXPECT_EQ(Get("S", "k"), "<def>");
    EXPECT_EQ(Get("S", "k", nullptr), "");
    ASSERT_FALSE(FileExists(WinDir()));
    ASSERT_TRUE(WritePrivateProfileStringA("Sec", "Key", "Val", "QZO.INI"));
    EXPECT_EQ(ReadFileBytes(IniPath()), "[Sec]\r\nKey=Val\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("sec", "KEY", "New", "QZO.INI"));
    ASSERT_TRUE(WritePrivateProfileStringA("SEC", "Other", "2", "QZO.INI"));
    ASSERT_TRUE(WritePrivateProfileStringA("Next", "k", "v", "QZO.INI"));
    EXPECT_EQ(ReadFileBytes(IniPath()), "[Sec]\r\nKey=New\r\nOther=2\r\n[Next]\r\nk=v\r\n");
    EXPECT_EQ(Get("next", "K"), "v");
}

TEST_F(Ini, LfFileKeepsEveryOtherLineAfterAnEdit) {
    const std::string original =
        "; settings written by hand\n"
        "[Main]   \n"
        "alpha = 1   \n"
        "a line without equals\n"
        "# another comment\n"
        "\n"
        "beta=2\n"
        "\n"
        "[Tail]\n"
        "gamma=3\n";
    std::string path = TempPath("hand.ini");
    WriteFileBytes(path, original);
    ASSERT_TRUE(WritePrivateProfileStringA("main", "ALPHA", "10", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Main", "delta", "4", path.c_str()));
    std::string expected = original;
    expected.replace(expected.find("= 1"), 3, "= 10");
    expected.insert(expected.find("beta=2\n") + 7, "delta=4\r\n");
    EXPECT_EQ(ReadFileBytes(path), expected);
    EXPECT_EQ(Get("Main", "alpha", "", path.c_str()), "10");
    EXPECT_EQ(Get("Main", "a line without equals", "<def>", path.c_str()), "<def>");
}

TEST_F(Ini, ReadsTrimUnquoteAndCutAtSizeMinusOne) {
    WriteFileBytes(
        TempPath("r.ini"),
        "[S]\r\nplain=  hello world  \r\nquoted=\" kept \"\r\nKEY=first\r\nkey=second\r\n");
    const std::string path = TempPath("r.ini");
    EXPECT_EQ(Get("s", "PLAIN", "", path.c_str()), "hello world");
    EXPECT_EQ(Get("S", "quoted", "", path.c_str()), " kept ");
    EXPECT_EQ(Get("S", "key", "", path.c_str()), "first");

    char buffer[8];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA("S", "plain", "", buffer, 6, path.c_str()), 5u);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(buffer[6], 'X');
    EXPECT_EQ(GetPrivateProfileStringA("S", "missing", "toolong", buffer, 4, path.c_str()), 3u);
    EXPECT_STREQ(buffer, "too");

    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA("S", "plain", "", buffer, 0, path.c_str()), 0u);
    EXPECT_EQ(buffer[0], 'X');
    EXPECT_EQ(GetPrivateProfileStringA("S", "plain", "", nullptr, 8, path.c_str()), 0u);

    // A multi-byte character is never split.
    WriteFileBytes(path, "[S]\r\nu=ab\xC3\xA9\r\n");
    EXPECT_EQ(GetPrivateProfileStringA("S", "u", "", buffer, 4, path.c_str()), 2u);
    EXPECT_STREQ(buffer, "ab");
}

TEST_F(Ini, ListForms) {
    const std::string path = TempPath("l.ini");
    WriteFileBytes(path, "[One]\r\na=1\r\nb=2\r\n[Two]\r\nc=3\r\n[one]\r\nd=4\r\n");
    char buffer[32];
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 32, path.c_str()), 8u);
    EXPECT_EQ(std::string(buffer, 9), std::string("One\0Two\0\0", 9));
    EXPECT_EQ(GetPrivateProfileStringA("ONE", nullptr, "", buffer, 32, path.c_str()), 6u);
    EXPECT_EQ(std::string(buffer, 7), std::string("a\0b\0d\0\0", 7));
    // Cut: the list ends with two terminators and size-2 is returned.
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 6, path.c_str()), 4u);
    EXPECT_EQ(std::string(buffer, 7), std::string("One\0\0\0X", 7));
    // A missing file lists nothing.
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 32, "absent.ini"), 0u);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0\0", 2));
}

TEST_F(Ini, WideFunctionsRoundTrip) {
    const std::u16string path = u"Wide.INI";
    ASSERT_TRUE(WritePrivateProfileStringW(u"Sekti\u00f6n", u"Schl\u00fcssel", u"W\u00e4rt \u20ac",
                                           path.c_str()));
    WCHAR buffer[32];
    EXPECT_EQ(
        GetPrivateProfileStringW(u"SEKTI\u00f6N", u"schl\u00fcssel", u"", buffer, 32, u"wide.ini"),
        6u);
    EXPECT_EQ(std::u16string(buffer), u"W\u00e4rt \u20ac");
    EXPECT_EQ(ReadFileBytes(WinDir() + "/Wide.INI"),
              "[Sekti\xC3\xB6n]\r\nSchl\xC3\xBCssel=W\xC3\xA4rt \xE2\x82\xAC\r\n");
    EXPECT_EQ(GetPrivateProfileStringW(u"x", u"y", u"dflt", buffer, 3, path.c_str()), 2u);
    EXPECT_EQ(std::u16string(buffer), u"df");
}

TEST_F(Ini, RefusesTextThatWouldReadBackAsSomethingElse) {
    const std::string path = TempPath("refused.ini");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {nullptr, "k", "v"}, {"", "k", "v"},    {"a]b", "k", "v"}, {"a\nb", "k", "v"},
        {"s", "a=b", "v"},   {"s", "k\r", "v"}, {"s", "k", "v\n"}, {"s", "", "v"},
        {" s", "k", "v"},    {"s", "k ", "v"},  {"s", ";k", "v"},  {"s", "[k]", "v"},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, path.c_str()))
            << (c.section ? c.section : "(null)") << " / " << c.key;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(WritePrivateProfileStringW(u"s", u"k", u"v", nullptr));
}

TEST_F(Ini, DeletesKeysAndSections) {
    const std::string path = TempPath("d.ini");
    WriteFileBytes(path, "[A]\r\nx=1\r\ny=2\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("a", "X", nullptr, path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "[A]\r\ny=2\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("b", nullptr, nullptr, path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "[A]\r\ny=2\r\n");
    // Deleting from a file that does not exist creates nothing.
    ASSERT_TRUE(WritePrivateProfileStringA("a", "x", nullptr, TempPath("none.ini").c_str()));
    EXPECT_FALSE(FileExists(TempPath("none.ini")));
}

TEST_F(Ini, WriteThatChangesNothingLeavesTheFileAlone) {
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "QZO.INI"));
    const ino_t before = InodeOf(IniPath());
    const std::string bytes = ReadFileBytes(IniPath());
    ASSERT_NE(before, 0u);
    EXPECT_TRUE(WritePrivateProfileStringA("s", "K", "v", "QZO.INI"));
    EXPECT_TRUE(WritePrivateProfileStringA("S", "absent", nullptr, "QZO.INI"));
    EXPECT_TRUE(WritePrivateProfileStringA("Absent", nullptr, nullptr, "QZO.INI"));
    EXPECT_EQ(InodeOf(IniPath()), before);
    EXPECT_EQ(ReadFileBytes(IniPath()), bytes);
}

TEST_F(Ini, Utf16FileStaysUtf16) {
    const std::string path = TempPath("wide16.ini");
    WriteFileBytes(path, Utf16LeFile(u"[S]\r\nk=\u00e9t\u00e9\r\n"));
    WCHAR buffer[16];
    const std::u16string widePath(path.begin(), path.end());
    EXPECT_EQ(GetPrivateProfileStringW(u"s", u"K", u"", buffer, 16, widePath.c_str()), 3u);
    EXPECT_EQ(std::u16string(buffer), u"\u00e9t\u00e9");

    ASSERT_TRUE(WritePrivateProfileStringA("S", "n", "2", path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), Utf16LeFile(u"[S]\r\nk=\u00e9t\u00e9\r\nn=2\r\n"));
}

TEST_F(Ini, BareNameIsFoundWithoutCase) {
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "qzo.ini"));
    EXPECT_EQ(Get("S", "k", "", "QZO.INI"), "v");
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "w", "Qzo.Ini"));
    EXPECT_EQ(ReadFileBytes(WinDir() + "/qzo.ini"), "[S]\r\nk=w\r\n");
    EXPECT_FALSE(FileExists(WinDir() + "/Qzo.Ini"));
}

TEST_F(Ini, WindowsDirectoryThatCannotBeMadeFailsTheWrite) {
    WriteFileBytes(WinDir(), "a file where the folder should be");
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", "QZO.INI"));
    EXPECT_EQ(Get("S", "k"), "<def>");
}

}  // namespace
