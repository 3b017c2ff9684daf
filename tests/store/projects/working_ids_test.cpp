// ProjectIds.NeverLowered, the working-project half: a live "PRJ.IDS" that will not open is
// left byte for byte as it is, and only a missing or too short one is written anew, above the
// highest object ID present.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "projects_support.h"
#include "support/peer.h"

namespace qzo::test::projects {
namespace {

class WorkingProjectIdsNeverLowered : public ProjectsTest {
  protected:
    std::string Ids() const { return Native("Proj/PRJ.IDS"); }
    static std::string Counter(uint32_t value) {
        return std::string{char(value & 0xFF), char((value >> 8) & 0xFF),
                           char((value >> 16) & 0xFF), char(value >> 24)};
    }
    void PlaceObjects() {
        WriteFileBytes(Native("Proj/Obj/ABCD0001/00001234.qzo"), "");
        WriteFileBytes(Native("Proj/Obj/ABCD0002/0000A000.QZO"), "");
        WriteFileBytes(Native("Proj/Obj/ABCD0002/FFFFFFFF.qzo"), "");  // the invalid ID
        WriteFileBytes(Native("Proj/Obj/ABCD0002/0000F000.tmp"), "");
        WriteFileBytes(Native("Proj/Obj/ABCD0002/deep/0000F001.qzo"), "");  // not a class folder
        WriteFileBytes(Native("Proj/Recycle/OBJ/ABCD0003/0000B000.qzo"), "");
    }
};

TEST_F(WorkingProjectIdsNeverLowered, MissingIDFileIsRepairedAboveTheHighestName) {
    const DWORD id = NewProject("Proj");
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    std::filesystem::create_directories(Native("Proj/Obj/ABCD0001"));
    std::filesystem::create_directories(Native("Proj/Obj/ABCD0002/deep"));
    std::filesystem::create_directories(Native("Proj/Recycle/OBJ/ABCD0003"));
    PlaceObjects();
    EXPECT_EQ(qzo::store::ScanMaxExistingID(PrjLocator::GetPrjPath(id)), 0xB000u);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    EXPECT_EQ(ReadFileBytes(Ids()), Counter(0xB001));
}

TEST_F(WorkingProjectIdsNeverLowered, EmptyIDFileIsRepaired) {
    const DWORD id = NewProject("Proj");
    WriteFileBytes(Ids(), "\x01\x02");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    EXPECT_EQ(ReadFileBytes(Ids()), Counter(1024));
}

TEST_F(WorkingProjectIdsNeverLowered, LiveCounterIsKept) {
    const DWORD id = NewProject("Proj");
    WriteFileBytes(Ids(), Counter(0x5000));
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    EXPECT_EQ(ReadFileBytes(Ids()), Counter(0x5000));
}

TEST_F(WorkingProjectIdsNeverLowered, PeerHoldingTheProjectLockLeavesTheFileAlone) {
    const DWORD id = NewProject("Proj");
    WriteFileBytes(Ids(), Counter(0x7777));
    Peer peer;
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("prj_open " + Native("Proj")), "0");
    ASSERT_EQ(peer.Call("prj_lockproject"), "0");
    EXPECT_FALSE(PrjLocator::SetWorkingProject(id));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), PRJLOC_NO_PROJECT);
    EXPECT_EQ(ReadFileBytes(Ids()), Counter(0x7777));
}

TEST_F(WorkingProjectIdsNeverLowered, PeerHoldingTheCounterLockLeavesTheFileAlone) {
    const DWORD id = NewProject("Proj");
    WriteFileBytes(Ids(), Counter(0x7777));
    Peer peer;
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("prj_hold_counter " + Ids() + " 3000"), "OK");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PrjLocator::SetWorkingProject(id));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(ReadFileBytes(Ids()), Counter(0x7777));
}

TEST_F(WorkingProjectIdsNeverLowered, AFolderNamedLikeTheIDFileIsNoRepair) {
    const DWORD id = NewProject("Proj");
    ASSERT_EQ(mkdir(Ids().c_str(), 0777), 0);
    EXPECT_FALSE(PrjLocator::SetWorkingProject(id));
}

TEST(MaxExistingID, NoObjectsIsZeroAndNoPathIsInvalid) {
    EXPECT_EQ(qzo::store::ScanMaxExistingID(u"/nonexistent-folder-of-the-test/"), 0u);
    EXPECT_EQ(qzo::store::ScanMaxExistingID(nullptr), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace qzo::test::projects
