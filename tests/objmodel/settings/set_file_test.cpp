// CSetFile: what reads accept and refuse, how values are stored, and bad arguments.
#include "qzobj/inistore.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fixture.h"

namespace {

using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;

class SetFile : public qzo::test::QzoTest {
  protected:
    std::u16string WidePath(const std::string& native) const {
        return std::u16string(native.begin(), native.end());
    }
};

TEST_F(SetFile, MissingOrEmptyKeysFailToRead) {
    const std::string path = TempPath("host.vst");
    CSetFile store(WidePath(path).c_str());
    ASSERT_TRUE(store.IsValid());
    WCHAR buffer[8] = u"keep";
    int32_t number = 5;
    BOOL flag = 7;
    EXPECT_FALSE(store.ReadSettingString("S", "k", buffer, 8));  // no file yet
    WriteFileBytes(path, "[S]\r\nempty=\r\nquotedEmpty=\"\"\r\n");
    EXPECT_FALSE(store.ReadSettingString("S", "empty", buffer, 8));
    EXPECT_FALSE(store.ReadSettingString("S", "quotedEmpty", buffer, 8));
    EXPECT_FALSE(store.ReadSettingInt("S", "empty", &number));
    EXPECT_FALSE(store.ReadSettingBool("S", "absent", &flag));
    EXPECT_EQ(std::u16string(buffer), u"keep");
    EXPECT_EQ(number, 5);
    EXPECT_EQ(flag, 7);
}

TEST_F(SetFile, IntegersAreStrictDecimal) {
    const std::string path = TempPath("ints.vst");
    WriteFileBytes(path,
                   "[N]\r\na=42\r\nb=-2147483648\r\nc=2147483648\r\nd=12abc\r\ne=+7\r\nf=0x1F\r\n");
    CSetFile store(WidePath(path).c_str());
    int32_t value = 0;
    EXPECT_TRUE(store.ReadSettingInt("n", "A", &value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(store.ReadSettingInt("N", "b", &value));
    EXPECT_EQ(value, INT32_MIN);
    EXPECT_TRUE(store.ReadSettingInt("N", "e", &value));
    EXPECT_EQ(value, 7);
    value = 1;
    EXPECT_FALSE(store.ReadSettingInt("N", "c", &value));
    EXPECT_FALSE(store.ReadSettingInt("N", "d", &value));
    EXPECT_FALSE(store.ReadSettingInt("N", "f", &value));
    EXPECT_EQ(value, 1);
}

TEST_F(SetFile, BooleansAcceptWordsAndDigits) {
    const std::string path = TempPath("bools.vst");
    WriteFileBytes(
        path, "[B]\r\nt1=1\r\nt2=TRUE\r\nt3=Yes\r\nf1=0\r\nf2=false\r\nf3=NO\r\nx=2\r\ny=on\r\n");
    CSetFile store(WidePath(path).c_str());
    for (const char* key : {"t1", "t2", "t3"}) {
        BOOL value = FALSE;
        EXPECT_TRUE(store.ReadSettingBool("B", key, &value)) << key;
        EXPECT_EQ(value, TRUE) << key;
    }
    for (const char* key : {"f1", "f2", "f3"}) {
        BOOL value = TRUE;
        EXPECT_TRUE(store.ReadSettingBool("B", key, &value)) << key;
        EXPECT_EQ(value, FALSE) << key;
    }
    BOOL value = 3;
    EXPECT_FALSE(store.ReadSettingBool("B", "x", &value));
    EXPECT_FALSE(store.ReadSettingBool("B", "y", &value));
    EXPECT_EQ(value, 3);
}

TEST_F(SetFile, StringsComeBackExactly) {
    const std::string path = TempPath("strings.vst");
    CSetFile store(WidePath(path).c_str());
    const std::u16string values[] = {u"plain",    u"  padded  ", u"\"quoted\"",
                                     u"'single'", u"a=b;c",      u"\u65e5\u672c\U0001F600"};
    for (size_t i = 0; i < std::size(values); ++i) {
        const std::string key = "v" + std::to_string(i);
        ASSERT_TRUE(store.WriteSettingString("S", key.c_str(), values[i].c_str()));
        WCHAR buffer[32];
        ASSERT_TRUE(store.ReadSettingString("S", key.c_str(), buffer, 32));
        EXPECT_EQ(std::u16string(buffer), values[i]);
    }
    ASSERT_TRUE(store.WriteSettingInt("S", "n", 17));
    ASSERT_TRUE(store.WriteSettingBool("S", "f", FALSE));
    const std::string bytes = ReadFileBytes(path);
    EXPECT_NE(bytes.find("\r\nv1=\"  padded  \"\r\n"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("\r\nn=17\r\nf=0\r\n"), std::string::npos) << bytes;
}

TEST_F(SetFile, BadArgumentsFail) {
    CSetFile none(nullptr);
    EXPECT_FALSE(none.IsValid());
    EXPECT_FALSE(none.WriteSettingInt("S", "k", 1));
    const std::u16string tooLong = u"/tmp/" + std::u16string(300, u'x');
    EXPECT_FALSE(CSetFile(tooLong.c_str()).IsValid());

    const std::string path = TempPath("bad.vst");
    CSetFile store(WidePath(path).c_str());
    WCHAR buffer[4];
    int32_t number;
    BOOL flag;
    EXPECT_FALSE(store.WriteSettingString("S", "k", nullptr));
    EXPECT_FALSE(store.WriteSettingString(nullptr, "k", u"v"));
    EXPECT_FALSE(store.WriteSettingString("S", "", u"v"));
    EXPECT_FALSE(store.ReadSettingString("S", "k", nullptr, 4));
    EXPECT_FALSE(store.ReadSettingString("S", "k", buffer, 0));
    EXPECT_FALSE(store.ReadSettingInt("S", "k", nullptr));
    EXPECT_FALSE(store.ReadSettingBool(nullptr, "k", &flag));
    EXPECT_FALSE(store.ReadSettingInt("S", nullptr, &number));
    EXPECT_FALSE(qzo::test::FileExists(path));
}

}  // namespace
