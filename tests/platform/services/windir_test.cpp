// Where the Windows directory lies: $QZO_WINDIR, else $XDG_CONFIG_HOME/qzobju, else
// $HOME/.config/qzobju, read anew on every call. The tests point every variable at their own
// temporary folder and restore them afterwards; the real home is never touched.
#include <cstdlib>
#include <optional>
#include <string>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "qzobj/platform/windir.h"
#include "support/fixture.h"

namespace {

namespace platform = qzo::platform;

// Sets or removes an environment variable for the scope of a test.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        if (saved_) {
            setenv(name_.c_str(), saved_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

class WindowsDirectory : public qzo::test::QzoTest {};

TEST_F(WindowsDirectory, ExplicitFolderComesFirst) {
    ScopedEnvironment config("XDG_CONFIG_HOME", TempPath("config").c_str());
    ScopedEnvironment windir("QZO_WINDIR", (TempPath("win") + "//").c_str());
    EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("win"));
}

TEST_F(WindowsDirectory, ConfigHomeThenHomeAreTheFallbacks) {
    ScopedEnvironment windir("QZO_WINDIR", nullptr);
    ScopedEnvironment home("HOME", TempPath("home").c_str());
    {
        ScopedEnvironment config("XDG_CONFIG_HOME", TempPath("config").c_str());
        EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("config") + "/qzobju");
    }
    {
        ScopedEnvironment config("XDG_CONFIG_HOME", "relative/config");  // ignored: not absolute
        EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("home") + "/.config/qzobju");
    }
    ScopedEnvironment config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("home") + "/.config/qzobju");
    EXPECT_TRUE(platform::EnsureWindowsDirectory());
    EXPECT_TRUE(platform::IsDirectory(TempPath("home") + "/.config/qzobju"));
}

TEST_F(WindowsDirectory, SystemFormAndBufferSizes) {
    ScopedEnvironment windir("QZO_WINDIR", "/tmp/Qzo Win");
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(platform::GetWindowsDirectory(buffer, MAX_PATH), 12u);
    EXPECT_EQ(std::u16string(buffer), u"/tmp/Qzo Win");
    WCHAR small[12];
    small[0] = u'#';
    EXPECT_EQ(platform::GetWindowsDirectory(small, 12), 13u);  // the size needed
    EXPECT_EQ(small[0], u'#');
    EXPECT_EQ(platform::GetWindowsDirectory(nullptr, 0), 13u);
    WCHAR exact[13];
    EXPECT_EQ(platform::GetWindowsDirectory(exact, 13), 12u);
}

TEST_F(WindowsDirectory, EnsureCreatesParentsAndFilesResolveWithoutCase) {
    ScopedEnvironment windir("QZO_WINDIR", TempPath("a/b/windows").c_str());
    EXPECT_FALSE(platform::IsDirectory(TempPath("a/b/windows")));
    ASSERT_TRUE(platform::EnsureWindowsDirectory());
    EXPECT_TRUE(platform::IsDirectory(TempPath("a/b/windows")));
    EXPECT_EQ(platform::WindowsDirectoryFile("QZO.INI"), TempPath("a/b/windows/QZO.INI"));
    qzo::test::WriteFileBytes(TempPath("a/b/windows/qzo.ini"), "");
    EXPECT_EQ(platform::WindowsDirectoryFile("QZO.INI"), TempPath("a/b/windows/qzo.ini"));
}

TEST_F(WindowsDirectory, EveryCallReadsTheEnvironmentAgain) {
    {
        ScopedEnvironment windir("QZO_WINDIR", TempPath("one").c_str());
        EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("one"));
    }
    ScopedEnvironment windir("QZO_WINDIR", TempPath("two").c_str());
    EXPECT_EQ(platform::WindowsDirectoryNative(), TempPath("two"));
}

}  // namespace
