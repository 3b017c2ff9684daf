// Change notices: the 36-byte message, its checks on arrival, a served table answering without
// the file, one owner per computer, and ALPHA's commits reaching BETA's table.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "qzobj/file_modes.h"
#include "qzobj/hashid.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/notices/change_detection.h"
#include "store/locator/locator_test_support.h"
#include "support/peer.h"
#include "support/wait_until.h"

namespace qzo::test::locator {
namespace {

using qzo::store::ApplyChangeMessage;
using qzo::store::ChangeNotices;
using qzo::store::ChangeTable;
using qzo::store::LocMailslot;
using qzo::store::tagLOCMAILITEM;

const Location kLocation{kHashID, kObjID, kProjID, 0x11223344, 0x00020000};
constexpr char16_t kBox[] = u"LocMail00001234";

std::string Bytes(const void* data, size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

TEST(ChangeMessage, IsNineLittleEndianWords) {
    const tagLOCMAILITEM message = qzo::store::MakeChangeMessage(kLocation);
    const std::string expected = LittleEndian(36) + LittleEndian(0) + LittleEndian(0) +
                                 LittleEndian(1) + LittleEndian(kHashID) + LittleEndian(kObjID) +
                                 LittleEndian(kProjID) + LittleEndian(0x11223344) +
                                 LittleEndian(0x00020000);
    EXPECT_EQ(Bytes(&message, sizeof message), expected);
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

class NoticeTest : public LocatorTest {
  protected:
    // BETA opens the project's box first, then this process (ALPHA); both then know each other.
    // With `seeded`, BETA's table then lists the object (at a time of its own).
    void StartBeta(bool seeded = true) {
        beta_ = std::make_unique<Peer>(BetaEnvironment());
        ASSERT_TRUE(beta_->Start());
        ASSERT_EQ(beta_->Call("notice_open 1234 " + TempPath("proj/")), "OK");
        ASSERT_TRUE(alpha_.OpenProject(kProjID, ProjectPath().c_str()));
        ASSERT_TRUE(WaitUntil([&] { return alpha_.GetTargetList().GetNItems() > 0; },
                              std::chrono::seconds(10)));
        if (!seeded) return;
        ASSERT_EQ(beta_->Call("notice_set abc"), "OK");
        ASSERT_EQ(beta_->Call("notice_has abc"), "1");
    }
    // Polls BETA until its table no longer holds the object; the time it took, or -1.
    long long BetaForgets(std::chrono::milliseconds limit) {
        Stopwatch watch;
        if (!WaitUntil([&] { return beta_->Call("notice_has abc") == "0"; }, limit)) return -1;
        return watch.Ms();
    }
    // A datagram posing as ALPHA with a sequence number far past ALPHA's own.
    void SendAsAlpha(const std::string& item) {
        ASSERT_TRUE(qzo::test::SendRawDatagram(qzo::test::TestAddress(kBetaHost),
                                               qzo::test::MailBoxPort(kBox),
                                               qzo::test::MailEnvelope(kBox) + item));
    }
    std::string ForgedItem(uint32_t size, uint32_t code, const std::string& body) {
        return LittleEndian(size) + LittleEndian(GetHashIDW(u"ALPHA")) +
               LittleEndian(nextSequence_++) + LittleEndian(code) + body;
    }
    static std::string LocationBytes(const Location& location) {
        return Bytes(&location, sizeof location);
    }

    ChangeTable table_;
    LocMailslot alpha_{table_};
    std::unique_ptr<Peer> beta_;
    uint32_t nextSequence_ = 100000;
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
    qzo::store::SnoopRequest request;
    request.objID = kObjID;
    request.projID = kProjID;
    request.path = widePath_.c_str();
    request.objectTime = facts.lastWrite;
    request.readFile = [&](const WCHAR* path) {
        ++reads;
        return qzo::store::ReadFileFacts(path);
    };
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
    qzo::store::SnoopRequest request;
    request.objID = kObjID;
    request.projID = kProjID;
    request.path = widePath_.c_str();
    request.objectTime = FILETIME{1, 0};
    request.readFile = [&](const WCHAR* path) {
        ++reads;
        return qzo::store::ReadFileFacts(path);
    };
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

// BETA's change detection of an object it read: unchanged (from its table, without touching the
// file) until ALPHA commits, changed within 2 s after.
TEST_F(NoticeTest, BetaSeesAlphasCommitWithinTwoSeconds) {
    StartBeta(false);
    ChangeNotices notices{&table_, &alpha_, kProjID};
    const qzo::store::FileFacts read = qzo::store::ReadFileFacts(widePath_.c_str());
    const std::string snoop = "notice_snoop " + path_ + " " +
                              std::to_string(qzo::platform::FileTimeValue(read.lastWrite));
    EXPECT_EQ(beta_->Call(snoop), "0 1");  // first look: from the file, remembered
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(beta_->Call(snoop), "0 0");  // from the table alone

    qzo::store::AccessResult writer = qzo::store::WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(writer.result, qzo::store::kAccessObtained);
    const char data[] = "committed";
    ASSERT_EQ(writer.file->Write(data, sizeof data), sizeof data);
    ASSERT_TRUE(writer.file->TouchLastWrite());
    ASSERT_TRUE(qzo::store::UnlockObject(writer.file, kLocation, notices));
    Stopwatch watch;
    std::string answer;
    EXPECT_TRUE(WaitUntil(
        [&] {
            answer = beta_->Call(snoop);
            return answer.rfind("1 ", 0) == 0;
        },
        std::chrono::seconds(2)))
        << answer;
    EXPECT_LT(watch.Ms(), 2500);
    writer.file->Close();
}

TEST_F(NoticeTest, ShortWrongTypeAndForeignProjectDatagramsChangeNothing) {
    StartBeta();
    const Location foreign{kHashID, kObjID, kProjID + 1, 0, 0};
    SendAsAlpha(ForgedItem(20, 1, LocationBytes(kLocation).substr(0, 4)));  // short
    SendAsAlpha(ForgedItem(16, 1, ""));                                     // header only
    SendAsAlpha(ForgedItem(36, 2, LocationBytes(kLocation)));               // wrong type
    SendAsAlpha(ForgedItem(36, 1, LocationBytes(foreign)));                 // other project
    // The size word disagreeing with the datagram: the transport drops it.
    SendAsAlpha(ForgedItem(36, 1, LocationBytes(kLocation).substr(0, 16)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(beta_->Call("notice_has abc"), "1");
    // The same path carries a well-formed message: the checks above were reached.
    SendAsAlpha(ForgedItem(36, 1, LocationBytes(kLocation)));
    EXPECT_GE(BetaForgets(std::chrono::seconds(2)), 0);
}

}  // namespace
}  // namespace qzo::test::locator
