// The counter only ever rises: Create and SetStartID below it change nothing, failed transfers
// hand out no ID and no ID repeats after them, and the IDs end before the invalid ID.
#include <gtest/gtest.h>

#include <set>

#include "store/projectids/project_ids_test_support.h"
#include "qzobj/platform/file_faults.h"

namespace {

using namespace qzo::test::projectids;
using qzo::platform::FailNextRead;
using qzo::platform::FailNextWrite;
using qzo::platform::IoFault;

class ProjectIdsNeverLowered : public ProjectIdsTest {};

TEST_F(ProjectIdsNeverLowered, CreateOnALiveFileKeepsAHigherCounter) {
    CProjUniID user;
    ASSERT_EQ(user.Create(FolderW().c_str(), 5000), 0u);
    ASSERT_EQ(user.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(user.GetNextID(), 5000u);
    const std::string before = IdsBytes();
    CProjUniID creator;
    EXPECT_EQ(creator.Create(FolderW().c_str(), 1025), 0u);
    EXPECT_EQ(IdsBytes(), before) << "no truncation, no lower counter";
    EXPECT_EQ(creator.Create(FolderW().c_str(), 0), 0u);
    EXPECT_EQ(IdsBytes(), before);
    EXPECT_EQ(user.GetNextID(), 5001u) << "the live user goes on where it was";
    EXPECT_EQ(creator.Create(FolderW().c_str(), 9000), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(9000)) << "a higher first ID raises the counter";
    EXPECT_EQ(user.GetNextID(), 9000u);
}

TEST_F(ProjectIdsNeverLowered, CreateKeepsBytesBehindTheCounterAndRepairsAShortFile) {
    WriteIds(CounterBytes(7000) + "tail");
    CProjUniID creator;
    EXPECT_EQ(creator.Create(FolderW().c_str(), 1024), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(7000) + "tail");
    WriteIds(std::string("\x05", 1));
    EXPECT_EQ(creator.Create(FolderW().c_str(), 3000), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(3000)) << "a file shorter than 4 bytes gets a counter";
    WriteIds("");
    EXPECT_EQ(creator.Create(FolderW().c_str(), 0), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(1024));
}

TEST_F(ProjectIdsNeverLowered, SetStartIdBelowTheCounterChangesNothing) {
    CProjUniID ids, other;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 4000), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    ASSERT_EQ(other.Open(FolderW().c_str()), 0u);
    ASSERT_TRUE(other.ReserveIDs(100));  // 4000..4099 are the other user's
    const std::string before = IdsBytes();
    EXPECT_TRUE(ids.SetStartID(4000));
    EXPECT_TRUE(ids.SetStartID(0));
    EXPECT_EQ(IdsBytes(), before);
    EXPECT_EQ(ids.GetNextID(), 4100u) << "nobody's reservation is handed out again";
    EXPECT_TRUE(ids.SetStartID(6000));
    EXPECT_EQ(IdsBytes(), CounterBytes(6000));
    EXPECT_EQ(ids.GetNextID(), 6000u);
    EXPECT_EQ(other.GetNextID(), 4000u) << "the other user's reservation stays its own";
}

TEST_F(ProjectIdsNeverLowered, SetStartIdDropsTheOwnReservation) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    ASSERT_TRUE(ids.ReserveIDs(10));
    EXPECT_TRUE(ids.SetStartID(1500));
    EXPECT_EQ(ids.GetNextID(), 1500u);
}

// The IDs handed out before a fault, at it and after it never meet.
void ExpectNoRepeatAcrossFault(CProjUniID& ids, const std::string& what, void (*arm)(IoFault),
                               IoFault fault) {
    std::set<DWORD> seen;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(seen.insert(ids.GetNextID()).second);
    arm(fault);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu) << what;
    arm(IoFault::kNone);
    for (int i = 0; i < 3; ++i) {
        const DWORD id = ids.GetNextID();
        EXPECT_NE(id, 0xFFFFFFFFu) << what;
        EXPECT_TRUE(seen.insert(id).second) << what << ": " << id << " repeats";
    }
}

TEST_F(ProjectIdsNeverLowered, InjectedFaultsFailTheCallAndNoIdRepeats) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    ExpectNoRepeatAcrossFault(ids, "EIO on read", FailNextRead, IoFault::kIoError);
    ExpectNoRepeatAcrossFault(ids, "EIO on write", FailNextWrite, IoFault::kIoError);
    ExpectNoRepeatAcrossFault(ids, "ENOSPC on write", FailNextWrite, IoFault::kNoSpace);
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 0, 4)) << "a failed call releases the counter lock";
}

TEST_F(ProjectIdsNeverLowered, FailedReservationsServeNothing) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 1024), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    FailNextRead(IoFault::kIoError);
    EXPECT_FALSE(ids.ReserveIDs(10));
    EXPECT_EQ(IdsBytes(), CounterBytes(1024));
    FailNextWrite(IoFault::kNoSpace);
    EXPECT_FALSE(ids.ReserveIDs(10));
    const DWORD next = ids.GetNextID();
    EXPECT_NE(next, 0xFFFFFFFFu);
    EXPECT_EQ(StoredCounter(IdsPath()), next + 1) << "IDs come from the file, not a reservation";
    FailNextWrite(IoFault::kIoError);
    EXPECT_FALSE(ids.SetStartID(50000));
    FailNextRead(IoFault::kIoError);
    EXPECT_FALSE(ids.SetStartID(50000));
}

TEST_F(ProjectIdsNeverLowered, WritesThatCannotStoreAnythingLeaveTheFileAlone) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 2048), 0u);
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    qzo::platform::FileFaults full;
    full.writeBudget = 0;
    qzo::platform::SetFileFaults(full);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
    EXPECT_FALSE(ids.ReserveIDs(3));
    EXPECT_EQ(ids.Create(FolderW().c_str(), 9000), 1u);
    qzo::platform::ClearFileFaults();
    EXPECT_EQ(IdsBytes(), CounterBytes(2048));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 2048u) << "nothing was handed out while the disk was full";
}

TEST_F(ProjectIdsNeverLowered, TheInvalidIdIsNeverHandedOut) {
    WriteIds(CounterBytes(0xFFFFFFFE));
    CProjUniID ids;
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFEu);
    EXPECT_EQ(IdsBytes(), CounterBytes(0xFFFFFFFF));
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
    EXPECT_EQ(IdsBytes(), CounterBytes(0xFFFFFFFF)) << "the counter does not wrap";
    EXPECT_FALSE(ids.ReserveIDs(1));
    EXPECT_TRUE(ids.ReserveIDs(0));
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
}

TEST_F(ProjectIdsNeverLowered, ReservationsPastTheLastIdFail) {
    WriteIds(CounterBytes(0xFFFFFFFD));
    CProjUniID ids;
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_FALSE(ids.ReserveIDs(3)) << "would reach the invalid ID";
    EXPECT_FALSE(ids.ReserveIDs(0xFFFFFFFFu));
    EXPECT_EQ(IdsBytes(), CounterBytes(0xFFFFFFFD));
    EXPECT_TRUE(ids.ReserveIDs(2));
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFDu);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFEu);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFFu);
    WriteIds(CounterBytes(1024));
    EXPECT_FALSE(ids.ReserveIDs(0xFFFFFFFFu)) << "sums are taken in 64 bits";
    EXPECT_EQ(IdsBytes(), CounterBytes(1024));
}

}  // namespace
