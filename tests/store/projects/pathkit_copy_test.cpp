// The folder functions the project operations rely on: copies share reading and writing with
// open handles and carry the attribute word and times; deletes refuse empty paths and roots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "projects_support.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"

namespace qzo::test::projects {
namespace {

class PathkitForProjects : public QzoTest {
  protected:
    std::u16string Path(const std::string& name) const { return Wide(TempPath(name)); }
};

TEST_F(PathkitForProjects, CopySharesWithOpenHandlesAndCarriesAttributes) {
    std::filesystem::create_directories(TempPath("Src/Sub"));
    WriteFileBytes(TempPath("Src/PRJ.IDS"), std::string("\x00\x04\x00\x00", 4));
    WriteFileBytes(TempPath("Src/Sub/marked.qzo"), "marked");
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Path("Src/Sub/marked.qzo").c_str(),
                                                 FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Path("Src/Sub").c_str(), FILE_ATTRIBUTE_HIDDEN));
    auto held = qzo::platform::File::Open(Path("Src/PRJ.IDS").c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(held);
    ASSERT_TRUE(FU_CopyDirectory(Path("Src/*.*").c_str(), Path("Dst").c_str(), TRUE, 0));
    EXPECT_EQ(ReadFileBytes(TempPath("Dst/PRJ.IDS")), std::string("\x00\x04\x00\x00", 4));
    EXPECT_TRUE(StoredAttributes(TempPath("Dst/Sub/marked.qzo")) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(StoredAttributes(TempPath("Dst/Sub")) & FILE_ATTRIBUTE_HIDDEN);
    struct stat copy {
    }, source{};
    ASSERT_EQ(stat(TempPath("Dst/Sub/marked.qzo").c_str(), &copy), 0);
    ASSERT_EQ(stat(TempPath("Src/Sub/marked.qzo").c_str(), &source), 0);
    EXPECT_EQ(copy.st_mtim.tv_sec, source.st_mtim.tv_sec);
    held->Close();
    // A handle that denies reading keeps its file from being copied.
    auto denying =
        qzo::platform::File::Open(Path("Src/PRJ.IDS").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(denying);
    EXPECT_FALSE(FU_CopyDirectory(Path("Src/*.*").c_str(), Path("Dst2").c_str(), TRUE, 0));
    for (auto& entry : std::filesystem::recursive_directory_iterator(TempDir()))
        if (entry.is_regular_file())
            qzo::platform::SetFileAttributes(Wide(entry.path().string()).c_str(), 0);
}

TEST_F(PathkitForProjects, DeleteRefusesEmptyPathsAndRoots) {
    EXPECT_FALSE(FU_DeleteDirectory(u"", TRUE, 0));
    EXPECT_FALSE(FU_DeleteDirectory(u"/", TRUE, 0));
    EXPECT_FALSE(FU_DeleteDirectory(u"/*", TRUE, 0));
    EXPECT_FALSE(FU_DeleteDirectory(u"\\", TRUE, 0));
}

}  // namespace
}  // namespace qzo::test::projects
