// The ID generator's file and its use in one process: golden counter bytes and the floor of
// 1024, reservations served without file access, slots and the nesting project lock, the exact
// messages, copies that never share a handle or a reservation, and a counter that only ever
// rises: Create and SetStartID below it change nothing, failed transfers hand out no ID and no ID
// repeats after them, and the IDs end before the invalid ID.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "qzobj/platform/file_faults.h"
#include "store/projectids/project_ids_test_support.h"
#include "support/capture.h"

namespace {

using namespace qzo::test::projectids;
using qzo::platform::FailNextRead;
using qzo::platform::FailNextWrite;
using qzo::platform::IoFault;
using qzo::test::DebugCapture;

constexpr DWORD kNoID = 0xFFFFFFFFu;

class ProjectIds : public ProjectIdsTest {
  protected:
    // Creates "PRJ.IDS" with `first` and opens `ids` on it.
    void CreateAndOpen(CProjUniID& ids, DWORD first) {
        ASSERT_EQ(ids.Create(FolderW().c_str(), first), 0u);
        ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    }
};

TEST_F(ProjectIds, CounterBytesAndTheFloor) {
    CProjUniID ids;
    ASSERT_EQ(ids.Create(FolderW().c_str(), 5), 0u);
    EXPECT_FALSE(ids.IsOpen()) << "Create leaves the object closed";
    EXPECT_EQ(IdsBytes(), std::string("\x00\x04\x00\x00", 4));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 1024u);
    EXPECT_EQ(IdsBytes(), std::string("\x01\x04\x00\x00", 4));
    EXPECT_EQ(ids.GetNextID(), 1025u);
    EXPECT_EQ(IdsBytes(), CounterBytes(1026));
    // Counters below the floor are read as the floor, on every read.
    ids.Close();
    WriteIds(CounterBytes(7));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetLastCounter(), 1024u);
    EXPECT_EQ(ids.GetNextID(), 1024u);
    EXPECT_EQ(IdsBytes(), CounterBytes(1025));
    WriteIds(CounterBytes(0));
    EXPECT_EQ(ids.GetNextID(), 1024u);
    ids.Close();
    // A higher first ID, and a folder spelled with a separator.
    ASSERT_EQ(ids.Create(FolderW().c_str(), 0x12345678), 0u);
    EXPECT_EQ(IdsBytes(), std::string("\x78\x56\x34\x12", 4));
    ASSERT_EQ(ids.Open((FolderW() + u"/").c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 0x12345678u);
}

TEST_F(ProjectIds, TwoGeneratorsOfOneFileHandOutDistinctIdsInTurn) {
    CProjUniID a, b;
    CreateAndOpen(a, 1024);
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

TEST_F(ProjectIds, ReservedIdsComeWithoutTouchingTheFile) {
    CProjUniID ids;
    CreateAndOpen(ids, 2000);
    ASSERT_TRUE(ids.ReserveIDs(10));
    EXPECT_EQ(IdsBytes(), CounterBytes(2010)) << "the file holds the counter ten higher at once";
    // Any file access from here on would fail: the reservation must not need one.
    FailNextRead(IoFault::kIoError);
    FailNextWrite(IoFault::kIoError);
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(ids.GetNextID(), 2000 + i);
    EXPECT_EQ(ids.GetNextID(), kNoID) << "the eleventh goes to the file and meets the fault";
    FailNextWrite(IoFault::kNone);
    EXPECT_EQ(ids.GetNextID(), 2010u);
    EXPECT_EQ(IdsBytes(), CounterBytes(2011));
    // SetStartID drops the own reservation.
    ASSERT_TRUE(ids.ReserveIDs(10));
    EXPECT_TRUE(ids.SetStartID(3000));
    EXPECT_EQ(ids.GetNextID(), 3000u);
}

TEST_F(ProjectIds, UserSlotsAreSingleBytesBehindTheCounter) {
    CProjUniID ids, second;
    CreateAndOpen(ids, 1024);
    EXPECT_EQ(ids.GetUserSlot(), 0u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 4, 1));
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 5, 1));
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 0, 4)) << "the counter lock is held only during a call";
    ASSERT_EQ(second.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(second.GetUserSlot(), 1u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 5, 1));
    ids.Close();
    EXPECT_EQ(ids.GetUserSlot(), 256u);
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 4, 1));
    EXPECT_EQ(IdsBytes().size(), 4u) << "slot locks lie past the end and never grow the file";
    // The next opener takes the lowest free slot: the one just released.
    CProjUniID third;
    ASSERT_EQ(third.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(third.GetUserSlot(), 0u);
}

// Close unlocks its slot (or the project lock) instead of leaving it to the closing of the
// file: a child forked meanwhile shares the open file, and with it any lock left on it.
TEST_F(ProjectIds, CloseUnlocksWhileAForkedChildSharesTheFile) {
    for (bool projectLock : {false, true}) {
        SCOPED_TRACE(projectLock ? "project lock" : "user slot");
        CProjUniID ids;
        CreateAndOpen(ids, 1024);
        if (projectLock) ASSERT_EQ(ids.LockProject(), 0u);
        const pid_t child = fork();
        if (child == 0) {
            pause();  // holds the inherited descriptors until killed
            _exit(0);
        }
        ASSERT_GT(child, 0);
        ids.Close();
        EXPECT_FALSE(RangeIsLocked(IdsPath(), 4, 256));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

TEST_F(ProjectIds, LockProjectNestsAndCountsOtherUsers) {
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
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 4, 256));
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
    late.Close();
    // Close releases the project lock as exactly its range.
    ASSERT_EQ(ids.LockProject(), 0u);
    EXPECT_TRUE(RangeIsLocked(IdsPath(), 259, 1));
    ids.Close();
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 4, 256));
    EXPECT_EQ(ids.GetLockCount(), 0u);
}

TEST_F(ProjectIds, The257thOpenFailsWithTwo) {
    CProjUniID first;
    ASSERT_EQ(first.Create(FolderW().c_str(), 1024), 0u);
    std::vector<CProjUniID> users(256);
    for (unsigned i = 0; i < 256; ++i) ASSERT_EQ(users[i].Open(FolderW().c_str()), 0u) << i;
    DebugCapture capture;
    ScopedDebug debug(true);
    CProjUniID extra;
    EXPECT_EQ(extra.Open(FolderW().c_str()), 2u);
    EXPECT_FALSE(extra.IsOpen());
    EXPECT_EQ(capture.Text(), "\rCProjUniID::Open: All user locks expired...\r\n");
    users[17].Close();
    EXPECT_EQ(extra.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(extra.GetUserSlot(), 17u);
}

// Each refusal: its result, and its message in debug mode (none outside it).
TEST_F(ProjectIds, RefusalsAndTheirMessages) {
    const std::string name = Folder() + "/PRJ.IDS";
    const std::u16string tooLong(300, u'a');
    CProjUniID ids;
    std::unique_ptr<CounterLockHolder> holder;
    const struct {
        const char* name;
        std::function<unsigned()> call;
        unsigned result;
        std::string message;
    } rows[] = {
        {"next ID when closed", [&] { return ids.GetNextID(); }, kNoID,
         "\rCProjUniID::GetNextID: No file\r\n"},
        {"reserve when closed", [&] { return unsigned(ids.ReserveIDs(1)); }, 0, ""},
        {"start when closed", [&] { return unsigned(ids.SetStartID(5000)); }, 0, ""},
        {"changed when closed", [&] { return unsigned(ids.HasChanged()); }, 0, ""},
        {"unlock when closed", [&] { return unsigned(ids.UnlockProject()); }, 0, ""},
        {"missing file", [&] { return ids.Open(FolderW().c_str()); }, 1, ""},
        {"null folder", [&] { return ids.Open(static_cast<const WCHAR*>(nullptr)); }, 1, ""},
        {"empty folder", [&] { return ids.Open(u""); }, 1, ""},
        {"long folder", [&] { return ids.Open(tooLong.c_str()); }, 1, ""},
        {"create in long folder", [&] { return ids.Create(tooLong.c_str(), 1024); }, 1, ""},
        {"short file",
         [&] {
             WriteIds(std::string("\x01\x02", 2));
             return ids.Open(FolderW().c_str());
         },
         3, "\rCProjUniID::Open(" + name + "): ID not retrievable\r\n"},
        {"open under the counter lock",
         [&] {
             holder = std::make_unique<CounterLockHolder>(IdsPath());
             return holder->held() ? ids.Open(FolderW().c_str()) : 99u;
         },
         2, "\rCProjUniID::Open(" + name + "): Sharing violation\r\n"},
        {"create under the counter lock", [&] { return ids.Create(FolderW().c_str(), 1024); }, 2,
         "\rCProjUniID::Create(" + name + "): Sharing violation\r\n"},
    };
    for (bool debugMode : {true, false}) {
        ScopedDebug debug(debugMode);
        std::filesystem::remove(IdsPath());
        holder.reset();
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (debugMode ? "" : ", no debug mode"));
            DebugCapture capture;
            EXPECT_EQ(row.call(), row.result);
            EXPECT_FALSE(ids.IsOpen());
            EXPECT_EQ(capture.Text(), debugMode ? row.message : "");
        }
    }
    EXPECT_EQ(IdsBytes(), std::string("\x01\x02", 2)) << "refusals leave the file alone";
    ids.Close();
    ids.Close();
}

TEST_F(ProjectIds, HasChangedSeesOthersButNotItsOwnIds) {
    CProjUniID a, b;
    CreateAndOpen(a, 1024);
    ASSERT_EQ(b.Open(FolderW().c_str()), 0u);
    EXPECT_FALSE(a.HasChanged());
    EXPECT_EQ(a.GetNextID(), 1024u);
    EXPECT_FALSE(a.HasChanged()) << "its own ID is no change";
    EXPECT_EQ(b.GetNextID(), 1025u);
    EXPECT_TRUE(a.HasChanged());
    EXPECT_FALSE(a.HasChanged()) << "the re-read counter is kept";
    CounterLockHolder holder(IdsPath());
    ASSERT_TRUE(holder.held());
    EXPECT_TRUE(a.HasChanged()) << "a lock timeout counts as a change";
}

TEST_F(ProjectIds, CopiesOpenTheirOwnSlotWithAnEmptyReservation) {
    CProjUniID original;
    CreateAndOpen(original, 1024);
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
    EXPECT_NE(original.GetNextID(), kNoID);
    assigned = assigned;
    EXPECT_TRUE(assigned.IsOpen());
    CProjUniID closed;
    assigned = closed;
    EXPECT_FALSE(assigned.IsOpen()) << "a copy of a closed generator is closed";
}

// ---- the counter never goes down

TEST_F(ProjectIds, CreateOnALiveFileKeepsAHigherCounterAndTheBytesBehindIt) {
    CProjUniID user, creator;
    CreateAndOpen(user, 5000);
    EXPECT_EQ(user.GetNextID(), 5000u);
    const std::string before = IdsBytes();
    EXPECT_EQ(creator.Create(FolderW().c_str(), 1025), 0u);
    EXPECT_EQ(IdsBytes(), before) << "no truncation, no lower counter";
    EXPECT_EQ(creator.Create(FolderW().c_str(), 0), 0u);
    EXPECT_EQ(IdsBytes(), before);
    EXPECT_EQ(user.GetNextID(), 5001u) << "the live user goes on where it was";
    EXPECT_EQ(creator.Create(FolderW().c_str(), 9000), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(9000)) << "a higher first ID raises the counter";
    EXPECT_EQ(user.GetNextID(), 9000u);
    user.Close();

    WriteIds(CounterBytes(7000) + "tail");
    EXPECT_EQ(creator.Create(FolderW().c_str(), 1024), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(7000) + "tail");
    WriteIds(std::string("\x05", 1));
    EXPECT_EQ(creator.Create(FolderW().c_str(), 3000), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(3000)) << "a file shorter than 4 bytes gets a counter";
    WriteIds("");
    EXPECT_EQ(creator.Create(FolderW().c_str(), 0), 0u);
    EXPECT_EQ(IdsBytes(), CounterBytes(1024));
}

TEST_F(ProjectIds, SetStartIdBelowTheCounterChangesNothing) {
    CProjUniID ids, other;
    CreateAndOpen(ids, 4000);
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

TEST_F(ProjectIds, InjectedFaultsFailTheCallAndNoIdRepeats) {
    CProjUniID ids;
    CreateAndOpen(ids, 1024);
    const struct {
        const char* name;
        void (*arm)(IoFault);
        IoFault fault;
    } rows[] = {{"EIO on read", FailNextRead, IoFault::kIoError},
                {"EIO on write", FailNextWrite, IoFault::kIoError},
                {"ENOSPC on write", FailNextWrite, IoFault::kNoSpace}};
    std::set<DWORD> seen;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(seen.insert(ids.GetNextID()).second);
        row.arm(row.fault);
        EXPECT_EQ(ids.GetNextID(), kNoID);
        row.arm(IoFault::kNone);
        for (int i = 0; i < 3; ++i) {
            const DWORD id = ids.GetNextID();
            EXPECT_NE(id, kNoID);
            EXPECT_TRUE(seen.insert(id).second) << id << " repeats";
        }
    }
    EXPECT_FALSE(RangeIsLocked(IdsPath(), 0, 4)) << "a failed call releases the counter lock";
}

TEST_F(ProjectIds, FailedReservationsServeNothing) {
    CProjUniID ids;
    CreateAndOpen(ids, 1024);
    FailNextRead(IoFault::kIoError);
    EXPECT_FALSE(ids.ReserveIDs(10));
    EXPECT_EQ(IdsBytes(), CounterBytes(1024));
    FailNextWrite(IoFault::kNoSpace);
    EXPECT_FALSE(ids.ReserveIDs(10));
    const DWORD next = ids.GetNextID();
    EXPECT_NE(next, kNoID);
    EXPECT_EQ(StoredCounter(IdsPath()), next + 1) << "IDs come from the file, not a reservation";
    FailNextWrite(IoFault::kIoError);
    EXPECT_FALSE(ids.SetStartID(50000));
    FailNextRead(IoFault::kIoError);
    EXPECT_FALSE(ids.SetStartID(50000));
}

TEST_F(ProjectIds, WritesThatCannotStoreAnythingLeaveTheFileAlone) {
    CProjUniID ids;
    CreateAndOpen(ids, 2048);
    qzo::platform::FileFaults full;
    full.writeBudget = 0;
    qzo::platform::SetFileFaults(full);
    EXPECT_EQ(ids.GetNextID(), kNoID);
    EXPECT_FALSE(ids.ReserveIDs(3));
    EXPECT_EQ(ids.Create(FolderW().c_str(), 9000), 1u);
    qzo::platform::ClearFileFaults();
    EXPECT_EQ(IdsBytes(), CounterBytes(2048));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 2048u) << "nothing was handed out while the disk was full";
}

TEST_F(ProjectIds, TheInvalidIdIsNeverHandedOut) {
    WriteIds(CounterBytes(0xFFFFFFFE));
    CProjUniID ids;
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFEu);
    EXPECT_EQ(IdsBytes(), CounterBytes(kNoID));
    EXPECT_EQ(ids.GetNextID(), kNoID);
    EXPECT_EQ(ids.GetNextID(), kNoID);
    EXPECT_EQ(IdsBytes(), CounterBytes(kNoID)) << "the counter does not wrap";
    EXPECT_FALSE(ids.ReserveIDs(1));
    EXPECT_TRUE(ids.ReserveIDs(0));
    EXPECT_EQ(ids.GetNextID(), kNoID);

    // Reservations that would reach the invalid ID fail; sums are taken in 64 bits.
    WriteIds(CounterBytes(0xFFFFFFFD));
    EXPECT_FALSE(ids.ReserveIDs(3));
    EXPECT_FALSE(ids.ReserveIDs(kNoID));
    EXPECT_EQ(IdsBytes(), CounterBytes(0xFFFFFFFD));
    EXPECT_TRUE(ids.ReserveIDs(2));
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFDu);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFEu);
    EXPECT_EQ(ids.GetNextID(), kNoID);
    WriteIds(CounterBytes(1024));
    EXPECT_FALSE(ids.ReserveIDs(kNoID));
    EXPECT_EQ(IdsBytes(), CounterBytes(1024));
}

}  // namespace
