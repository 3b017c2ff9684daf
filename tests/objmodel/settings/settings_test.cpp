// Settings: the library's tuning values in "QZO.INI" (how texts parse, when defaults are written
// back, refused names), the host's settings in "QZO.VST" (buffer handling, defaults written back,
// refused writes, a store that cannot be created at first and recovers later), CSetFile (what
// reads accept and refuse, how values are stored), shell registration of file types (foreign
// registrations left alone, half-made registrations removed when a step fails) and the
// application root.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/frame.h"
#include "qzobj/frame/settings_store.h"
#include "qzobj/inistore.h"
#include "qzobj/platform/classes_root.h"
#include "qzobj/platform/text.h"
#include "support/fixture.h"
#include "support/text.h"

namespace {

using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::Wide;
using qzo::test::WriteFileBytes;
using namespace qzo::platform;

const qzo::test::ResetHook kReleaseStore([] { qzo::frame::ReleaseSettingsStore(); });

class Settings : public qzo::test::QzoTest {
  protected:
    std::string IniPath() const { return WinDir() + "/QZO.INI"; }
    std::string StorePath() const { return WinDir() + "/QZO.VST"; }
    void WriteIni(const std::string& bytes) {
        ASSERT_EQ(mkdir(WinDir().c_str(), 0700), 0);
        WriteFileBytes(IniPath(), bytes);
    }
};

TEST_F(Settings, ProfileIntParseMatrix) {
    struct Row {
        const char* text;
        int32_t expected;
    };
    const Row rows[] = {
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
    for (size_t i = 0; i < std::size(rows); ++i)
        file += "k" + std::to_string(i) + "=" + rows[i].text + "\r\n";
    WriteIni(file);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::string key = "K" + std::to_string(i);
        EXPECT_EQ(QZOBJ_GetProfileInt("parse", key.c_str(), 99, TRUE), rows[i].expected)
            << rows[i].text;
    }
    EXPECT_EQ(ReadFileBytes(IniPath()), file);  // present values are never rewritten
}

TEST_F(Settings, ProfileIntEmptyValueCountsAsMissing) {
    const std::string file = "[S]\r\nEmpty=\r\nBlank=   \r\n";
    WriteIni(file);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Empty", 9, FALSE), 9);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Blank", -3, FALSE), -3);
    EXPECT_EQ(ReadFileBytes(IniPath()), file);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Empty", 9, TRUE), 9);
    EXPECT_EQ(QZOBJ_GetProfileInt("S", "Blank", -3, TRUE), -3);
    EXPECT_EQ(ReadFileBytes(IniPath()), "[S]\r\nEmpty=9\r\nBlank=   -3\r\n");
}

TEST_F(Settings, ProfileIntDefaultIsWrittenBackOnlyWithTheFlag) {
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

TEST_F(Settings, ProfileIntNullOrEmptyNamesGiveTheDefaultAndDeleteNothing) {
    const std::string file = "[S]\r\nk=1\r\n";
    WriteIni(file);
    const std::pair<const char*, const char*> names[] = {
        {nullptr, "k"}, {"S", nullptr}, {"", "k"}, {"S", ""}};
    for (const auto& [section, key] : names) {
        EXPECT_EQ(QZOBJ_GetProfileInt(section, key, 4, TRUE), 4);
        EXPECT_FALSE(QZOBJ_WriteProfileInt(section, key, 2));
    }
    EXPECT_EQ(ReadFileBytes(IniPath()), file);
}

constexpr WCHAR kCanary = 0xBEEF;

// A buffer of `size` characters followed by canaries, prefilled with 'X'.
std::vector<WCHAR> Guarded(size_t size) {
    std::vector<WCHAR> buffer(size + 4, kCanary);
    std::fill_n(buffer.begin(), size, u'X');
    return buffer;
}
bool CanariesIntact(const std::vector<WCHAR>& buffer, size_t size) {
    return std::all_of(buffer.begin() + size, buffer.end(), [](WCHAR c) { return c == kCanary; });
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Settings, CurrentDefaultsFitExactlyOrAreCut) {
    for (const char16_t* value : {u"1234567", u"123456789012"}) {
        auto buffer = Guarded(8);
        EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", value, buffer.data(), 8, FALSE), 7);
        EXPECT_EQ(std::u16string(buffer.data()), u"1234567");
        EXPECT_TRUE(CanariesIntact(buffer, 8));
    }
    auto buffer = Guarded(8);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"abc", buffer.data(), 0, TRUE), 0);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"abc", buffer.data(), -1, TRUE), 0);
    EXPECT_EQ(buffer[0], u'X');
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"abc", nullptr, 8, TRUE), 0);

    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", nullptr, buffer.data(), 8, FALSE), 0);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_TRUE(CanariesIntact(buffer, 8));

    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("Paths", "Last", u"/media/clips/long name.avi"));
    buffer = Guarded(6);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("paths", "LAST", u"", buffer.data(), 6, FALSE), 5);
    EXPECT_EQ(std::u16string(buffer.data()), u"/medi");
    EXPECT_TRUE(CanariesIntact(buffer, 6));
}

TEST_F(Settings, CurrentValuesRoundTripWithGoldenBytes) {
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("Host", "Title", u" Caf\u00e9 \"cut\" "));
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingInt("Host", "Width", -640));
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingBool("Host", "Maximised", 7));
    EXPECT_EQ(ReadFileBytes(StorePath()),
              "[Host]\r\nTitle=\" Caf\xC3\xA9 \"cut\" \"\r\nWidth=-640\r\nMaximised=1\r\n");
    WCHAR buffer[32];
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("Host", "Title", u"", buffer, 32, FALSE), 12);
    EXPECT_EQ(std::u16string(buffer), u" Caf\u00e9 \"cut\" ");
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("Host", "Width", 0, FALSE), -640);
    EXPECT_EQ(QZOBJ_GetCurrentSettingBool("Host", "Maximised", FALSE, FALSE), TRUE);
}

TEST_F(Settings, CurrentMissingValuesAreWrittenBackOnlyWithTheFlag) {
    WCHAR buffer[16];
    for (BOOL writeBack : {FALSE, TRUE}) {
        EXPECT_EQ(QZOBJ_GetCurrentSettingInt("D", "i", 3, writeBack), 3);
        EXPECT_EQ(QZOBJ_GetCurrentSettingBool("D", "b", BOOL(!writeBack), writeBack),
                  BOOL(!writeBack));
        EXPECT_EQ(QZOBJ_GetCurrentSettingStr("D", "s", u"x", buffer, 16, writeBack), 1);
        EXPECT_EQ(FileExists(StorePath()), bool(writeBack));
    }
    EXPECT_EQ(ReadFileBytes(StorePath()), "[D]\r\ni=3\r\nb=0\r\ns=x\r\n");
    // Unparsable values give the default.
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("D", "i", u"12abc"));
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("D", "b", u"maybe"));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("D", "i", 5, FALSE), 5);
    EXPECT_EQ(QZOBJ_GetCurrentSettingBool("D", "b", TRUE, FALSE), TRUE);
}

TEST_F(Settings, CurrentRefusedWritesLeaveTheFileUntouched) {
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingInt(nullptr, "k", 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingInt("S", nullptr, 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingBool("S]", "k", 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k=v", u"1"));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k", u"two\nlines"));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt(nullptr, "k", 8, TRUE), 8);
    EXPECT_FALSE(FileExists(StorePath()));

    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("S", "k", u"value"));
    const std::string bytes = ReadFileBytes(StorePath());
    const ino_t inode = InodeOf(StorePath());
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k", u""));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k", nullptr));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "other", u""));
    EXPECT_TRUE(QZOBJ_WriteCurrentSettingStr("S", "k", u"value"));  // same value: no rewrite
    EXPECT_EQ(ReadFileBytes(StorePath()), bytes);
    EXPECT_EQ(InodeOf(StorePath()), inode);
}

TEST_F(Settings, CurrentStoreUnavailableRecoversOnceTheWayIsClear) {
    WriteFileBytes(WinDir(), "not a folder");
    WCHAR buffer[8];
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingInt("S", "k", 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k", u"v"));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingBool("S", "k", TRUE));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("S", "k", 4, TRUE), 4);
    EXPECT_EQ(QZOBJ_GetCurrentSettingBool("S", "k", TRUE, TRUE), TRUE);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"dflt", buffer, 8, TRUE), 4);
    EXPECT_EQ(std::u16string(buffer), u"dflt");
    EXPECT_EQ(ReadFileBytes(WinDir()), "not a folder");

    ASSERT_EQ(unlink(WinDir().c_str()), 0);
    EXPECT_TRUE(QZOBJ_WriteCurrentSettingInt("S", "k", 1));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("S", "k", 4, FALSE), 1);
    EXPECT_EQ(ReadFileBytes(StorePath()), "[S]\r\nk=1\r\n");
}

TEST_F(Settings, CurrentStoreBoundByFourThreadsTogether) {
    auto key = [](int t, int i) { return "t" + std::to_string(t) + "_" + std::to_string(i); };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &key] {
            for (int i = 0; i < 25; ++i)
                QZOBJ_WriteCurrentSettingInt("Threads", key(t, i).c_str(), i);
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i)
            ASSERT_EQ(QZOBJ_GetCurrentSettingInt("Threads", key(t, i).c_str(), -1, FALSE), i)
                << key(t, i);
}

TEST_F(Settings, SetFileMissingOrEmptyKeysFailToRead) {
    const std::string path = TempPath("host.vst");
    CSetFile store(Wide(path).c_str());
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

TEST_F(Settings, SetFileIntegersAreStrictDecimalAndBooleansAcceptWordsAndDigits) {
    const std::string path = TempPath("values.vst");
    WriteFileBytes(
        path,
        "[N]\r\na=42\r\nb=-2147483648\r\nc=2147483648\r\nd=12abc\r\ne=+7\r\nf=0x1F\r\n"
        "[B]\r\nt1=1\r\nt2=TRUE\r\nt3=Yes\r\nf1=0\r\nf2=false\r\nf3=NO\r\nx=2\r\ny=on\r\n");
    CSetFile store(Wide(path).c_str());
    const std::pair<const char*, int32_t> numbers[] = {{"A", 42}, {"b", INT32_MIN}, {"e", 7}};
    for (const auto& [key, expected] : numbers) {
        int32_t value = 0;
        EXPECT_TRUE(store.ReadSettingInt("n", key, &value)) << key;
        EXPECT_EQ(value, expected) << key;
    }
    const std::pair<const char*, BOOL> flags[] = {{"t1", TRUE},  {"t2", TRUE},  {"t3", TRUE},
                                                  {"f1", FALSE}, {"f2", FALSE}, {"f3", FALSE}};
    for (const auto& [key, expected] : flags) {
        BOOL value = !expected;
        EXPECT_TRUE(store.ReadSettingBool("B", key, &value)) << key;
        EXPECT_EQ(value, expected) << key;
    }
    int32_t number = 1;
    for (const char* key : {"c", "d", "f"}) EXPECT_FALSE(store.ReadSettingInt("N", key, &number));
    EXPECT_EQ(number, 1);
    BOOL flag = 3;
    for (const char* key : {"x", "y"}) EXPECT_FALSE(store.ReadSettingBool("B", key, &flag));
    EXPECT_EQ(flag, 3);
}

TEST_F(Settings, SetFileStringsComeBackExactly) {
    const std::string path = TempPath("strings.vst");
    CSetFile store(Wide(path).c_str());
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

TEST_F(Settings, SetFileBadArgumentsFail) {
    CSetFile none(nullptr);
    EXPECT_FALSE(none.IsValid());
    EXPECT_FALSE(none.WriteSettingInt("S", "k", 1));
    const std::u16string tooLong = u"/tmp/" + std::u16string(300, u'x');
    EXPECT_FALSE(CSetFile(tooLong.c_str()).IsValid());

    const std::string path = TempPath("bad.vst");
    CSetFile store(Wide(path).c_str());
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
    EXPECT_FALSE(FileExists(path));
}

std::atomic<int> g_changes{0};
std::atomic<int> g_failAt{0};

// Fails the change whose number (from 1) is g_failAt; every other change goes through.
bool FailNthChange(ClassesRootOperation, const WCHAR*) {
    return ++g_changes == g_failAt;
}

class FileTypes : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        SetClassesRootFailureHook(nullptr);
        QzoTest::TearDown();
    }
    static std::u16string DefaultValue(const char16_t* key) {
        std::u16string value;
        return ClassesRootGetDefaultValue(key, value) ? value : u"<none>";
    }
    std::string RootFile() const { return ReadFileBytes(WinDir() + "/" + kClassesRootFile); }
    static BOOL RegisterQzo() {
        return RegisterFileType(u".qzo", u"QZO.Object", u"Video object", u"/opt/qzo/qzo.ico,0",
                                u"\"/opt/qzo/bin/qzo\" \"%1\"");
    }
    // Registers with the change numbered `failAt` failing.
    static BOOL RegisterFailingAt(int failAt, const std::function<BOOL()>& registration) {
        SetClassesRootFailureHook(&FailNthChange);
        g_changes = 0;
        g_failAt = failAt;
        const BOOL result = registration();
        SetClassesRootFailureHook(nullptr);
        return result;
    }
};

TEST_F(FileTypes, RegistrationWritesEveryKey) {
    ASSERT_TRUE(RegisterQzo());
    EXPECT_EQ(DefaultValue(u".QZO"), u"QZO.Object");
    EXPECT_EQ(DefaultValue(u"qzo.object"), u"Video object");
    EXPECT_EQ(DefaultValue(u"QZO.Object\\DefaultIcon"), u"/opt/qzo/qzo.ico,0");
    EXPECT_EQ(DefaultValue(u"QZO.Object/shell/open/command"), u"\"/opt/qzo/bin/qzo\" \"%1\"");
    EXPECT_TRUE(ClassesRootKeyExists(u"QZO.Object\\shell"));
    EXPECT_EQ(RootFile(),
              "[.qzo]\r\n@=QZO.Object\r\n"
              "[QZO.Object]\r\n@=Video object\r\n"
              "[QZO.Object\\DefaultIcon]\r\n@=/opt/qzo/qzo.ico,0\r\n"
              "[QZO.Object\\shell\\open\\command]\r\n@=\"\"/opt/qzo/bin/qzo\" \"%1\"\"\r\n");
}

TEST_F(FileTypes, OptionalPartsMayBeMissing) {
    ASSERT_TRUE(RegisterFileType(u".ids", u"QZO.IDs", nullptr, nullptr, nullptr));
    EXPECT_EQ(DefaultValue(u".ids"), u"QZO.IDs");
    EXPECT_TRUE(ClassesRootKeyExists(u"QZO.IDs"));
    EXPECT_EQ(DefaultValue(u"QZO.IDs"), u"<none>");
    EXPECT_FALSE(ClassesRootKeyExists(u"QZO.IDs\\DefaultIcon"));
}

TEST_F(FileTypes, ForeignRegistrationIsKept) {
    bool created = false;
    ASSERT_TRUE(ClassesRootCreateKey(u".qzo", &created));
    ASSERT_TRUE(created);
    ASSERT_TRUE(ClassesRootSetDefaultValue(u".qzo", u"Other.Editor"));
    const std::string before = RootFile();
    EXPECT_TRUE(RegisterQzo());
    EXPECT_EQ(DefaultValue(u".qzo"), u"Other.Editor");
    EXPECT_FALSE(ClassesRootKeyExists(u"QZO.Object"));
    EXPECT_EQ(RootFile(), before);
}

TEST_F(FileTypes, FailedStepRemovesWhatTheCallCreated) {
    // Eight changes make a full registration: four keys, each created and given its value.
    for (int failAt = 1; failAt <= 8; ++failAt) {
        SCOPED_TRACE(failAt);
        EXPECT_FALSE(RegisterFailingAt(failAt, &RegisterQzo));
        EXPECT_FALSE(ClassesRootKeyExists(u".qzo"));
        EXPECT_FALSE(ClassesRootKeyExists(u"QZO.Object"));
    }
    EXPECT_TRUE(RegisterFailingAt(9, &RegisterQzo));
    EXPECT_EQ(g_changes.load(), 8);
    EXPECT_EQ(DefaultValue(u"QZO.Object\\shell\\open\\command"), u"\"/opt/qzo/bin/qzo\" \"%1\"");
}

TEST_F(FileTypes, SharedTypeKeyOfAnotherExtensionSurvivesAFailure) {
    ASSERT_TRUE(RegisterFileType(u".qzs", u"QZO.Shared", u"Shared type", nullptr, nullptr));
    EXPECT_FALSE(RegisterFailingAt(5, [] {  // the icon key's creation
        return RegisterFileType(u".qzx", u"QZO.Shared", u"Shared type", u"icon", nullptr);
    }));
    EXPECT_FALSE(ClassesRootKeyExists(u".qzx"));
    EXPECT_EQ(DefaultValue(u".qzs"), u"QZO.Shared");
    EXPECT_EQ(DefaultValue(u"QZO.Shared"), u"Shared type");
}

TEST_F(FileTypes, MissingNamesAreRefusedAndKeysNest) {
    EXPECT_FALSE(RegisterFileType(nullptr, u"T", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u"", u"T", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u".x", nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u".x", u"", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u".x", u"T", u"two\nlines", nullptr, nullptr));
    EXPECT_FALSE(ClassesRootKeyExists(u".x"));

    bool created = false;
    ASSERT_TRUE(ClassesRootCreateKey(u"A\\B\\C", &created));
    EXPECT_TRUE(created);
    EXPECT_TRUE(ClassesRootKeyExists(u"a\\b"));
    ASSERT_TRUE(ClassesRootCreateKey(u"a/b", &created));
    EXPECT_FALSE(created);  // a parent exists while its subkey does
    EXPECT_FALSE(ClassesRootSetDefaultValue(u"Nowhere", u"x"));
    EXPECT_FALSE(ClassesRootKeyExists(u"A\\Bx"));
    ASSERT_TRUE(ClassesRootDeleteKey(u"A"));
    EXPECT_FALSE(ClassesRootKeyExists(u"A\\B\\C"));
    EXPECT_FALSE(ClassesRootDeleteKey(u"A"));
    EXPECT_FALSE(ClassesRootCreateKey(u"\\\\", &created));
}

// The application root: the folder above the one holding the library's code (here the test
// program, which links the library's objects).
TEST(AppRoot, IsTheFolderAboveTheModulesFolder) {
    EXPECT_FALSE(QZOBJ_GetAppRootDir(nullptr));
    char exe[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    std::string expected(exe, static_cast<size_t>(length));
    expected.erase(expected.rfind('/'));      // the file name
    expected.erase(expected.rfind('/') + 1);  // the module's folder, keeping its separator
    if (expected.empty()) expected = "/";

    WCHAR buffer[MAX_PATH];
    if (expected.size() >= MAX_PATH) GTEST_SKIP() << "build folder path too long";
    ASSERT_TRUE(QZOBJ_GetAppRootDir(buffer));
    EXPECT_EQ(qzo::test::Narrow(buffer), expected);
    EXPECT_EQ(buffer[qzo::text::Length(buffer) - 1], u'/');
}

}  // namespace
