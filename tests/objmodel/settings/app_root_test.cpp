// The application root: the folder above the one holding the library's code (here the test
// program, which links the library's objects).
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "qzobj/frame.h"
#include "qzobj/platform/text.h"

namespace {

TEST(AppRoot, IsTheFolderAboveTheModulesFolder) {
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
    EXPECT_EQ(qzo::text::ToUtf8(buffer), expected);
    EXPECT_EQ(buffer[qzo::text::Length(buffer) - 1], u'/');
}

TEST(AppRoot, NullBufferIsRefused) {
    EXPECT_FALSE(QZOBJ_GetAppRootDir(nullptr));
}

}  // namespace
