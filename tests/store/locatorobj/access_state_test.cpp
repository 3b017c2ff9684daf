// Access through locators and what they report about their objects: writes refused outside the
// working project, the deletion mark, two locators of one object in one process, the object's
// state from its header, the data word a header lends, and the counters' report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "qzobj/persistent.h"
#include "qzobj/platform/file.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/objfile/locfile.h"
#include "store/locatorobj/locatorobj_support.h"
#include "support/capture.h"

namespace qzo::test::locatorobj {
namespace {

using qzo::store::LocatorCore;

long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

using AccessStateTest = LocatorObjTest;

TEST_F(AccessStateTest, WritesOutsideTheWorkingProjectAreRefused) {
    const DWORD other = OtherProject("OTHER");
    ASSERT_NE(other, LOCATION_NO_PROJID);
    const Location location = MakeLocation(0x500, other);
    WriteObject(location);
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator locator(location);
    EXPECT_EQ(Probe::WaitForAccess(locator, kReadWrite, 1000), LOCATOR_REFUSED);
    EXPECT_EQ(Probe::File(locator), nullptr);
    EXPECT_TRUE(capture.Contains(
        "\rLocator:WaitForAccess 00000500: Project does not have edit access\r\n"));
    // Reading stays open to every project.
    EXPECT_EQ(Probe::WaitForAccess(locator, kRead, 1000), LOCATOR_OK);
    EXPECT_TRUE(Probe::Unlock(locator));
    EXPECT_EQ(locator.QueryAccess(), LOCATOR_ACCESS_READ);
    EXPECT_TRUE(locator.ReleaseAccess());
    EXPECT_TRUE(locator.ReleaseAccess());
}

TEST_F(AccessStateTest, ReadOnlyFilesAreReportedDeleted) {
    const Location location = MakeLocation(0x501);
    const std::string path = WriteObject(location);
    Locator locator(location);
    WIN32_FIND_DATAW data;
    ASSERT_TRUE(locator.GetFileInfo(&data));
    EXPECT_EQ(data.nFileSizeLow, kFreshFileSize);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(Narrow(data.cFileName), "00000501.QZO");
    EXPECT_TRUE(locator.QueryAvailable());

    ASSERT_TRUE(qzo::platform::SetFileAttributes(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(locator.QueryObjectState(), LOCATOR_STATE_DELETED);
    EXPECT_FALSE(locator.QueryAvailable());
    std::memset(&data, 0x5C, sizeof data);
    EXPECT_FALSE(locator.GetFileInfo(&data));
    EXPECT_EQ(data.nFileSizeLow, 0u);
    EXPECT_EQ(data.cFileName[0], 0);
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    EXPECT_EQ(Probe::WaitForAccess(locator, kRead, 1000), LOCATOR_FAILED);
    EXPECT_TRUE(capture.Contains("\rLocator:WaitForAccess 00000501: Object marked as deleted\r\n"));

    Locator missing(MakeLocation(0x502));
    EXPECT_EQ(missing.QueryObjectState(), LOCATOR_STATE_NOFILE);
    EXPECT_FALSE(missing.QueryAvailable());
}

TEST_F(AccessStateTest, MarkedDeletedWhileHeldGivesUpTheFile) {
    const Location location = MakeLocation(0x503);
    const std::string path = WriteObject(location);
    Locator locator(location);
    ASSERT_EQ(Probe::WaitForAccess(locator, kReadWrite, 1000), LOCATOR_OK);
    ASSERT_TRUE(Probe::Unlock(locator));
    EXPECT_EQ(locator.QueryAccess(), kReadWrite);
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(locator.QueryAccess(), LOCATOR_ACCESS_READ);
    EXPECT_EQ(Probe::File(locator), nullptr);
}

TEST_F(AccessStateTest, SecondLocatorWaitsForTheHeaderLockAndIsNotifiedOnce) {
    const Location location = MakeLocation(0x504);
    WriteObject(location);
    StateRecorder recorder;
    Locator writer(location);
    ASSERT_EQ(Probe::WaitForAccess(writer, kReadWrite, 1000), LOCATOR_OK);

    Locator reader(location);
    DWORD result = 0xDEAD;
    long long waited = 0;
    BOOL unlocked = FALSE;
    std::thread thread([&] {
        const auto start = std::chrono::steady_clock::now();
        result = Probe::WaitForAccess(reader, kRead, 10000);
        waited = MsSince(start);
        // The header lock belongs to the thread that took it.
        if (result == LOCATOR_OK) unlocked = Probe::Unlock(reader);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(recorder.Count(LOCATOR_NOTIFY_LOCKWAIT), 1u);
    ASSERT_TRUE(Probe::Unlock(writer));
    thread.join();
    EXPECT_EQ(result, LOCATOR_OK);
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 9000);
    EXPECT_TRUE(unlocked);
    // Both hold the same object with handles of their own.
    EXPECT_NE(Probe::File(reader), nullptr);
    EXPECT_NE(Probe::File(reader), Probe::File(writer));
    EXPECT_EQ(recorder.Count(LOCATOR_NOTIFY_LOCKWAIT), 1u);
    const auto events = recorder.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].location == location);
}

TEST_F(AccessStateTest, HeaderTellsTheObjectsState) {
    const Location whole = MakeLocation(0x505);
    WriteObject(whole);
    Locator locator(whole);
    EXPECT_EQ(locator.QueryObjectState(), LOCATOR_STATE_WHOLE);
    EXPECT_EQ(Probe::File(locator), nullptr);
    EXPECT_EQ(locator.QueryFlags(), 0u);

    const Location damaged = MakeLocation(0x506);
    const std::string path = WriteObject(damaged, true);
    const std::string before = ReadFileBytes(path);
    Locator broken(damaged);
    EXPECT_EQ(broken.QueryObjectState(), LOCATOR_STATE_DAMAGED);
    EXPECT_EQ(Probe::File(broken), nullptr);
    EXPECT_EQ(ReadFileBytes(path), before);
    EXPECT_FALSE(broken.VerifyLocation());
}

TEST_F(AccessStateTest, VerifyLocationTakesTheDataWordOfItsOwnHeader) {
    Location stored = MakeLocation(0x507);
    stored.dwDataID = 0x77;
    WriteObject(stored);
    Locator locator(MakeLocation(0x507));
    EXPECT_EQ(locator.GetDataID(), 0u);
    EXPECT_TRUE(locator.VerifyLocation());
    EXPECT_EQ(locator.GetDataID(), 0x77u);
    EXPECT_EQ(Probe::File(locator), nullptr);

    // With the file held the header is read under the lock; the file stays held.
    Locator holder(MakeLocation(0x507));
    ASSERT_EQ(Probe::WaitForAccess(holder, kRead, 1000), LOCATOR_OK);
    ASSERT_TRUE(Probe::Unlock(holder));
    EXPECT_TRUE(holder.VerifyLocation());
    EXPECT_EQ(holder.GetDataID(), 0x77u);
    EXPECT_NE(Probe::File(holder), nullptr);

    // A header naming another object lends nothing.
    Location foreign = MakeLocation(0x508);
    const std::string path = ObjectFile(foreign);
    Location wrong = MakeLocation(0x509);
    wrong.dwDataID = 0x55;
    ObjectFileContent content;
    content.location = wrong;
    WriteFileBytes(path, ObjectFileBytes(content));
    Locator mismatch(foreign);
    EXPECT_FALSE(mismatch.VerifyLocation());
    EXPECT_EQ(mismatch.GetDataID(), 0u);
}

TEST_F(AccessStateTest, WritebackPriorityAndTraceRange) {
    EXPECT_FALSE(Locator::SetWritebackPriority(3));
    EXPECT_EQ(Locator::GetWritebackPriority(), 0u);
    EXPECT_TRUE(Locator::SetWritebackPriority(2));
    EXPECT_EQ(Locator::GetWritebackPriority(), 2u);
    EXPECT_TRUE(Locator::SetWritebackPriority(0));

    // A writer inside the traced range says so, with debug output off as well.
    DWORD min = 0x600;
    DWORD max = 0x601;
    Locator::SetRWWatchRange(min, max);
    DebugCapture capture;
    const Location location = MakeLocation(0x600);
    WriteObject(location);
    {
        Locator locator(location);
        ASSERT_EQ(Probe::WaitForAccess(locator, kReadWrite, 1000), LOCATOR_OK);
        EXPECT_EQ(locator.QueryMode(), 1u);
        ASSERT_TRUE(Probe::Unlock(locator));
    }
    DWORD readMin = 0;
    DWORD readMax = 0;
    Locator::GetRWWatchRange(readMin, readMax);
    EXPECT_EQ(readMin, 0x600u);
    EXPECT_EQ(readMax, 0x601u);
    min = max = 0;
    Locator::SetRWWatchRange(min, max);
    EXPECT_TRUE(capture.Contains("\rLocator RW access obtained(Obj=0x00000600[pFile="));
    EXPECT_TRUE(capture.Contains("\rLocator::ReleaseAccess (Obj=0x00000600[pFile="));
}

TEST_F(AccessStateTest, CountersAreReportedInTheirOrder) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    LocatorCore::Detach();
    const std::string text = capture.Text(0);
    size_t at = text.find("\rLocator::Performance\r\n");
    ASSERT_NE(at, std::string::npos);
    for (const char* name :
         {"Snoop", "Create", "Restore", "Commit", "LoadMem", "ReadMem", "WaitAccess", "CheckClass",
          "__ReadOFH", "__ReadHist", "Release", "Reconstruct"}) {
        const size_t found = text.find(std::string("\r") + name + " ", at);
        ASSERT_NE(found, std::string::npos) << name;
        at = found;
    }
    // Detaching closed the project's mailslot; the next working project opens it again.
    EXPECT_EQ(LocatorCore::Notices().mailslot->GetProjID(), LOCATION_NO_PROJID);
}

}  // namespace
}  // namespace qzo::test::locatorobj

namespace qzo::test::locatorobj {
namespace {

// Moves the file's last-write time `seconds` into the future.
void PushWriteTime(const std::string& path, int seconds) {
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    struct timespec times[2] = {status.st_atim, status.st_mtim};
    times[1].tv_sec += seconds;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct Dropper {
    void operator()(CQZObject* object) const {
        if (object) object->DelObject();
    }
};

using LocatorSnoopTest = LocatorObjTest;

TEST_F(LocatorSnoopTest, OtherProjectsAreAnsweredFromTheFile) {
    const DWORD other = OtherProject("OTHER");
    const Location location = MakeLocation(0x800, other);
    const std::string path = WriteObject(location);
    std::unique_ptr<CQZObject, Dropper> object(Locator::RestoreObject(location, kRead, 1000));
    ASSERT_NE(object, nullptr);
    Locator locator(location);
    EXPECT_FALSE(locator.SnoopChange(*object));
    PushWriteTime(path, 5);
    EXPECT_TRUE(locator.SnoopChange(*object));
    // Held, virtual or invalid locators never say so.
    Locator cleared;
    EXPECT_FALSE(cleared.SnoopChange(*object));
    ASSERT_EQ(Probe::WaitForAccess(locator, kRead, 1000), LOCATOR_OK);
    ASSERT_TRUE(Probe::Unlock(locator));
    EXPECT_FALSE(locator.SnoopChange(*object));
}

TEST_F(LocatorSnoopTest, TheWorkingProjectsTableAnswersWithoutTheFile) {
    const Location location = MakeLocation(0x801);
    const std::string path = WriteObject(location);
    std::unique_ptr<CQZObject, Dropper> object(Locator::RestoreObject(location, kRead, 1000));
    ASSERT_NE(object, nullptr);
    qzo::store::ChangeTable* table = LocatorCore::Notices().TableFor(ProjectID());
    ASSERT_NE(table, nullptr);
    Locator locator(location);
    table->Remove(location.dwObjID);
    // Unknown to the table: the file answers and the table learns its time.
    EXPECT_FALSE(locator.SnoopChange(*object));
    EXPECT_EQ(table->Lookup(location.dwObjID, object->QueryTimestamp()),
              qzo::store::ChangeTable::kSameTime);
    // Known to the table: the file is not asked.
    PushWriteTime(path, 5);
    EXPECT_FALSE(locator.SnoopChange(*object));
    FILETIME later = object->QueryTimestamp();
    later.dwLowDateTime += 1;
    ASSERT_TRUE(table->Set(location.dwObjID, later));
    EXPECT_TRUE(locator.SnoopChange(*object));
}

}  // namespace
}  // namespace qzo::test::locatorobj
