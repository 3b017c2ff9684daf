// The ID generator's file and its use: golden counter bytes and the floor of 1024, reservations
// served without file access, slots and the nesting project lock, the exact messages, copies that
// never share a handle or a reservation, and a counter that only ever rises: Create and
// SetStartID below it change nothing, failed transfers hand out no ID and no ID repeats after
// them, and the IDs end before the invalid ID. Across processes: peers taking IDs at once never
// meet, a killed peer's slot and counter lock vanish with it, and slots are counted. The peer's
// generator verbs (one answer line each) are also what the folder verbs' shell test drives.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/text.h"
#include "qzobj/project_ids.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/recording_archive.h"

namespace {

using qzo::platform::FailNextRead;
using qzo::platform::FailNextWrite;
using qzo::platform::IoFault;
using qzo::test::DebugCapture;
using qzo::test::Le32;  // the stored counter
using qzo::test::Peer;
using ScopedDebug = qzo::test::ScopedDebugOutput;

constexpr DWORD kNoID = 0xFFFFFFFFu;

// The counter as stored; a file shorter than 4 bytes fails the test and gives 0.
uint32_t StoredCounter(const std::string& idsPath) {
    const std::string bytes = qzo::test::ReadFileBytes(idsPath);
    EXPECT_GE(bytes.size(), 4u) << idsPath;
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && i < bytes.size(); ++i)
        value |= uint32_t(uint8_t(bytes[i])) << (8 * i);
    return bytes.size() < 4 ? 0 : value;
}

// A write lock of [offset, offset + length) on the open file description of `fd`, straight
// through the system: taken (F_OFD_SETLK), or probed (F_OFD_GETLK: true when another
// description holds one).
bool OfdLock(int fd, int command, uint64_t offset, uint64_t length) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = off_t(offset);
    lock.l_len = off_t(length);
    return fcntl(fd, command, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Whether another handle holds a lock overlapping [offset, offset + length) of the file.
bool RangeIsLocked(const std::string& path, uint64_t offset, uint64_t length) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    const bool locked = fd >= 0 && OfdLock(fd, F_OFD_GETLK, offset, length);
    if (fd >= 0) close(fd);
    return locked;
}

// Holds the counter lock (bytes 0-3) through a descriptor of its own, like another process's
// generator in the middle of a read-modify-write.
class CounterLockHolder {
  public:
    explicit CounterLockHolder(const std::string& idsPath)
        : fd_(open(idsPath.c_str(), O_RDWR | O_CLOEXEC)),
          held_(fd_ >= 0 && OfdLock(fd_, F_OFD_SETLK, 0, 4)) {}
    ~CounterLockHolder() {
        if (fd_ >= 0) close(fd_);
    }
    CounterLockHolder(const CounterLockHolder&) = delete;
    CounterLockHolder& operator=(const CounterLockHolder&) = delete;
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_;
};

// A project folder "<temp>/Proj" (created, holding no "PRJ.IDS" yet).
class ProjectIds : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        folder_ = TempPath("Proj");
        mkdir(folder_.c_str(), 0755);
        folderW_ = qzo::text::ToUtf16(folder_);
    }
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        QzoTest::TearDown();
    }
    const std::string& Folder() const { return folder_; }
    const std::u16string& FolderW() const { return folderW_; }
    std::string IdsPath() const { return folder_ + "/PRJ.IDS"; }
    std::string IdsBytes() const { return qzo::test::ReadFileBytes(IdsPath()); }
    void WriteIds(const std::string& bytes) const { qzo::test::WriteFileBytes(IdsPath(), bytes); }
    // Creates "PRJ.IDS" with `first` and opens `ids` on it.
    void CreateAndOpen(CProjUniID& ids, DWORD first) {
        ASSERT_EQ(ids.Create(FolderW().c_str(), first), 0u);
        ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    }

  private:
    std::string folder_;
    std::u16string folderW_;
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
    EXPECT_EQ(IdsBytes(), Le32(1026));
    // Counters below the floor are read as the floor, on every read.
    ids.Close();
    WriteIds(Le32(7));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetLastCounter(), 1024u);
    EXPECT_EQ(ids.GetNextID(), 1024u);
    EXPECT_EQ(IdsBytes(), Le32(1025));
    WriteIds(Le32(0));
    EXPECT_EQ(ids.GetNextID(), 1024u);
    ids.Close();
    // A higher first ID, and a folder spelled with a separator.
    ASSERT_EQ(ids.Create(FolderW().c_str(), 0x12345678), 0u);
    EXPECT_EQ(IdsBytes(), std::string("\x78\x56\x34\x12", 4));
    ASSERT_EQ(ids.Open((FolderW() + u"/").c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 0x12345678u);
}

TEST_F(ProjectIds, TwoGeneratorsOfOneFileHandOutDistinctIdsAndSeeEachOthersChanges) {
    CProjUniID a, b;
    CreateAndOpen(a, 1024);
    ASSERT_EQ(b.Open(FolderW().c_str()), 0u);
    EXPECT_NE(a.GetUserSlot(), b.GetUserSlot()) << "two generators of one process are two users";
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
    std::set<DWORD> seen;
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(seen.insert(a.GetNextID()).second);
        EXPECT_TRUE(seen.insert(b.GetNextID()).second);
    }
    EXPECT_EQ(*seen.begin(), 1026u);
    EXPECT_EQ(*seen.rbegin(), 1225u);
    EXPECT_EQ(StoredCounter(IdsPath()), 1226u);
}

TEST_F(ProjectIds, ReservedIdsComeWithoutTouchingTheFile) {
    CProjUniID ids;
    CreateAndOpen(ids, 2000);
    ASSERT_TRUE(ids.ReserveIDs(10));
    EXPECT_EQ(IdsBytes(), Le32(2010)) << "the file holds the counter ten higher at once";
    // Any file access from here on would fail: the reservation must not need one.
    FailNextRead(IoFault::kIoError);
    FailNextWrite(IoFault::kIoError);
    for (DWORD i = 0; i < 10; ++i) EXPECT_EQ(ids.GetNextID(), 2000 + i);
    EXPECT_EQ(ids.GetNextID(), kNoID) << "the eleventh goes to the file and meets the fault";
    FailNextWrite(IoFault::kNone);
    EXPECT_EQ(ids.GetNextID(), 2010u);
    EXPECT_EQ(IdsBytes(), Le32(2011));
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
        if (projectLock) {
            ASSERT_EQ(ids.LockProject(), 0u);
        }
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
    EXPECT_EQ(IdsBytes(), Le32(9000)) << "a higher first ID raises the counter";
    EXPECT_EQ(user.GetNextID(), 9000u);
    user.Close();

    WriteIds(Le32(7000) + "tail");
    EXPECT_EQ(creator.Create(FolderW().c_str(), 1024), 0u);
    EXPECT_EQ(IdsBytes(), Le32(7000) + "tail");
    WriteIds(std::string("\x05", 1));
    EXPECT_EQ(creator.Create(FolderW().c_str(), 3000), 0u);
    EXPECT_EQ(IdsBytes(), Le32(3000)) << "a file shorter than 4 bytes gets a counter";
    WriteIds("");
    EXPECT_EQ(creator.Create(FolderW().c_str(), 0), 0u);
    EXPECT_EQ(IdsBytes(), Le32(1024));
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
    EXPECT_EQ(IdsBytes(), Le32(1024));
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
    EXPECT_EQ(IdsBytes(), Le32(2048));
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 2048u) << "nothing was handed out while the disk was full";
}

TEST_F(ProjectIds, TheInvalidIdIsNeverHandedOut) {
    WriteIds(Le32(0xFFFFFFFE));
    CProjUniID ids;
    ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFEu);
    EXPECT_EQ(IdsBytes(), Le32(kNoID));
    EXPECT_EQ(ids.GetNextID(), kNoID);
    EXPECT_EQ(ids.GetNextID(), kNoID);
    EXPECT_EQ(IdsBytes(), Le32(kNoID)) << "the counter does not wrap";
    EXPECT_FALSE(ids.ReserveIDs(1));
    EXPECT_TRUE(ids.ReserveIDs(0));
    EXPECT_EQ(ids.GetNextID(), kNoID);

    // Reservations that would reach the invalid ID fail; sums are taken in 64 bits.
    WriteIds(Le32(0xFFFFFFFD));
    EXPECT_FALSE(ids.ReserveIDs(3));
    EXPECT_FALSE(ids.ReserveIDs(kNoID));
    EXPECT_EQ(IdsBytes(), Le32(0xFFFFFFFD));
    EXPECT_TRUE(ids.ReserveIDs(2));
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFDu);
    EXPECT_EQ(ids.GetNextID(), 0xFFFFFFFEu);
    EXPECT_EQ(ids.GetNextID(), kNoID);
    WriteIds(Le32(1024));
    EXPECT_FALSE(ids.ReserveIDs(kNoID));
    EXPECT_EQ(IdsBytes(), Le32(1024));
}

// ---- across processes

std::vector<std::unique_ptr<CProjUniID>>& Generators() {
    static std::vector<std::unique_ptr<CProjUniID>> generators;
    return generators;
}

CProjUniID* First() {
    return Generators().empty() ? nullptr : Generators().front().get();
}

// Runs `call` on the first generator; "ERR none" without one.
std::string OnFirst(const std::function<std::string(CProjUniID&)>& call) {
    return First() ? call(*First()) : "ERR none";
}

}  // namespace

// ids_open FOLDER [COUNT]: opens COUNT generators (default 1) and keeps those that opened;
// answers "<opened> <result of the first failure, or 0>".
QZO_PEER_COMMAND(ids_open) {
    const std::u16string folder = qzo::text::ToUtf16(args.at(0));
    const int count = args.size() > 1 ? std::stoi(args[1]) : 1;
    int opened = 0;
    unsigned failure = 0;
    for (int i = 0; i < count; ++i) {
        auto ids = std::make_unique<CProjUniID>();
        const unsigned result = ids->Open(folder.c_str());
        if (result == 0) {
            Generators().push_back(std::move(ids));
            ++opened;
        } else if (failure == 0) {
            failure = result;
        }
    }
    return std::to_string(opened) + " " + std::to_string(failure);
}

// ids_next COUNT FILE [RESERVE_EVERY RESERVE_COUNT]: takes COUNT IDs from the first generator
// and writes them to FILE as 32-bit values; with the optional pair, every RESERVE_EVERY-th call
// reserves RESERVE_COUNT IDs first. Answers "OK" or "ERR <call index>".
QZO_PEER_COMMAND(ids_next) {
    return OnFirst([&](CProjUniID& ids) -> std::string {
        const int count = std::stoi(args.at(0));
        const int every = args.size() > 3 ? std::stoi(args[2]) : 0;
        const unsigned reserve = args.size() > 3 ? unsigned(std::stoul(args[3])) : 0;
        std::vector<DWORD> taken;
        for (int i = 0; i < count; ++i) {
            if (every > 0 && i % every == 0 && !ids.ReserveIDs(reserve))
                return "ERR reserve " + std::to_string(i);
            taken.push_back(ids.GetNextID());
            if (taken.back() == 0xFFFFFFFF) return "ERR " + std::to_string(i);
        }
        qzo::test::WriteFileBytes(args.at(1), std::string(reinterpret_cast<char*>(taken.data()),
                                                          taken.size() * sizeof(DWORD)));
        return "OK";
    });
}

// The first generator's answers: ReserveIDs(COUNT), GetNextID, LockProject.
QZO_PEER_COMMAND(ids_reserve) {
    return OnFirst([&](CProjUniID& ids) {
        return std::to_string(ids.ReserveIDs(unsigned(std::stoul(args.at(0)))));
    });
}

QZO_PEER_COMMAND(ids_one) {
    return OnFirst([](CProjUniID& ids) { return std::to_string(ids.GetNextID()); });
}

QZO_PEER_COMMAND(ids_lockproject) {
    return OnFirst([](CProjUniID& ids) { return std::to_string(ids.LockProject()); });
}

// ids_hold_counter IDSFILE: takes the counter lock (bytes 0-3) and keeps it.
QZO_PEER_COMMAND(ids_hold_counter) {
    static CounterLockHolder* holder = nullptr;
    delete holder;
    holder = new CounterLockHolder(args.at(0));
    return holder->held() ? "OK" : "ERR lock";
}

// ids_close: closes every generator.
QZO_PEER_COMMAND(ids_close) {
    Generators().clear();
    return "OK";
}

namespace {

// Four processes with 10,000 calls each (about 4 s under the sanitizers).
constexpr int kPeers = 4;
constexpr int kCallsPerPeer = 10000;

class ProjectIdsCrossProcess : public ProjectIds {
  protected:
    std::unique_ptr<Peer> StartPeer() {
        auto peer = std::make_unique<Peer>();
        EXPECT_TRUE(peer->Start());
        return peer;
    }
    // Creates "PRJ.IDS" with `first`, opens `ids` on it unless null, and starts a peer.
    std::unique_ptr<Peer> Begin(DWORD first, CProjUniID* ids) {
        CProjUniID creator;
        EXPECT_EQ(creator.Create(FolderW().c_str(), first), 0u);
        if (ids) {
            EXPECT_EQ(ids->Open(FolderW().c_str()), 0u);
        }
        return StartPeer();
    }
    // Runs `command` (with " <output file>" and `options` appended) on every peer at once,
    // and checks that the IDs they took are distinct and gapless from `first`.
    void RunTogether(DWORD first, const std::string& options) {
        CProjUniID creator;
        ASSERT_EQ(creator.Create(FolderW().c_str(), first), 0u);
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < kPeers; ++i) {
            peers.push_back(StartPeer());
            EXPECT_EQ(peers.back()->Call("ids_open " + Folder()), "1 0");
        }
        std::vector<std::string> answers(kPeers);
        std::vector<std::thread> threads;
        for (int i = 0; i < kPeers; ++i)
            threads.emplace_back([&, i] {
                answers[i] = peers[i]->Call("ids_next " + std::to_string(kCallsPerPeer) + " " +
                                            TempPath("ids" + std::to_string(i)) + options);
            });
        for (auto& thread : threads) thread.join();
        std::vector<DWORD> all;
        for (int i = 0; i < kPeers; ++i) {
            EXPECT_EQ(answers[i], "OK") << "peer " << i;
            const std::string bytes = qzo::test::ReadFileBytes(TempPath("ids" + std::to_string(i)));
            std::vector<DWORD> ids(bytes.size() / sizeof(DWORD));
            std::memcpy(ids.data(), bytes.data(), ids.size() * sizeof(DWORD));
            EXPECT_EQ(ids.size(), size_t(kCallsPerPeer)) << "peer " << i;
            all.insert(all.end(), ids.begin(), ids.end());
        }
        const std::set<DWORD> distinct(all.begin(), all.end());
        EXPECT_EQ(distinct.size(), size_t(kPeers * kCallsPerPeer)) << "an ID was handed out twice";
        ASSERT_FALSE(distinct.empty());
        EXPECT_EQ(*distinct.begin(), first);
        EXPECT_EQ(*distinct.rbegin(), first + all.size() - 1) << "no ID was skipped";
        EXPECT_EQ(StoredCounter(IdsPath()), first + kPeers * kCallsPerPeer);
    }
};

TEST_F(ProjectIdsCrossProcess, FourPeersTakeDistinctIds) {
    RunTogether(5000, "");
}

TEST_F(ProjectIdsCrossProcess, FourPeersMixingReservationsTakeDistinctIds) {
    // Every 50th call reserves 10 IDs; the reservations are used up before the end.
    RunTogether(1024, " 50 10");
}

TEST_F(ProjectIdsCrossProcess, AKilledPeerFreesItsSlotAndTheCounterLock) {
    CProjUniID ids;
    auto peer = Begin(1024, &ids);
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    ASSERT_EQ(peer->Call("ids_hold_counter " + IdsPath()), "OK");
    EXPECT_EQ(ids.LockProject(), 0xFFFFFFFEu) << "the counter lock is held by the peer";
    kill(peer->pid(), SIGKILL);
    EXPECT_TRUE(peer->Wait().signaled);
    EXPECT_EQ(ids.GetNextID(), 1024u) << "the dead peer's counter lock is gone";
    EXPECT_EQ(ids.LockProject(), 0u) << "the dead peer's slot is gone";
    EXPECT_TRUE(ids.UnlockProject());
}

TEST_F(ProjectIdsCrossProcess, LockProjectCountsUsersOfOtherProcesses) {
    CProjUniID ids;
    auto peer = Begin(1024, &ids);
    ASSERT_EQ(peer->Call("ids_open " + Folder() + " 3"), "3 0");
    EXPECT_EQ(ids.LockProject(), 3u);
    ASSERT_EQ(peer->Call("ids_close"), "OK");
    ASSERT_EQ(ids.LockProject(), 0u);
    EXPECT_EQ(peer->Call("ids_open " + Folder()), "0 2") << "the project is locked";
    EXPECT_TRUE(ids.UnlockProject());
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    EXPECT_EQ(peer->Call("ids_lockproject"), "1");
    EXPECT_EQ(ids.LockProject(), 1u);
}

// Another user's reservation stays its own: SetStartID below the counter changes nothing and
// hands out none of it again; above the counter it raises the counter.
TEST_F(ProjectIdsCrossProcess, APeersReservationStaysItsOwn) {
    CProjUniID ids;
    auto peer = Begin(3000, &ids);
    ASSERT_EQ(peer->Call("ids_open " + Folder()), "1 0");
    ASSERT_EQ(peer->Call("ids_reserve 100"), "1");
    EXPECT_EQ(IdsBytes(), Le32(3100));
    EXPECT_EQ(ids.GetNextID(), 3100u);
    EXPECT_TRUE(ids.SetStartID(3000));
    EXPECT_TRUE(ids.SetStartID(0));
    EXPECT_EQ(IdsBytes(), Le32(3101));
    EXPECT_EQ(ids.GetNextID(), 3101u);
    EXPECT_EQ(peer->Call("ids_one"), "3000");
    EXPECT_TRUE(ids.SetStartID(6000));
    EXPECT_EQ(IdsBytes(), Le32(6000));
    EXPECT_EQ(ids.GetNextID(), 6000u);
    EXPECT_EQ(peer->Call("ids_one"), "3001");
}

TEST_F(ProjectIdsCrossProcess, The257thOpenAcrossTwoProcessesFailsWithTwo) {
    auto peer = Begin(1024, nullptr);
    ASSERT_EQ(peer->Call("ids_open " + Folder() + " 200"), "200 0");
    std::vector<CProjUniID> mine(56);
    for (auto& ids : mine) ASSERT_EQ(ids.Open(FolderW().c_str()), 0u);
    CProjUniID extra;
    {
        DebugCapture capture;
        ScopedDebug debug(true);
        EXPECT_EQ(extra.Open(FolderW().c_str()), 2u);
        EXPECT_FALSE(extra.IsOpen());
        EXPECT_EQ(capture.Text(), "\rCProjUniID::Open: All user locks expired...\r\n");
    }
    EXPECT_EQ(peer->Call("ids_open " + Folder()), "0 2");
    // A freed slot goes to the next opener.
    const unsigned freed = mine[17].GetUserSlot();
    mine[17].Close();
    EXPECT_EQ(extra.Open(FolderW().c_str()), 0u);
    EXPECT_EQ(extra.GetUserSlot(), freed);
    mine.pop_back();
    EXPECT_EQ(peer->Call("ids_open " + Folder()), "1 0");
}

}  // namespace
