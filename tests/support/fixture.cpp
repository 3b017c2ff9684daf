// Fresh folders and reset state for every test.
#include "support/fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "qzobj/suitelibs/uikit/debug_output.h"

namespace qzo::test {
namespace {

std::vector<std::function<void()>>& ResetHooks() {
    static auto& hooks = *new std::vector<std::function<void()>>;
    return hooks;
}

std::string TempRoot() {
    static const std::string root = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/qzo-tests-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const char* made = mkdtemp(buffer.data());
        return std::string(made ? made : "/tmp");
    }();
    return root;
}

}  // namespace

ResetHook::ResetHook(std::function<void()> reset) { ResetHooks().push_back(std::move(reset)); }

std::string MakeTempDir(const std::string& hint) {
    std::string pattern = TempRoot() + "/" + hint + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* made = mkdtemp(buffer.data());
    if (!made) ADD_FAILURE() << "cannot create a temporary folder under " << TempRoot();
    return made ? std::string(made) : TempRoot();
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* dir = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(dir);
            for (const auto& name : names) RemoveTree(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void QzoTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string hint = info ? std::string(info->test_suite_name()) : "test";
    for (char& c : hint)
        if (c == '/') c = '_';
    tempDir_ = MakeTempDir(hint);
    winDir_ = tempDir_ + "/windir";
    setenv("QZO_WINDIR", winDir_.c_str(), 1);
    unsetenv("QZO_DEBUG_OUTPUT");
    qzo::uikit::ResetDebugOutputTarget();
    for (auto& reset : ResetHooks()) reset();
}

void QzoTest::TearDown() {
    if (!::testing::Test::HasFailure()) RemoveTree(tempDir_);
}

}  // namespace qzo::test
