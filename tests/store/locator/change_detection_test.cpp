// Change detection without notices: the decision table, answers from the file's time and
// deletion mark, and the refusal to record objects of other projects.
#include <gtest/gtest.h>

#include "qzobj/file_modes.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/store/notices/change_detection.h"
#include "store/locator/locator_test_support.h"

namespace qzo::test::locator {
namespace {

using qzo::store::ChangeFromFile;
using qzo::store::ChangeFromTable;
using qzo::store::ChangeNotices;
using qzo::store::ChangeTable;
using qzo::store::FileFacts;
using qzo::store::SnoopChange;
using qzo::store::SnoopRequest;

FILETIME Time(uint64_t value) {
    return qzo::platform::MakeFileTime(value);
}

TEST(ChangeDecision, TableAnswersSameOtherOrLeavesItToTheFile) {
    EXPECT_EQ(ChangeFromTable(ChangeTable::kSameTime), std::optional<BOOL>(FALSE));
    EXPECT_EQ(ChangeFromTable(ChangeTable::kOtherTime), std::optional<BOOL>(TRUE));
    EXPECT_FALSE(ChangeFromTable(ChangeTable::kNotFound).has_value());
}

TEST(ChangeDecision, FileAnswersFromReadabilityDeletionMarkAndTime) {
    const FILETIME object = Time(0x0000000200000000ull);
    FileFacts file;
    EXPECT_TRUE(ChangeFromFile(file, object));  // unreadable
    file.readable = true;
    file.lastWrite = object;
    EXPECT_FALSE(ChangeFromFile(file, object));
    // The high word counts first: a later time with a smaller low word is still later.
    file.lastWrite = Time(0x00000003000000FFull - 0xFF);
    EXPECT_TRUE(ChangeFromFile(file, Time(0x00000002FFFFFFFFull)));
    file.lastWrite = Time(0x00000001FFFFFFFFull);
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
    SnoopRequest request;
    request.objID = kObjID;
    request.projID = kProjID;
    request.path = widePath_.c_str();
    request.objectTime = facts.lastWrite;
    request.readFile = [&](const WCHAR* path) {
        ++reads;
        return qzo::store::ReadFileFacts(path);
    };
    EXPECT_FALSE(SnoopChange(request, notices));
    request.objectTime = Time(qzo::platform::FileTimeValue(facts.lastWrite) - 1);
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
}  // namespace qzo::test::locator
