// Shell registration of file types: what lands in the classes root, foreign registrations left
// alone, and clean removal of half-made registrations when a step fails.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "qzobj/frame.h"
#include "qzobj/platform/classes_root.h"
#include "support/fixture.h"

namespace {

using namespace qzo::platform;

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

    static BOOL RegisterQzo() {
        return RegisterFileType(u".qzo", u"QZO.Object", u"Video object", u"/opt/qzo/qzo.ico,0",
                                u"\"/opt/qzo/bin/qzo\" \"%1\"");
    }
};

TEST_F(FileTypes, RegistrationWritesEveryKey) {
    ASSERT_TRUE(RegisterQzo());
    EXPECT_EQ(DefaultValue(u".QZO"), u"QZO.Object");
    EXPECT_EQ(DefaultValue(u"qzo.object"), u"Video object");
    EXPECT_EQ(DefaultValue(u"QZO.Object\\DefaultIcon"), u"/opt/qzo/qzo.ico,0");
    EXPECT_EQ(DefaultValue(u"QZO.Object/shell/open/command"), u"\"/opt/qzo/bin/qzo\" \"%1\"");
    EXPECT_TRUE(ClassesRootKeyExists(u"QZO.Object\\shell"));
    EXPECT_EQ(qzo::test::ReadFileBytes(WinDir() + "/" + kClassesRootFile),
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
    const std::string before = qzo::test::ReadFileBytes(WinDir() + "/" + kClassesRootFile);
    EXPECT_TRUE(RegisterQzo());
    EXPECT_EQ(DefaultValue(u".qzo"), u"Other.Editor");
    EXPECT_FALSE(ClassesRootKeyExists(u"QZO.Object"));
    EXPECT_EQ(qzo::test::ReadFileBytes(WinDir() + "/" + kClassesRootFile), before);
}

TEST_F(FileTypes, FailedStepRemovesWhatTheCallCreated) {
    // Eight changes make a full registration: four keys, each created and given its value.
    SetClassesRootFailureHook(&FailNthChange);
    for (int failAt = 1; failAt <= 8; ++failAt) {
        g_changes = 0;
        g_failAt = failAt;
        EXPECT_FALSE(RegisterQzo()) << "failing change " << failAt;
        SetClassesRootFailureHook(nullptr);
        EXPECT_FALSE(ClassesRootKeyExists(u".qzo")) << "failing change " << failAt;
        EXPECT_FALSE(ClassesRootKeyExists(u"QZO.Object")) << "failing change " << failAt;
        SetClassesRootFailureHook(&FailNthChange);
    }
    g_changes = 0;
    g_failAt = 9;
    EXPECT_TRUE(RegisterQzo());
    EXPECT_EQ(g_changes.load(), 8);
    SetClassesRootFailureHook(nullptr);
    EXPECT_EQ(DefaultValue(u"QZO.Object\\shell\\open\\command"), u"\"/opt/qzo/bin/qzo\" \"%1\"");
}

TEST_F(FileTypes, SharedTypeKeyOfAnotherExtensionSurvivesAFailure) {
    ASSERT_TRUE(RegisterFileType(u".qzs", u"QZO.Shared", u"Shared type", nullptr, nullptr));
    SetClassesRootFailureHook(&FailNthChange);
    g_changes = 0;
    g_failAt = 5;  // the icon key's creation
    EXPECT_FALSE(RegisterFileType(u".qzx", u"QZO.Shared", u"Shared type", u"icon", nullptr));
    SetClassesRootFailureHook(nullptr);
    EXPECT_FALSE(ClassesRootKeyExists(u".qzx"));
    EXPECT_EQ(DefaultValue(u".qzs"), u"QZO.Shared");
    EXPECT_EQ(DefaultValue(u"QZO.Shared"), u"Shared type");
}

TEST_F(FileTypes, MissingNamesAreRefused) {
    EXPECT_FALSE(RegisterFileType(nullptr, u"T", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u"", u"T", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u".x", nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u".x", u"", nullptr, nullptr, nullptr));
    EXPECT_FALSE(RegisterFileType(u".x", u"T", u"two\nlines", nullptr, nullptr));
    EXPECT_FALSE(ClassesRootKeyExists(u".x"));
}

TEST_F(FileTypes, ClassesRootKeysAndSubkeys) {
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

}  // namespace
