// Deleting objects through their locators: the deletion mark, deleting for good (waiting while
// another handle keeps the file open), refusals for other projects and static locators, the
// questions asked before, and the use tag.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "qzobj/file_modes.h"
#include "qzobj/platform/file.h"
#include "qzobj/project_ids.h"
#include "qzobj/store/objfile/locfile.h"
#include "store/locatorobj/locatorobj_support.h"
#include "support/capture.h"

namespace qzo::test::locatorobj {
namespace {

DWORD AttributesOf(const std::string& path) {
    return qzo::platform::GetFileAttributes(Wide(path).c_str());
}

using DestroyTest = LocatorObjTest;

TEST_F(DestroyTest, DestroyMarksThenDeletesForGood) {
    const Location location = MakeLocation(0x700);
    const std::string path = WriteObject(location);
    StateRecorder recorder;
    Locator locator(location);
    ASSERT_EQ(Probe::WaitForAccess(locator, kReadWrite, 1000), LOCATOR_OK);
    ASSERT_TRUE(Probe::Unlock(locator));
    EXPECT_TRUE(locator.QueryDestroy(FALSE));

    // The mark: the file stays, read-only, and the locator names nothing any more.
    ASSERT_TRUE(Probe::Destroy(locator, FALSE));
    EXPECT_FALSE(locator.IsValid());
    EXPECT_EQ(Probe::File(locator), nullptr);
    ASSERT_TRUE(FileExists(path));
    EXPECT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(recorder.Count(LOCATOR_NOTIFY_DESTROYED), 1u);
    EXPECT_TRUE(recorder.Events()[0].location == location);

    Locator marked(location);
    EXPECT_FALSE(marked.QueryDestroy(FALSE));
    EXPECT_TRUE(marked.QueryDestroy(TRUE));
    EXPECT_TRUE(marked.QueryUndestroy());
    EXPECT_EQ(marked.QueryObjectState(), LOCATOR_STATE_DELETED);
    // Marking again is done at once; deleting for good removes the marked file.
    EXPECT_TRUE(Probe::Destroy(marked, FALSE));
    Locator really(location);
    EXPECT_TRUE(Probe::Destroy(really, TRUE));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(really.QueryUndestroy());
    // A missing file counts as deleted.
    Locator gone(location);
    EXPECT_TRUE(Probe::Destroy(gone, TRUE));
    EXPECT_EQ(recorder.Count(LOCATOR_NOTIFY_DESTROYED), 4u);
}

TEST_F(DestroyTest, DeletingWaitsWhileAnotherHandleHoldsTheFile) {
    const Location location = MakeLocation(0x701);
    const std::string path = WriteObject(location);
    LocFile* other = LocFile::Open(Wide(path).c_str(), kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(other, nullptr);
    std::thread closer([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        other->Close();
    });
    Locator locator(location);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Probe::Destroy(locator, TRUE));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    closer.join();
    EXPECT_FALSE(FileExists(path));
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 1900);
}

TEST_F(DestroyTest, AFileHeldPastTheDeadlineIsMarkedDeleted) {
    const Location location = MakeLocation(0x702);
    const std::string path = WriteObject(location);
    LocFile* other = LocFile::Open(Wide(path).c_str(), kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(other, nullptr);
    Locator locator(location);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Probe::Destroy(locator, TRUE));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    other->Close();
    ASSERT_TRUE(FileExists(path));
    EXPECT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
    EXPECT_GE(waited, 1900);
    EXPECT_LT(waited, 6000);
}

TEST_F(DestroyTest, ObjectsOfOtherProjectsAreNotDestroyed) {
    const DWORD other = OtherProject("OTHER");
    const Location location = MakeLocation(0x703, other);
    const std::string path = WriteObject(location);
    const std::string before = ReadFileBytes(path);
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator locator(location);
    EXPECT_FALSE(Probe::Destroy(locator, TRUE));
    EXPECT_TRUE(locator.IsValid());
    EXPECT_EQ(ReadFileBytes(path), before);
    EXPECT_FALSE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(capture.Contains("\rLocator::Destroy: PrjID = " +
                                 [&] {
                                     std::string hex = Hex8(other);
                                     for (char& c : hex) c = char(std::tolower(c));
                                     return hex;
                                 }() +
                                 ", Default =" + Hex8(ProjectID()) + "\r\n"));
    EXPECT_TRUE(capture.Contains(
        "\r\nWarning: Locator::Destroy: Attempt to destroy object not belonging to default "
        "project\r\n"));
}

TEST_F(DestroyTest, StaticLocatorsCannotBeDestroyed) {
    Location location = MakeLocation(0x704);
    location.dwFlags = LOCATOR_STATIC;
    const std::string path = WriteObject(location);
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator locator(location);
    EXPECT_FALSE(locator.QueryDestroy(TRUE));
    EXPECT_FALSE(Locator::DestroyLocator(locator, TRUE));
    EXPECT_FALSE(Locator::DestroyLocation(location, TRUE));
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(capture.Contains(
        "\r\nWarning: Attempt to illegally destroy static/inhibited locator!\r\n"));

    // Temporary and virtual locators have nothing to destroy.
    Locator temporary(MakeLocation(0x705));
    Probe::SetFlags(temporary, LOCATOR_TEMPORARY, LOCATOR_TEMPORARY);
    EXPECT_TRUE(Locator::DestroyLocator(temporary, TRUE));
    EXPECT_TRUE(temporary.QueryDestroy(FALSE));
    EXPECT_FALSE(temporary.QueryUndestroy());
    EXPECT_EQ(temporary.QueryAccess(), LOCATOR_ACCESS_RWE);
}

TEST_F(DestroyTest, DamagedAndMissingObjectsStillGo) {
    const Location missing = MakeLocation(0x706);
    Locator nothing(missing);
    EXPECT_TRUE(Locator::DestroyLocator(nothing, FALSE));

    const Location damaged = MakeLocation(0x707);
    const std::string path = WriteObject(damaged, true);
    Locator broken(damaged);
    EXPECT_TRUE(Locator::DestroyLocator(broken, TRUE));
    EXPECT_FALSE(FileExists(path));

    // A marked file stays marked, unless it is to go for good.
    Location marked = MakeLocation(0x709);
    const std::string markedPath = WriteObject(marked);
    ASSERT_TRUE(
        qzo::platform::SetFileAttributes(Wide(markedPath).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(Locator::DestroyLocation(marked, FALSE));
    EXPECT_TRUE(FileExists(markedPath));
    EXPECT_TRUE(Locator::DestroyLocation(marked, TRUE));
    EXPECT_FALSE(FileExists(markedPath));
}

TEST_F(DestroyTest, TagUsedSetsTheArchiveAttribute) {
    const Location location = MakeLocation(0x708);
    const std::string path = WriteObject(location);
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_FALSE(AttributesOf(path) & FILE_ATTRIBUTE_ARCHIVE);
    Locator locator(location);
    locator.TagUsed();
    EXPECT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_ARCHIVE);

    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator stranger(MakeLocation(0x708, 0x12340000u));
    stranger.TagUsed();
    EXPECT_TRUE(capture.Contains("\rLocator:TagUnused: Object path unretrievable\r\n"));
}

TEST_F(DestroyTest, LeavingCopyModeOneMovesNewIDsAboveTheCopies) {
    EXPECT_EQ(Locator::GetCopyMode(), 0u);
    // A copy that kept its source's ID lies far above the generator's counter.
    WriteObject(MakeLocation(0x5000));
    Locator::SetCopyMode(1);
    EXPECT_EQ(Locator::GetCopyMode(), 1u);
    Locator::SetCopyMode(0);
    EXPECT_EQ(Locator::GetCopyMode(), 0u);
    CProjUniID* generator = Locator::GetDefUIDGen();
    ASSERT_NE(generator, nullptr);
    EXPECT_EQ(generator->GetNextID(), 0x5001u);
}

}  // namespace
}  // namespace qzo::test::locatorobj

namespace qzo::test::locatorobj {
namespace {

using UnDestroyTest = LocatorObjTest;

TEST_F(UnDestroyTest, DestroyedObjectsComeBackAndGoForGood) {
    Location location = MakeLocation(0x710);
    const std::string path = WriteObject(location);
    const std::string before = ReadFileBytes(path);
    StateRecorder recorder;
    Locator locator(location);
    ASSERT_TRUE(Locator::DestroyLocator(locator, FALSE));
    ASSERT_TRUE(FileExists(path));
    EXPECT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(recorder.Count(LOCATOR_NOTIFY_DESTROYED), 1u);
    EXPECT_FALSE(locator.QueryAvailable());

    ASSERT_TRUE(locator.UnDestroy());
    EXPECT_FALSE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(recorder.Count(LOCATOR_NOTIFY_UNDESTROYED), 1u);
    EXPECT_TRUE(locator.QueryAvailable());
    EXPECT_EQ(locator.QueryObjectState(), LOCATOR_STATE_WHOLE);
    // Nothing restored through the undo of the mark keeps the file open.
    EXPECT_TRUE(Locator::DestroyLocation(location, TRUE));
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(recorder.Count(LOCATOR_NOTIFY_DESTROYED), 2u);
    EXPECT_FALSE(locator.UnDestroy());
}

}  // namespace
}  // namespace qzo::test::locatorobj
