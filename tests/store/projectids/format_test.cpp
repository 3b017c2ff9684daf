// The generator's file and its use in one process: golden counter bytes, the floor of 1024,
// reservations served without file access, slots and the nesting project lock, the exact
// messages, and copies that never share a handle or a reservation.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "store/projectids/project_ids_test_support.h"
#include "qzobj/platform/file_faults.h"
#include "support/capture.h"

namespace {

using namespace qzo::test::projectids;
using qzo::platform::FailNextRead;
using qzo::platform::FailNextWrite;
using qzo::platform::IoFault;

class ProjectIdsFormat : public ProjectIdsTest {};

TEST_F(ProjectIdsFormat, CreateWithSmallFirstIdWritesTheFloorAndTheFirstIdIsHandedOut) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 5), 0u);
    EXPECT_FALSE(ids.IsOpen()) << "Create leaves the object closed";
    EXPECT_EQ(IdsBytes(), std::string("\x00\x04\x00\x00", 4));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 1024u);
    EXPECT_EQ(IdsBytes(), std::string("\x01\x04\x00\x00", 4));
    EXPECT_EQ(ids.GetNextID(), 1025u);
    EXPECT_EQ(IdsBytes(), CounterBytes(1026));
}

TEST_F(ProjectIdsFormat, CreateWritesAHigherFirstIdAndAcceptsAFolderWithoutSeparator) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 0x12345678), 0u);
    EXPECT_EQ(IdsBytes(), std::string("\x78\x56\x34\x12", 4));
    const std::u16string withSeparator = FolderW() + u"/";
    ASSERT_EQ(ids.Open(withSeparator.c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 0x12345678u);
}

TEST_F(ProjectIdsFormat, CountersBelowTheFloorAreReadAsTheFloor) {
    WriteIds(CounterBytes(7));
    CProjUniID ids;
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetLastCounter(), 1024u);
    EXPECT_EQ(ids.GetNextID(), 1024u);
    EXPECT_EQ(IdsBytes(), CounterBytes(1025));
    WriteIds(CounterBytes(0));
    EXPECT_EQ(ids.GetNextID(), 1024u) << "the floor applies on every read";
}

TEST_F(ProjectIdsFormat, TwoGeneratorsOfOneFileHandOutDistinctIdsInTurn) {
    CProjUniID a, b;
    ASSERT_EQ(a.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(a.Open(FolderW().c_str()), 0u);
    ASSERT_EQ(b.Open(FolderW().c_str()), 0u);
    EXPECT_NE(a.GetUserSlot(), b.GetUserSlot()) << "two generators of one process are two users";
    std::set<DWORD> seen;
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(seen.insert(a.GetNextID()).second);
        EXPECT_TRUE(seen.insert(b.GetNextID()).second);
    }
    EXPECT_EQ(*seen.begin(), 1024u);
    EXPECT_EQ(*seen.rbegin(), 1223u);
    EXPECT_EQ(StoredCounter(IdsPath()), 1224u);
}

TEST_F(ProjectIdsFormat, ReservedIdsComeWithoutTouchingTheFile) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 2000), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    ASSERT_TRUE(ids.ReserveIDs(10));
    EXPECT_EQ(IdsBytes(), CounterBytes(2010)) << "the file holds the counter ten higher at once";
    // Any file access from here on would fail: the reservation must not need one.
    FailNextRead(IoFault::kIoError);
    FailNextWrite(IoFault::kIoError);
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(ids.GetNextID(), 2000 + i);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu) << "the eleventh goes to the file and meets the fault";
    FailNextWrite(IoFault::kNone);
    EXPECT_EQ(ids.GetNextID(), 2010u);
    EXPECT_EQ(IdsBytes(), CounterBytes(2011));
}

TEST_F(ProjectIdsFormat, UserSlotsAreSingleBytesBehindTheCounter) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetUserSlot(), 0u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 4, 1));
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 5, 1));
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 0, 4)) << "the counter lock is held only during a call";
    CProjUniID second;
    ASSERT_EQ(second.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(second.GetUserSlot(), 1u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 5, 1));
    ids.Close();
    EXPECT_EQ(ids.GetUserSlot(), 256u);
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 4, 1));
    EXPECT_EQ(IdsBytes().size(), 4u) << "slot locks lie past the end and never grow the file";
}

TEST_F(ProjectIdsFormat, LockProjectNestsAndCountsOtherUsers) {
    CProjUniID ids, other1, other2;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    EXPECT_EQ(ids.LockProject(), 256u) << "not open";
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    ASSERT_EQ(other1.Open(FolderW().c_str()), 0u);
    ASSERT_EQ(other2.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.LockProject(), 2u);
    EXPECT_EQ(ids.GetLockCount(), 0u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 4 + ids.GetUserSlot(), 1)) << "own slot taken again";
    EXPECT_FALSE(ids.UnlockProject());
    other1.Close();
    EXPECT_EQ(ids.LockProject(), 1u);
    other2.Close();
    EXPECT_EQ(ids.LockProject(), 0u);
    EXPECT_EQ(ids.LockProject(), 0u);
    EXPECT_EQ(ids.GetLockCount(), 2u);
    CProjUniID late;
    EXPECT_EQ(late.Open(FolderW().c_str()), 2u) << "no slot is free while the project is locked";
    EXPECT_EQ(ids.GetNextID(), 1024u) << "the locker still hands out IDs";
    EXPECT_TRUE(ids.UnlockProject());
    EXPECT_EQ(ids.GetLockCount(), 1u);
    EXPECT_TRUE(ids.UnlockProject());
    EXPECT_EQ(ids.GetLockCount(), 0u);
    EXPECT_FALSE(ids.UnlockProject());
    EXPECT_EQ(late.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.LockProject(), 1u);
}

TEST_F(ProjectIdsFormat, CloseReleasesTheProjectLockAsExactlyItsRange) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    ASSERT_EQ(ids.LockProject(), 0u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 4, 256));
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 259, 1));
    ids.Close();
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 4, 256));
    EXPECT_EQ(ids.GetLockCount(), 0u);
}

TEST_F(ProjectIdsFormat, The257thOpenFailsWithTwo) {
    CProjUniID first;
    ASSERT_EQ(first.Create(FolderW().c_str(), 1024), 0u);
    std::vector<CProjUniID> users(256);
    for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(users[i].Open(FolderW().c_str()), 0u) << i;
    qzo::test::DebugCapture capture;
    ScopedDebug debug(true);
    CProjUniID extra;
    EXPECT_EQ(extra.Open(FolderW().c_str()), 2u);
    EXPECT_FALSE(extra.IsOpen());
    EXPECT_EQ(capture.Text(), "\rCProjUniID::Open: All user locks expired...\r\n");
    users[17].Close();
    EXPECT_EQ(extra.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(extra.GetUserSlot(), 17u);
}

TEST_F(ProjectIdsFormat, ClosedGeneratorsRefuseEverything) {
    qzo::test::DebugCapture capture;
    ScopedDebug debug(true);
    CProjUniID ids;
    EXPECT_FALSE(ids.IsOpen());
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
    EXPECT_EQ(capture.Text(), "\rCProjUniID::GetNextID: No file\r\n");
    EXPECT_FALSE(ids.ReserveIDs(1));
    EXPECT_FALSE(ids.SetStartID(5000));
    EXPECT_FALSE(ids.HasChanged());
    EXPECT_FALSE(ids.UnlockProject());
    ids.Close();
    ids.Close();
}

TEST_F(ProjectIdsFormat, OpenFailuresAndTheirMessages) {
    qzo::test::DebugCapture capture;
    ScopedDebug debug(true);
    CProjUniID ids;
    EXPECT_EQ(ids.Open(FolderW().c_str()), 1u) << "missing file";
    EXPECT_EQ(ids.Open(static_cast<const WCHAR*>(nullptr)), 1u);
    EXPECT_EQ(ids.Open(u""), 1u);
    const std::u16string tooLong(300, u'a');
    EXPECT_EQ(ids.Open(tooLong.c_str()), 1u);
    EXPECT_EQ(ids.Create(tooLong.c_str(), 1024), 1u);
    EXPECT_EQ(capture.Text(), "") << "a missing file is no message";

    WriteIds(std::string("\x01\x02", 2));
    EXPECT_EQ(ids.Open(FolderW().c_str()), 3u);
    EXPECT_FALSE(ids.IsOpen());
    const std::string name = Folder() + "/PRJ.IDS";
    EXPECT_EQ(capture.Text(), "\rCProjUniID::Open(" + name + "): ID not retrievable\r\n");
    capture.Clear();
    {
        CounterLockHolder holder(IdsPath());
        ASSERT_TRUE(holder.held());
        EXPECT_EQ(ids.Open(FolderW().c_str()), 2u);
        EXPECT_EQ(capture.Text(), "\rCProjUniID::Open(" + name + "): Sharing violation\r\n");
        capture.Clear();
        EXPECT_EQ(ids.Create(FolderW().c_str(), 1024), 2u);
        EXPECT_EQ(capture.Text(), "\rCProjUniID::Create(" + name + "): Sharing violation\r\n");
    }
    EXPECT_EQ(IdsBytes(), std::string("\x01\x02", 2)) << "refusals leave the file alone";
}

TEST_F(ProjectIdsFormat, MessagesAppearOnlyInDebugMode) {
    qzo::test::DebugCapture capture;
    ScopedDebug debug(false);
    CProjUniID ids;
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
    WriteIds("");
    EXPECT_EQ(ids.Open(FolderW().c_str()), 3u);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(ProjectIdsFormat, HasChangedSeesOthersButNotItsOwnIds) {
    CProjUniID a, b;
    ASSERT_EQ(a.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(a.Open(FolderW().c_str()), 0u);
    ASSERT_EQ(b.Open(FolderW().c_str()), 0u);
    EXPECT_FALSE(a.HasChanged());
    EXPECT_EQ(a.GetNextID(), 1024u);
    EXPECT_FALSE(a.HasChanged()) << "its own ID is no change";
    EXPECT_EQ(b.GetNextID(), 1025u);
    EXPECT_TRUE(a.HasChanged());
    EXPECT_FALSE(a.HasChanged()) << "the re-read counter is kept";
    {
        CounterLockHolder holder(IdsPath());
        ASSERT_TRUE(holder.held());
        EXPECT_TRUE(a.HasChanged()) << "a lock timeout counts as a change";
    }
}

TEST_F(ProjectIdsFormat, CopiesOpenTheirOwnSlotWithAnEmptyReservation) {
    CProjUniID original;
    ASSERT_EQ(original.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(original.Open(FolderW().c_str()), 0u);
    ASSERT_TRUE(original.ReserveIDs(5));  // 1024..1028 belong to the original alone
    CProjUniID copy(original);
    ASSERT_TRUE(copy.IsOpen());
    EXPECT_NE(copy.GetUserSlot(), original.GetUserSlot());
    CProjUniID assigned;
    assigned = original;
    ASSERT_TRUE(assigned.IsOpen());
    std::set<DWORD> seen;
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(seen.insert(original.GetNextID()).second);
        EXPECT_TRUE(seen.insert(copy.GetNextID()).second);
        EXPECT_TRUE(seen.insert(assigned.GetNextID()).second);
    }
    EXPECT_EQ(seen.size(), 15u);
    copy.Close();
    EXPECT_TRUE(original.IsOpen()) << "closing a copy leaves the original's handle alone";
    EXPECT_NE(original.GetNextID(), 0xFFFFFFFFu);
    assigned = assigned;
    EXPECT_TRUE(assigned.IsOpen());
    CProjUniID closed;
    assigned = closed;
    EXPECT_FALSE(assigned.IsOpen()) << "a copy of a closed generator is closed";
}

}  // namespace
