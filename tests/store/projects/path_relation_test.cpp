// Path containment by identity: links, "..", case variants and missing tails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "projects_support.h"
#include "qzobj/platform/path_relation.h"

namespace qzo::test::projects {
namespace {

using qzo::platform::PathRelation;
using qzo::platform::RelatePaths;

class PathRelationTest : public QzoTest {
  protected:
    std::u16string Path(const std::string& name) const { return Wide(TempPath(name)); }
};

TEST_F(PathRelationTest, IdentityDecides) {
    std::filesystem::create_directories(TempPath("Proj/Sub"));
    std::filesystem::create_directories(TempPath("Other"));
    ASSERT_EQ(symlink(TempPath("Proj").c_str(), TempPath("Alias").c_str()), 0);
    ASSERT_EQ(symlink(TempPath("Other").c_str(), TempPath("Proj/Escape").c_str()), 0);
    const std::u16string proj = Path("Proj");
    struct Case {
        std::string path;
        PathRelation expected;
    };
    const Case cases[] = {
        {"Proj", PathRelation::kSame},
        {"PROJ/", PathRelation::kSame},
        {"Alias", PathRelation::kSame},
        {"Other/../Proj", PathRelation::kSame},
        {"Proj/Sub", PathRelation::kInside},
        {"Proj/Sub/New/Deeper", PathRelation::kInside},
        {"Alias/sub", PathRelation::kInside},
        {"Proj/Escape", PathRelation::kUnrelated},
        {"Proj/Escape/x", PathRelation::kUnrelated},
        {"Proj/../Other", PathRelation::kUnrelated},
        {"Other", PathRelation::kUnrelated},
        {"Proj/Missing/../..", PathRelation::kUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(RelatePaths(Path(c.path).c_str(), proj.c_str()), c.expected);
    }
    EXPECT_EQ(RelatePaths(Wide(TempDir()).c_str(), proj.c_str()), PathRelation::kContains);
    EXPECT_EQ(RelatePaths(u"/", proj.c_str()), PathRelation::kContains);
    EXPECT_EQ(RelatePaths(proj.c_str(), Path("Absent").c_str()), PathRelation::kUnknown);
    EXPECT_EQ(RelatePaths(nullptr, proj.c_str()), PathRelation::kUnknown);
}

}  // namespace
}  // namespace qzo::test::projects
