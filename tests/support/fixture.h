// Test fixture: every test gets a fresh temporary folder and its own Windows directory
// (QZO_WINDIR), with debug output off and the library's lazily bound state reset.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace qzo::test {

// Registers a function run at the start of every fixture test to reset lazily bound state.
struct ResetHook {
    explicit ResetHook(std::function<void()> reset);
};

class QzoTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The test's own temporary folder (native path, no trailing '/').
    const std::string& TempDir() const { return tempDir_; }
    // A path inside it.
    std::string TempPath(const std::string& name) const { return tempDir_ + "/" + name; }
    // The Windows directory of this test (a subfolder of TempDir, not yet created).
    const std::string& WinDir() const { return winDir_; }

private:
    std::string tempDir_;
    std::string winDir_;
};

// Creates a fresh folder under the process's temporary root.
std::string MakeTempDir(const std::string& hint);
// Removes a folder tree without following links.
void RemoveTree(const std::string& path);
// Whole-file helpers for assertions.
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

}  // namespace qzo::test
