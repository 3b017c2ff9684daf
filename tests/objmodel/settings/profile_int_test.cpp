// The library's tuning values in "QZO.INI": how texts parse, when defaults are written back,
// and which names are refused.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <string>

#include "qzobj/frame.h"
#include "support/fixture.h"

namespace {

using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;

class Settings : public qzo::test::QzoTest {
  protected:
    std::string IniPath() const { return WinDir() + "/QZO.INI"; }
    void WriteIni(const std::string& bytes) {
        ASSERT_EQ(mkdir(WinDir().c_str(), 0700), 0);
        WriteFileBytes(IniPath(), bytes);
    }
};

TEST_F(Settings, ProfileIntParseMatrix) {
    struct Case {
        const char* text;
        int32_t expected;
    };
    const Case cases[] = {
        {"12abc", 12},
        {"abc", 0},
        {" -7", -7},
        {"+5", 5},
        {"-", 0},
        {"- 5", 0},
        {"0x10", 0},
        {"\t 8 \t", 8},
        {"\"42\"", 42},
        {"007", 7},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999999999999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    std::string file = "[Parse]\r\n";
    for (size_t i = 0; i < std::size(cases); ++i) {
        file += "k" + std::to_string(i) + "=" + cases[i].text + "\r\n";
    }
    WriteIni(file);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string key = "K" + std::to_string(i);
        EXPECT_EQ(QZOBJ_GetProfileInt("parse", key.c_str(), 99, TRUE), cases[i].expected)
            << cases[i].text;
    }
    EXPECT_EQ(ReadFileBytes(IniPath()), file);  // present values are never rewritten
}

TEST_F(Settings, EmptyValueCountsAsMissing) {
    const std::string file = "[S]\r\nEmpty=\r\nBlank=   \r\n";
    WriteIni(file);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Empty", 9, FALSE), 9);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Blank", -3, FALSE), -3);
    EXPECT_EQ(ReadFileBytes(IniPath()), file);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Empty", 9, TRUE), 9);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Blank", -3, TRUE), -3);
    EXPECT_EQ(ReadFileBytes(IniPath()), "[S]\r\nEmpty=9\r\nBlank=   -3\r\n");
}

TEST_F(Settings, DefaultIsWrittenBackOnlyWithTheFlag) {
    EXPECT_EQ(QZOBJ_GetProfileInt("CQZObject", "MinFreeWatch", 0, FALSE), 0);
    EXPECT_FALSE(FileExists(WinDir()));
    EXPECT_EQ(QZOBJ_GetProfileInt("CQZObject", "MinFreeWatch", -12, TRUE), -12);
    EXPECT_EQ(ReadFileBytes(IniPath()), "[CQZObject]\r\nMinFreeWatch=-12\r\n");
    EXPECT_EQ(QZOBJ_GetProfileInt("cqzobject", "minfreewatch", 5, TRUE), -12);
}

TEST_F(Settings, WriteProfileIntFormatsDecimal) {
    ASSERT_TRUE(QZOBJ_WriteProfileInt("QZOUtil", "TRAPALL", INT32_MIN));
    ASSERT_TRUE(QZOBJ_WriteProfileInt("QZOUtil", "DEBUGKEYS", 1));
    EXPECT_EQ(ReadFileBytes(IniPath()), "[QZOUtil]\r\nTRAPALL=-2147483648\r\nDEBUGKEYS=1\r\n");
    EXPECT_EQ(QZOBJ_GetProfileInt("QZOUtil", "TRAPALL", 0, FALSE), INT32_MIN);
}

TEST_F(Settings, NullOrEmptyNamesGiveTheDefaultAndDeleteNothing) {
    const std::string file = "[S]\r\nk=1\r\n";
    WriteIni(file);
    EXPECT_EQ(QZOBJ_GetProfileInt(nullptr, "k", 4, TRUE), 4);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", nullptr, 4, TRUE), 4);
    EXPECT_EQ(QZOBJ_GetProfileInt("", "k", 4, TRUE), 4);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "", 4, TRUE), 4);
    EXPECT_FALSE(QZOBJ_WriteProfileInt("S", nullptr, 2));
    EXPECT_FALSE(QZOBJ_WriteProfileInt(nullptr, "k", 2));
    EXPECT_FALSE(QZOBJ_WriteProfileInt("", "k", 2));
    EXPECT_FALSE(QZOBJ_WriteProfileInt("S", "", 2));
    EXPECT_EQ(ReadFileBytes(IniPath()), file);
}

}  // namespace
