// The protocol below the locators' objects, on an object file of 3000 bytes: access (a writer
// waiting for another to close, refusals and failures with their messages, the attach and detach
// hooks, write-through at priority 2, time limits across a wrapping tick) and change detection
// (the change table, the 36-byte change message and its checks on arrival, the decision from
// table or file, a served table answering without the file, one box owner per computer). Second
// writers and readers, a peer's header lock and commits reaching another process are tested
// through locators in storexp/cross_process_test.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "qzobj/file_modes.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/store/notices/change_detection.h"
#include "qzobj/store/notices/change_table.h"
#include "qzobj/store/locator/locator_access.h"
#include "qzobj/store/notices/locator_mailslot.h"
#include "qzobj/store/objfile/locfile.h"
#include "support/capture.h"
#include "support/simulated_network.h"
#include "support/stopwatch.h"
#include "store/support/store_fixture.h"

namespace qzo::test::store {
namespace {

// Beside the working project, "proj/OBJ/5A5A0001/00000ABC.QZO" of 3000 bytes made with LocFile
// (CREATE_NEW), and access requests for it as the project 0x1234 would make them.
inline constexpr DWORD kObjID = 0xABC;  // "00000abc" in the messages
inline constexpr DWORD kProjID = 0x1234;

class LocatorTest : public StoreTest {
  protected:
    void SetUp() override;

    qzo::store::AccessRequest Request(DWORD access, DWORD timeout) const;
    std::u16string ProjectPath() const { return Wide(TempPath("proj/")); }
    static std::map<std::string, std::string> BetaEnvironment() {
        return {{"QZO_COMPUTERNAME", "BETA"}};
    }

    std::string path_;
    std::u16string widePath_;
};

void LocatorTest::SetUp() {
    StoreTest::SetUp();
    if (HasFatalFailure()) return;
    path_ = TempPath("proj/OBJ/5A5A0001/00000ABC.QZO");
    widePath_ = Wide(path_);
    ASSERT_TRUE(FU_CreatePath(Wide(TempPath("proj/OBJ/5A5A0001/")).c_str()));
    LocFile* file =
        LocFile::Open(widePath_.c_str(), kReadWrite, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(file, nullptr);
    std::string content(3000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = char(i * 13 + 5);
    EXPECT_EQ(file->Write(content.data(), DWORD(content.size())), content.size());
    file->Close();
}

qzo::store::AccessRequest LocatorTest::Request(DWORD access, DWORD timeout) const {
    qzo::store::AccessRequest request;
    request.objID = kObjID;
    request.path = widePath_.c_str();
    request.access = access;
    request.timeout = timeout;
    request.inDefaultProject = true;
    request.projectVersion = 0x30000;
    return request;
}

// ---- Access ---------------------------------------------------------------------------------

using qzo::store::AccessRequest;
using qzo::store::AccessResult;
using qzo::store::kAccessFailed;
using qzo::store::kAccessObtained;
using qzo::store::kAccessRefused;
using qzo::store::kAccessTimeout;
using qzo::store::kHeaderLockLength;
using qzo::store::kWaitForever;
using qzo::store::WaitDeadline;
using qzo::store::WaitForAccess;
using qzo::store::WaitForLock;

// Whether a descriptor of this process on `path` writes through (O_DSYNC), from /proc.
bool OpenWithWriteThrough(const std::string& path) {
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target != path) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        while (info >> key) {
            if (key != "flags:") continue;
            std::string octal;
            info >> octal;
            if (std::stoul(octal, nullptr, 8) & O_DSYNC) found = true;
        }
    }
    return found;
}

// Releases the header lock and closes the file of an obtained access.
void Finish(AccessResult& access) {
    if (!access.file) return;
    access.file->Unlock(0, kHeaderLockLength);
    access.file->Close();
    access.file = nullptr;
}

using AccessTest = LocatorTest;

TEST_F(AccessTest, WriterGetsInOnceTheOtherWriterCloses) {
    AccessResult first = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(first.result, kAccessObtained);
    // The header lock belongs to the thread that took it; the handle may close anywhere.
    ASSERT_TRUE(first.file->Unlock(0, kHeaderLockLength));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        first.file->Close();
    });
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    AccessResult second = WaitForAccess(Request(kReadWrite, 10000));
    closer.join();
    EXPECT_EQ(second.result, kAccessObtained);
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Exclusive access released\r\n"));
    Finish(second);
}

// Every refusal and failure comes at once, with its message.
TEST_F(AccessTest, RefusalsAndFailuresWithTheirMessages) {
    const std::u16string missing = Wide(TempPath("proj/OBJ/5A5A0001/00000ABD.QZO"));
    const std::u16string folder = Wide(TempPath("proj/OBJ/5A5A0001"));
    const struct {
        const char* name;
        std::function<void(AccessRequest&)> change;
        bool readOnly;
        DWORD result;
        const char* message;
    } rows[] = {
        {"a write outside the working project",
         [](AccessRequest& r) { r.inDefaultProject = false; }, false, kAccessRefused,
         "Project does not have edit access\r\n"},
        // The system's own text, with its missing backslash.
        {"a write to a newer project", [](AccessRequest& r) { r.projectVersion = 0x30001; }, false,
         kAccessRefused, "Project version higher than current -> Edit access deniedr\n"},
        {"a read-only file", [](AccessRequest& r) { r.access = kRead; }, true, kAccessFailed,
         "Object marked as deleted\r\n"},
        {"no path", [](AccessRequest& r) { r.path = nullptr; }, false, kAccessFailed,
         "Object path unretrievable\r\n"},
        {"a missing file", [&](AccessRequest& r) { r.path = missing.c_str(); }, false,
         kAccessFailed, "Attributes unretrievable (error 2)\r\n"},
        // A folder has attributes but does not open as an object file.
        {"a folder", [&](AccessRequest& r) { r.path = folder.c_str(); }, false, kAccessFailed,
         "Object does not exist\r\n"},
    };
    AccessResult holder = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(holder.result, kAccessObtained);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.readOnly) {
            Finish(holder);
            ASSERT_TRUE(
                qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        ScopedDebugOutput debug(true);
        DebugCapture capture;
        AccessRequest request = Request(kReadWrite, 5000);
        row.change(request);
        Stopwatch watch;
        const AccessResult access = WaitForAccess(request);
        EXPECT_EQ(access.result, row.result);
        EXPECT_EQ(access.file, nullptr);
        EXPECT_LT(watch.Ms(), 1000);
        EXPECT_TRUE(
            capture.Contains(std::string("\rLocator:WaitForAccess 00000abc: ") + row.message))
            << capture.Text();
    }
    // Reading is no write: it needs neither the working project nor the project's version.
    ASSERT_TRUE(qzo::platform::SetFileAttributes(widePath_.c_str(), FILE_ATTRIBUTE_NORMAL));
    AccessRequest foreign = Request(kRead, 1000);
    foreign.inDefaultProject = false;
    foreign.projectVersion = 0x30001;
    AccessResult reader = WaitForAccess(foreign);
    EXPECT_EQ(reader.result, kAccessObtained);
    Finish(reader);
}

TEST_F(AccessTest, MessagesPrintOnlyWhileDebugOutputIsOn) {
    ScopedDebugOutput debug(false);
    DebugCapture capture;
    AccessRequest request = Request(kRead, 100);
    request.path = nullptr;
    EXPECT_EQ(WaitForAccess(request).result, kAccessFailed);
    EXPECT_EQ(capture.Count(), 0u);
}

TEST_F(AccessTest, AttachRefusedUntilTheDeadlineClosesTheFile) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    AccessRequest request = Request(kReadWrite, 200);
    int tries = 0;
    request.attach = [&](LocFile*) {
        ++tries;
        return false;
    };
    Stopwatch watch;
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_GE(watch.Ms(), 195);
    EXPECT_GT(tries, 1);
    EXPECT_TRUE(
        capture.Contains("\rLocator:WaitForAccess 00000abc: Assignment timeout, "
                         "multithreaded access problem\r\n"));
    // The writer's handle is gone: another writer opens without waiting.
    AccessResult next = WaitForAccess(Request(kReadWrite, 0));
    EXPECT_EQ(next.result, kAccessObtained);
    Finish(next);
}

TEST_F(AccessTest, FailedHeaderLockDetachesAndClosesTheFile) {
    Peer peer(BetaEnvironment());
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("store_hold_lock " + path_), "OK");
    LocFile* attached = nullptr;
    LocFile* detached = nullptr;
    AccessRequest request = Request(kReadWrite, 100);
    request.attach = [&](LocFile* file) {
        attached = file;
        return true;
    };
    request.detach = [&](LocFile* file) { detached = file; };
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_NE(attached, nullptr);
    EXPECT_EQ(detached, attached);
    ASSERT_EQ(peer.Call("store_release"), "OK");
    AccessResult next = WaitForAccess(Request(kReadWrite, 0));
    EXPECT_EQ(next.result, kAccessObtained);
    Finish(next);
}

TEST_F(AccessTest, WritersWriteThroughAtPriorityTwoOnly) {
    AccessRequest request = Request(kReadWrite, 1000);
    request.writeBackPriority = 2;
    AccessResult writer = WaitForAccess(request);
    ASSERT_EQ(writer.result, kAccessObtained);
    EXPECT_TRUE(OpenWithWriteThrough(path_));
    Finish(writer);
    request.writeBackPriority = 1;
    writer = WaitForAccess(request);
    ASSERT_EQ(writer.result, kAccessObtained);
    EXPECT_FALSE(OpenWithWriteThrough(path_));
    Finish(writer);
    request = Request(kRead, 1000);
    request.writeBackPriority = 2;
    AccessResult reader = WaitForAccess(request);
    ASSERT_EQ(reader.result, kAccessObtained);
    EXPECT_FALSE(OpenWithWriteThrough(path_));
    Finish(reader);
    EXPECT_FALSE(WaitForLock(nullptr, kObjID, 100, {})) << "a lock wait without a file";
}

// ---- Time limits across a wrapping tick ------------------------------------------------------

TEST(WaitDeadline, CountsElapsedTicksAcrossTheWrap) {
    DWORD now = 0xFFFFFFF0u;
    WaitDeadline deadline(0x20, [&] { return now; });
    now = 0x0000000Fu;  // 0x1F ticks later
    EXPECT_FALSE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 1u);
    now = 0x00000010u;
    EXPECT_TRUE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 0u);
    WaitDeadline zero(0, [&] { return now; });
    EXPECT_TRUE(zero.Passed());
    EXPECT_EQ(zero.Remaining(), 0u);
}

TEST(WaitDeadline, SumsSeveralWrapsAndNeverEndsWithoutALimit) {
    DWORD now = 5;
    WaitDeadline longest(0xFFFFFFFEu, [&] { return now; });
    WaitDeadline forever(kWaitForever, [&] { return now; });
    for (int step = 0; step < 3; ++step) {
        now += 0x7FFFFFFFu;
        EXPECT_FALSE(forever.Passed());
        EXPECT_EQ(forever.Remaining(), kWaitForever);
        if (step == 0) {
            EXPECT_FALSE(longest.Passed());
        }
    }
    EXPECT_TRUE(longest.Passed());
}

// A tick source that reads the platform's milliseconds shifted so that it wraps `afterMs`
// milliseconds after construction.
qzo::store::TickSource WrappingTicks(DWORD afterMs) {
    const auto start = std::chrono::steady_clock::now();
    return [start, afterMs] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        return DWORD(0u - afterMs + DWORD(ms));
    };
}

class LockWrapTest : public LocatorTest {
  protected:
    LocFile* OpenReader() {
        return LocFile::Open(widePath_.c_str(), kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, 0);
    }
};

TEST_F(LockWrapTest, WaitsAcrossTheWrapLastTheirWholeTimeOut) {
    LocFile* holder = OpenReader();
    LocFile* waiter = OpenReader();
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(holder->Lock(0, kHeaderLockLength));
    Stopwatch watch;
    EXPECT_FALSE(WaitForLock(waiter, kObjID, 300, {}, WrappingTicks(50)));
    EXPECT_GE(watch.Ms(), 295);
    EXPECT_LT(watch.Ms(), 3000);
    holder->Unlock(0, kHeaderLockLength);
    holder->Close();
    waiter->Close();

    AccessResult writer = WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(writer.result, kAccessObtained);
    AccessRequest request = Request(kReadWrite, 300);
    request.ticks = WrappingTicks(100);
    watch.Restart();
    EXPECT_EQ(WaitForAccess(request).result, kAccessTimeout);
    EXPECT_GE(watch.Ms(), 295);
    Finish(writer);
}

TEST_F(LockWrapTest, UnlimitedWaitEndsWhenTheLockIsFree) {
    LocFile* holder = OpenReader();
    LocFile* waiter = OpenReader();
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(waiter, nullptr);
    std::atomic<bool> started{false};
    std::atomic<bool> locked{false};
    std::thread owner([&] {
        locked = holder->Lock(0, kHeaderLockLength) != FALSE;
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder->Unlock(0, kHeaderLockLength);
    });
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(locked) << "the holder could not lock";
    int notified = 0;
    Stopwatch watch;
    EXPECT_TRUE(WaitForLock(
        waiter, kObjID, kWaitForever, [&] { ++notified; }, WrappingTicks(10)));
    owner.join();
    EXPECT_GE(watch.Ms(), 250);
    EXPECT_EQ(notified, 1);
    waiter->Unlock(0, kHeaderLockLength);
    holder->Close();
    waiter->Close();
}

// ---- Change detection -----------------------------------------------------------------------

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
    ChangeTable table_;
    LocMailslot alpha_{table_};
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
