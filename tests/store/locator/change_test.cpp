// Change detection: the change table (answers, key order, clearing, readers beside a writer),
// the 36-byte change message and its checks on arrival, the decision from table or file, a
// served table answering without the file, one box owner per computer, and a writer's unlock
// reaching BETA's table. (Whole commits reaching another process are tested end to end.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "qzobj/file_modes.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/store/change_detection.h"
#include "qzobj/store/change_table.h"
#include "qzobj/store/locator_mailslot.h"
#include "qzobj/store/locfile.h"
#include "store/locator/locator_test_support.h"
#include "support/simulated_network.h"
#include "support/stopwatch.h"
#include "support/wait_until.h"

namespace qzo::test::store {
namespace {

using qzo::store::ApplyChangeMessage;
using qzo::store::ChangeFromFile;
using qzo::store::ChangeFromTable;
using qzo::store::ChangeNotices;
using qzo::store::ChangeTable;
using qzo::store::FileFacts;
using qzo::store::LocMailslot;
using qzo::store::SnoopChange;
using qzo::store::SnoopRequest;
using qzo::store::tagLOCMAILITEM;

constexpr DWORD kHashID = kPlainHashID;

FILETIME Time(DWORD low, DWORD high) {
    return FILETIME{low, high};
}

TEST(ChangeTable, LookupTellsMissingSameAndOtherTimes) {
    ChangeTable table;
    EXPECT_EQ(table.Lookup(1024, Time(1, 2)), ChangeTable::kNotFound);
    ASSERT_TRUE(table.Set(1024, Time(1, 2)));
    EXPECT_EQ(table.Lookup(1024, Time(1, 2)), ChangeTable::kSameTime);
    EXPECT_EQ(table.Lookup(1024, Time(1, 3)), ChangeTable::kOtherTime);
    EXPECT_EQ(table.Lookup(1024, Time(0, 2)), ChangeTable::kOtherTime);
    // Same bucket (low 12 bits), other object.
    EXPECT_EQ(table.Lookup(1024 + 4096, Time(1, 2)), ChangeTable::kNotFound);
    ASSERT_TRUE(table.Set(1024, Time(7, 8)));  // replaces, never adds
    EXPECT_EQ(table.Count(), 1u);
    EXPECT_EQ(table.Lookup(1024, Time(7, 8)), ChangeTable::kSameTime);
    EXPECT_EQ(table.Lookup(1024, Time(1, 2)), ChangeTable::kOtherTime);
}

TEST(ChangeTable, EntriesOfOneBucketStaySortedWhateverTheInsertOrder) {
    ChangeTable table;
    std::vector<DWORD> ids(300);
    for (DWORD i = 0; i < ids.size(); ++i) ids[i] = 0x123 + i * 4096;  // all in bucket 0x123
    ids.push_back(0xFFFFF123);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    for (DWORD id : ids) ASSERT_TRUE(table.Set(id, Time(id, ~id)));
    EXPECT_EQ(table.Count(), ids.size());
    for (DWORD id : ids) {
        ASSERT_EQ(table.Lookup(id, Time(id, ~id)), ChangeTable::kSameTime) << id;
        ASSERT_EQ(table.Lookup(id + 1, Time(id, ~id)), ChangeTable::kNotFound);
    }
    // Removal in another order keeps the rest findable.
    std::shuffle(ids.begin(), ids.end(), std::mt19937(8));
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_TRUE(table.Remove(ids[i]));
        ASSERT_FALSE(table.Remove(ids[i]));
        ASSERT_EQ(table.Lookup(ids[i], Time(ids[i], ~ids[i])), ChangeTable::kNotFound);
        if (i + 1 < ids.size()) {
            ASSERT_EQ(table.Lookup(ids[i + 1], Time(ids[i + 1], ~ids[i + 1])),
                      ChangeTable::kSameTime);
        }
    }
    EXPECT_EQ(table.Count(), 0u);
}

TEST(ChangeTable, ClearForgetsEveryObject) {
    ChangeTable table;
    for (DWORD id = 0; id < 10000; id += 3) ASSERT_TRUE(table.Set(id, Time(id, 0)));
    EXPECT_EQ(table.Count(), 3334u);
    table.Clear();
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_EQ(table.Lookup(0, Time(0, 0)), ChangeTable::kNotFound);
    EXPECT_EQ(table.Lookup(9999, Time(9999, 0)), ChangeTable::kNotFound);
    ASSERT_TRUE(table.Set(9999, Time(1, 1)));  // usable again
    EXPECT_EQ(table.Lookup(9999, Time(1, 1)), ChangeTable::kSameTime);
}

TEST(ChangeTable, ReadersSeeStableEntriesWhileOneThreadChurnsTheirBuckets) {
    ChangeTable table;
    // Stable entries in 64 buckets; the writer inserts and removes neighbours in the same
    // buckets, which moves and reallocates the arrays the readers search.
    constexpr DWORD kStable = 64;
    for (DWORD b = 0; b < kStable; ++b) ASSERT_TRUE(table.Set(b * 64 + 4096 * 500, Time(b, 1)));
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<uint64_t> lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 6; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 random(r);
            while (!done.load()) {
                const DWORD b = random() % kStable;
                const DWORD id = b * 64 + 4096 * 500;
                if (table.Lookup(id, Time(b, 1)) != ChangeTable::kSameTime) ++failures;
                if (table.Lookup(id, Time(b, 2)) != ChangeTable::kOtherTime) ++failures;
                lookups += 2;
            }
        });
    }
    std::mt19937 random(99);
    for (int step = 0; step < 20000; ++step) {
        const DWORD b = random() % kStable;
        const DWORD neighbour = b * 64 + 4096 * (random() % 1000);
        if (neighbour == b * 64 + 4096 * 500) continue;
        if (random() % 2)
            table.Set(neighbour, Time(step, 0));
        else
            table.Remove(neighbour);
    }
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(lookups.load(), 0u);
    for (DWORD b = 0; b < kStable; ++b)
        EXPECT_EQ(table.Lookup(b * 64 + 4096 * 500, Time(b, 1)), ChangeTable::kSameTime);
}

const Location kLocation{kHashID, kObjID, kProjID, 0x11223344, 0x00020000};

std::string RawBytes(const void* data, size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

TEST(ChangeMessage, IsNineLittleEndianWords) {
    const tagLOCMAILITEM message = qzo::store::MakeChangeMessage(kLocation);
    const std::string expected = LittleEndian(36) + LittleEndian(0) + LittleEndian(0) +
                                 LittleEndian(1) + LittleEndian(kHashID) + LittleEndian(kObjID) +
                                 LittleEndian(kProjID) + LittleEndian(0x11223344) +
                                 LittleEndian(0x00020000);
    EXPECT_EQ(RawBytes(&message, sizeof message), expected);
}

TEST(ChangeMessage, OnlyAWholeChangeOfTheServedProjectRemovesTheEntry) {
    ChangeTable table;
    ASSERT_TRUE(table.Set(kObjID, FILETIME{1, 1}));
    tagLOCMAILITEM message = qzo::store::MakeChangeMessage(kLocation);
    EXPECT_FALSE(ApplyChangeMessage(nullptr, kProjID, table));
    EXPECT_FALSE(ApplyChangeMessage(&message.Item, LOCATION_NO_PROJID, table));
    EXPECT_FALSE(ApplyChangeMessage(&message.Item, kProjID + 1, table));
    message.Item.dwSize = 35;
    EXPECT_FALSE(ApplyChangeMessage(&message.Item, kProjID, table));
    message.Item.dwSize = 16;
    EXPECT_FALSE(ApplyChangeMessage(&message.Item, kProjID, table));
    message.Item.dwSize = 36;
    message.Item.dwCode = 2;
    EXPECT_FALSE(ApplyChangeMessage(&message.Item, kProjID, table));
    EXPECT_EQ(table.Count(), 1u);
    message.Item.dwCode = 1;
    EXPECT_TRUE(ApplyChangeMessage(&message.Item, kProjID, table));
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_FALSE(ApplyChangeMessage(&message.Item, kProjID, table));
}

// A change detection request for the fixture's object read at `objectTime`, counting the reads
// of the file in `reads`.
SnoopRequest CountingRequest(const std::u16string& path, FILETIME objectTime, int& reads) {
    SnoopRequest request;
    request.objID = kObjID;
    request.projID = kProjID;
    request.path = path.c_str();
    request.objectTime = objectTime;
    request.readFile = [&reads](const WCHAR* file) {
        ++reads;
        return qzo::store::ReadFileFacts(file);
    };
    return request;
}

class NoticeTest : public LocatorTest {
  protected:
    // BETA opens the project's box first, then this process (ALPHA); both then know each other.
    // BETA's table then lists the object (at a time of its own).
    void StartBeta() {
        beta_ = std::make_unique<Peer>(BetaEnvironment());
        ASSERT_TRUE(beta_->Start());
        ASSERT_EQ(beta_->Call("notice_open 1234 " + TempPath("proj/")), "OK");
        ASSERT_TRUE(alpha_.OpenProject(kProjID, ProjectPath().c_str()));
        ASSERT_TRUE(WaitUntil([&] { return alpha_.GetTargetList().GetNItems() > 0; },
                              std::chrono::seconds(10)));
        ASSERT_EQ(beta_->Call("notice_set abc"), "OK");
        ASSERT_EQ(beta_->Call("notice_has abc"), "1");
    }
    // Polls BETA until its table no longer holds the object; the time it took, or -1.
    long long BetaForgets(std::chrono::milliseconds limit) {
        Stopwatch watch;
        if (!WaitUntil([&] { return beta_->Call("notice_has abc") == "0"; }, limit)) return -1;
        return watch.Ms();
    }

    ChangeTable table_;
    LocMailslot alpha_{table_};
    std::unique_ptr<Peer> beta_;
};

TEST_F(NoticeTest, OpenBoxServesItsProjectAndClosedOneNothing) {
    ChangeNotices notices{&table_, &alpha_, kProjID};
    EXPECT_EQ(alpha_.GetProjID(), LOCATION_NO_PROJID);
    EXPECT_EQ(notices.TableFor(kProjID), nullptr);
    ASSERT_TRUE(alpha_.OpenProject(kProjID, ProjectPath().c_str()));
    EXPECT_EQ(alpha_.GetProjID(), kProjID);
    EXPECT_EQ(notices.TableFor(kProjID), &table_);
    EXPECT_EQ(notices.TableFor(kProjID + 1), nullptr);
    EXPECT_TRUE(FileExists(TempPath("proj/workgroup/ALPHA.wg2")));
    EXPECT_FALSE(alpha_.OpenProject(LOCATION_NO_PROJID, ProjectPath().c_str()));
    EXPECT_EQ(alpha_.GetProjID(), LOCATION_NO_PROJID);
    EXPECT_FALSE(alpha_.SendChange(kLocation));
}

TEST_F(NoticeTest, ServedTableAnswersWithoutTouchingTheFile) {
    ASSERT_TRUE(alpha_.OpenProject(kProjID, ProjectPath().c_str()));
    ChangeNotices notices{&table_, &alpha_, kProjID};
    const qzo::store::FileFacts facts = qzo::store::ReadFileFacts(widePath_.c_str());
    int reads = 0;
    SnoopRequest request = CountingRequest(widePath_, facts.lastWrite, reads);
    // Unknown: the file answers and its time goes into the table.
    EXPECT_FALSE(qzo::store::SnoopChange(request, notices));
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(table_.Lookup(kObjID, facts.lastWrite), ChangeTable::kSameTime);
    // Known: the table answers, also after the file went.
    ASSERT_TRUE(qzo::platform::DeleteFileUnlessOpen(widePath_.c_str()));
    EXPECT_FALSE(qzo::store::SnoopChange(request, notices));
    request.objectTime = FILETIME{1, 1};
    EXPECT_TRUE(qzo::store::SnoopChange(request, notices));
    EXPECT_EQ(reads, 1);
}

// One box per computer: a second owner on this computer fails and must read file times.
TEST_F(NoticeTest, SecondOwnerOnOneComputerFallsBackToTheFileTime) {
    ASSERT_TRUE(alpha_.OpenProject(kProjID, ProjectPath().c_str()));
    ChangeTable otherTable;
    LocMailslot other(otherTable);
    EXPECT_FALSE(other.OpenProject(kProjID, ProjectPath().c_str()));
    EXPECT_EQ(qzo::platform::GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(other.GetProjID(), LOCATION_NO_PROJID);
    ChangeNotices notices{&otherTable, &other, kProjID};
    EXPECT_EQ(notices.TableFor(kProjID), nullptr);

    const qzo::store::FileFacts facts = qzo::store::ReadFileFacts(widePath_.c_str());
    ASSERT_TRUE(otherTable.Set(kObjID, facts.lastWrite));  // a stale entry it must not trust
    int reads = 0;
    SnoopRequest request = CountingRequest(widePath_, FILETIME{1, 0}, reads);
    EXPECT_TRUE(qzo::store::SnoopChange(request, notices));
    EXPECT_EQ(reads, 1);
}

TEST_F(NoticeTest, AlphasCommitReachesBetasTableWithinTwoSeconds) {
    StartBeta();
    ChangeNotices notices{&table_, &alpha_, kProjID};

    // A reader's unlock records the time but announces nothing.
    qzo::store::AccessResult reader = qzo::store::WaitForAccess(Request(kRead, 1000));
    ASSERT_EQ(reader.result, qzo::store::kAccessObtained);
    EXPECT_TRUE(qzo::store::UnlockObject(reader.file, kLocation, notices));
    reader.file->Close();
    const qzo::store::FileFacts before = qzo::store::ReadFileFacts(widePath_.c_str());
    EXPECT_EQ(table_.Lookup(kObjID, before.lastWrite), ChangeTable::kSameTime);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(beta_->Call("notice_has abc"), "1");

    // A writer's unlock after writing announces the change.
    qzo::store::AccessResult writer = qzo::store::WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(writer.result, qzo::store::kAccessObtained);
    const char data[] = "changed";
    ASSERT_EQ(writer.file->Write(data, sizeof data), sizeof data);
    ASSERT_TRUE(writer.file->TouchLastWrite());
    FILETIME written{};
    ASSERT_TRUE(writer.file->GetLastWriteTime(&written));
    ASSERT_TRUE(qzo::store::UnlockObject(writer.file, kLocation, notices));
    const long long took = BetaForgets(std::chrono::seconds(2));
    EXPECT_GE(took, 0) << "BETA still lists the object";
    EXPECT_EQ(table_.Lookup(kObjID, written), ChangeTable::kSameTime);
    writer.file->Close();
}

FILETIME FileTime(uint64_t value) {
    return qzo::platform::MakeFileTime(value);
}

TEST(ChangeDecision, TableAnswersSameOtherOrLeavesItToTheFile) {
    EXPECT_EQ(ChangeFromTable(ChangeTable::kSameTime), std::optional<BOOL>(FALSE));
    EXPECT_EQ(ChangeFromTable(ChangeTable::kOtherTime), std::optional<BOOL>(TRUE));
    EXPECT_FALSE(ChangeFromTable(ChangeTable::kNotFound).has_value());
}

TEST(ChangeDecision, FileAnswersFromReadabilityDeletionMarkAndTime) {
    const FILETIME object = FileTime(0x0000000200000000ull);
    FileFacts file;
    EXPECT_TRUE(ChangeFromFile(file, object));  // unreadable
    file.readable = true;
    file.lastWrite = object;
    EXPECT_FALSE(ChangeFromFile(file, object));
    // The high word counts first: a later time with a smaller low word is still later.
    file.lastWrite = FileTime(0x00000003000000FFull - 0xFF);
    EXPECT_TRUE(ChangeFromFile(file, FileTime(0x00000002FFFFFFFFull)));
    file.lastWrite = FileTime(0x00000001FFFFFFFFull);
    EXPECT_FALSE(ChangeFromFile(file, object));
    file.markedDeleted = true;
    EXPECT_TRUE(ChangeFromFile(file, object));
}

using SnoopTest = LocatorTest;

TEST_F(SnoopTest, WithoutServedNoticesTheFileTimeAnswers) {
    ChangeTable table;
    ChangeNotices notices{&table, nullptr, kProjID};  // no mailslot: nothing serves the table
    const FileFacts facts = qzo::store::ReadFileFacts(widePath_.c_str());
    ASSERT_TRUE(facts.readable);
    EXPECT_FALSE(facts.markedDeleted);
    int reads = 0;
    SnoopRequest request = CountingRequest(widePath_, facts.lastWrite, reads);
    EXPECT_FALSE(SnoopChange(request, notices));
    request.objectTime = FileTime(qzo::platform::FileTimeValue(facts.lastWrite) - 1);
    EXPECT_TRUE(SnoopChange(request, notices));
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_EQ(notices.TableFor(kProjID), nullptr);

    ASSERT_TRUE(qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_READONLY));
    request.objectTime = facts.lastWrite;
    EXPECT_TRUE(SnoopChange(request, notices));
    ASSERT_TRUE(qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_NORMAL));

    const std::u16string missing = Wide(TempPath("proj/OBJ/5A5A0001/00000ABD.QZO"));
    request.path = missing.c_str();
    EXPECT_TRUE(SnoopChange(request, notices));
}

TEST_F(SnoopTest, SnoopTimesItsFileReadWhenAskedTo) {
    CBasePerfItem timer;
    ChangeNotices notices;
    SnoopRequest request;
    request.objID = kObjID;
    request.projID = kProjID;
    request.path = widePath_.c_str();
    request.timer = &timer;
    SnoopChange(request, notices);
    SnoopChange(request, notices);
    EXPECT_EQ(timer.GetEvents(), 2u);
}

TEST_F(SnoopTest, UnlockRecordsNothingForOtherProjects) {
    ChangeTable table;
    ChangeNotices notices{&table, nullptr, kProjID};
    LocFile* file = LocFile::Open(widePath_.c_str(), kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  OPEN_EXISTING, 0);
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Lock(0, qzo::store::kHeaderLockLength));
    Location other{kHashID, kObjID, kProjID + 1, 0, 0};
    EXPECT_FALSE(qzo::store::StoreUnlockTime(*file, other, notices));
    EXPECT_TRUE(qzo::store::UnlockObject(file, other, notices));
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_FALSE(qzo::store::UnlockObject(nullptr, other, notices));
    file->Close();
}

}  // namespace
}  // namespace qzo::test::store
