// The host's settings in "QZO.VST": buffer handling, defaults written back, refused writes, and
// a store that cannot be created at first and recovers later.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "qzobj/frame.h"
#include "qzobj/frame/settings_store.h"
#include "support/fixture.h"

namespace {

using qzo::test::FileExists;
using qzo::test::ReadFileBytes;

const qzo::test::ResetHook kReleaseStore([] { qzo::frame::ReleaseSettingsStore(); });

constexpr WCHAR kCanary = 0xBEEF;

class CurrentSettings : public qzo::test::QzoTest {
  protected:
    std::string StorePath() const { return WinDir() + "/QZO.VST"; }

    // A buffer of `size` characters followed by canaries, prefilled with 'X'.
    std::vector<WCHAR> Guarded(size_t size) {
        std::vector<WCHAR> buffer(size + 4, kCanary);
        std::fill_n(buffer.begin(), size, u'X');
        return buffer;
    }
    static bool CanariesIntact(const std::vector<WCHAR>& buffer, size_t size) {
        for (size_t i = size; i < buffer.size(); ++i) {
            if (buffer[i] != kCanary) return false;
        }
        return true;
    }
};

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(CurrentSettings, DefaultsFitExactlyOrAreCut) {
    auto buffer = Guarded(8);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"1234567", buffer.data(), 8, FALSE), 7);
    EXPECT_EQ(std::u16string(buffer.data()), u"1234567");
    EXPECT_TRUE(CanariesIntact(buffer, 8));

    buffer = Guarded(8);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"123456789012", buffer.data(), 8, FALSE), 7);
    EXPECT_EQ(std::u16string(buffer.data()), u"1234567");
    EXPECT_TRUE(CanariesIntact(buffer, 8));

    buffer = Guarded(8);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"abc", buffer.data(), 0, TRUE), 0);
    EXPECT_EQ(buffer[0], u'X');
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"abc", buffer.data(), -1, TRUE), 0);
    EXPECT_EQ(buffer[0], u'X');
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", u"abc", nullptr, 8, TRUE), 0);

    buffer = Guarded(8);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("S", "k", nullptr, buffer.data(), 8, FALSE), 0);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_TRUE(CanariesIntact(buffer, 8));
}

TEST_F(CurrentSettings, StoredValueIsCutToTheBuffer) {
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("Paths", "Last", u"/media/clips/long name.avi"));
    auto buffer = Guarded(6);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("paths", "LAST", u"", buffer.data(), 6, FALSE), 5);
    EXPECT_EQ(std::u16string(buffer.data()), u"/medi");
    EXPECT_TRUE(CanariesIntact(buffer, 6));
}

TEST_F(CurrentSettings, ValuesRoundTripWithGoldenBytes) {
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

TEST_F(CurrentSettings, MissingValuesAreWrittenBackOnlyWithTheFlag) {
    WCHAR buffer[16];
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("D", "i", 3, FALSE), 3);
    EXPECT_EQ(QZOBJ_GetCurrentSettingBool("D", "b", TRUE, FALSE), TRUE);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("D", "s", u"x", buffer, 16, FALSE), 1);
    EXPECT_FALSE(FileExists(StorePath()));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("D", "i", 3, TRUE), 3);
    EXPECT_EQ(QZOBJ_GetCurrentSettingBool("D", "b", FALSE, TRUE), FALSE);
    EXPECT_EQ(QZOBJ_GetCurrentSettingStr("D", "s", u"x", buffer, 16, TRUE), 1);
    EXPECT_EQ(ReadFileBytes(StorePath()), "[D]\r\ni=3\r\nb=0\r\ns=x\r\n");
}

TEST_F(CurrentSettings, UnparsableValuesGiveTheDefault) {
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("D", "i", u"12abc"));
    ASSERT_TRUE(QZOBJ_WriteCurrentSettingStr("D", "b", u"maybe"));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt("D", "i", 5, FALSE), 5);
    EXPECT_EQ(QZOBJ_GetCurrentSettingBool("D", "b", TRUE, FALSE), TRUE);
}

TEST_F(CurrentSettings, EmptyWriteLeavesTheFileUntouched) {
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

TEST_F(CurrentSettings, RefusedNames) {
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingInt(nullptr, "k", 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingInt("S", nullptr, 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingBool("S]", "k", 1));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k=v", u"1"));
    EXPECT_FALSE(QZOBJ_WriteCurrentSettingStr("S", "k", u"two\nlines"));
    EXPECT_EQ(QZOBJ_GetCurrentSettingInt(nullptr, "k", 8, TRUE), 8);
    EXPECT_FALSE(FileExists(StorePath()));
}

TEST_F(CurrentSettings, UnavailableStoreRecoversOnceTheWayIsClear) {
    qzo::test::WriteFileBytes(WinDir(), "not a folder");
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

TEST_F(CurrentSettings, ThreadsBindTheStoreTogether) {
    constexpr int kThreads = 4;
    constexpr int kWrites = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kWrites; ++i) {
                const std::string key = "t" + std::to_string(t) + "_" + std::to_string(i);
                QZOBJ_WriteCurrentSettingInt("Threads", key.c_str(), i);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            const std::string key = "t" + std::to_string(t) + "_" + std::to_string(i);
            ASSERT_EQ(QZOBJ_GetCurrentSettingInt("Threads", key.c_str(), -1, FALSE), i) << key;
        }
    }
}

}  // namespace
