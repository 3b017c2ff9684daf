// Locators and what they report about their objects: identity (clearing, text, the identity
// flags, GUID locators, the self-locator's refusals, copies sharing the open file, object paths
// and the working project); access (writes outside the working project, the deletion mark, a
// second locator waiting for the header lock, state and data word from the header, the trace
// range and the counters' report); change detection of other projects; and deletion (the
// mark, deleting for good while another handle holds the file, refusals, undoing the mark).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "qzobj/file_modes.h"
#include "qzobj/mailslot.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/file.h"
#include "qzobj/project_ids.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/objfile/locfile.h"
#include "support/capture.h"
#include "support/stopwatch.h"
#include "store/support/store_fixture.h"

class LocFile;

namespace qzo::store {

// The test's way into a locator's private and protected members.
struct LocatorProbe {
    static LocFile* File(const Locator& locator) { return locator.m_pFile; }
    static DWORD WaitForAccess(Locator& locator, DWORD access, DWORD timeout) {
        return locator.WaitForAccess(access, timeout);
    }
    static BOOL Unlock(Locator& locator) { return locator.Unlock(); }
    static void SetFlags(Locator& locator, DWORD mask, DWORD values) {
        locator.SetFlags(mask, values);
    }
    static void SetMode(Locator& locator, DWORD mode) { locator.SetMode(mode); }
    static BOOL Destroy(Locator& locator, BOOL really) { return locator.Destroy(nullptr, really); }
    static const Location& RawLocation(const Locator& locator) { return locator.m_Location; }
};

}  // namespace qzo::store

namespace qzo::test::store {
namespace {

using Probe = qzo::store::LocatorProbe;
using qzo::store::LocatorCore;

// The locator's state notifications, as they arrive.
class StateRecorder {
  public:
    struct Event {
        uintptr_t code;
        Location location;  // the location passed with lock waits and destroyed objects
    };
    StateRecorder() {
        handle_ = Locator::RegisterStateNotify(&Callback, reinterpret_cast<uintptr_t>(this), 0);
    }
    ~StateRecorder() { Locator::UnregisterStateNotify(handle_); }
    std::vector<Event> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    size_t Count(uintptr_t code) const {
        size_t count = 0;
        for (const Event& event : Events()) count += event.code == code;
        return count;
    }

  private:
    static int Callback(void* pointer, uintptr_t code, uintptr_t& value1, uintptr_t&, uintptr_t) {
        auto* self = reinterpret_cast<StateRecorder*>(value1);
        Event event{code, Location{}};
        if (pointer && (code == LOCATOR_NOTIFY_LOCKWAIT || code == LOCATOR_NOTIFY_DESTROYED))
            std::memcpy(&event.location, pointer, sizeof(Location));
        std::lock_guard lock(self->mutex_);
        self->events_.push_back(event);
        return 1;
    }
    DWORD handle_ = 0;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

constexpr char kSelfWarning[] = "\r\nWarning: Reassignments of selflocator not allowed\r\n";

std::string TextOf(const Locator& locator) {
    WCHAR text[LOCATION_TEXT_CHARS];
    if (!locator.GetLocationAsString(text, LOCATION_TEXT_CHARS)) return "<refused>";
    return Narrow(text);
}

size_t Occurrences(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// A mailslot of the test's own, to find out whether a box name is taken on this computer.
class ProbeMailslot : public COSMailslot {
  public:
    int OnMailItem(tagMAILITEM*) override { return 1; }
};

using IdentityTest = StoreTest;

TEST_F(IdentityTest, ClearedLocatorHasNoPath) {
    Locator locator;
    EXPECT_FALSE(locator.IsValid());
    WCHAR shortBuffer[LOCATION_TEXT_CHARS - 1];
    EXPECT_FALSE(locator.GetLocationAsString(shortBuffer, LOCATION_TEXT_CHARS - 1));
    WCHAR path[MAX_PATH] = u"untouched";
    EXPECT_FALSE(locator.GetObjectPath(path));
    EXPECT_EQ(path[0], 0);
    EXPECT_FALSE(locator.GetObjectPath(nullptr));
    EXPECT_EQ(locator.QueryObjectState(), LOCATOR_STATE_INVALID);
    EXPECT_FALSE(locator.QueryAvailable());
    EXPECT_EQ(locator.QueryAccess(), LOCATOR_ACCESS_READ);
}

TEST_F(IdentityTest, LocationsKeepOnlyTheIdentityFlags) {
    Location location;
    location.dwHashID = 0x5A5A0001;
    location.dwObjID = 0x1234;
    location.dwProjID = 0x77770003;
    location.dwDataID = 9;
    location.dwFlags = 0xAB000001u | LOCATOR_STATIC | LOCATOR_TEMPORARY | LOCATOR_SELFLOCATOR;
    Locator locator(location);
    EXPECT_EQ(locator.QueryMode(), 0u);
    EXPECT_EQ(locator.QueryFlags(), LOCATOR_STATIC);
    EXPECT_EQ(locator.GetLocation().dwFlags, LOCATOR_STATIC);

    Probe::SetMode(locator, 1);
    Probe::SetFlags(locator, LOCATOR_TEMPORARY | LOCATOR_BASECLASSONLY,
                    LOCATOR_TEMPORARY | LOCATOR_BASECLASSONLY);
    EXPECT_EQ(locator.QueryMode(), 1u);
    EXPECT_EQ(locator.QueryFlags(), LOCATOR_STATIC | LOCATOR_TEMPORARY | LOCATOR_BASECLASSONLY);
    Location out;
    locator.GetLocation(out);
    EXPECT_EQ(out.dwFlags, LOCATOR_STATIC);
    EXPECT_EQ(out.dwHashID, 0x5A5A0001u);
    EXPECT_EQ(out.dwObjID, 0x1234u);
    EXPECT_EQ(out.dwProjID, 0x77770003u);
    EXPECT_EQ(out.dwDataID, 9u);
    EXPECT_EQ(locator.GetHashID(), 0x5A5A0001u);
    EXPECT_EQ(locator.GetProjID(), 0x77770003u);
    EXPECT_EQ(locator.GetDataID(), 9u);

    // A locator made from the text form names the same object.
    const std::u16string text = Wide(TextOf(locator));
    EXPECT_TRUE(Locator(text.c_str()).GetLocation() == locator.GetLocation());
}

TEST_F(IdentityTest, GuidLocatorsAreVirtual) {
    GUID guid;
    std::memset(&guid, 0x21, sizeof guid);
    Locator locator(guid);
    EXPECT_TRUE(locator.IsValid());
    EXPECT_EQ(locator.QueryFlags(), LOCATOR_VIRTUAL);
    EXPECT_EQ(locator.GetHashID(), LOCATION_NO_HASHID);
    EXPECT_EQ(locator.GetProjID(), LOCATION_NO_PROJID);
    EXPECT_EQ(locator.QueryObjectState(), LOCATOR_STATE_VIRTUAL);
    EXPECT_TRUE(locator.QueryAvailable());
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(locator.GetFileInfo(&data));
    WCHAR path[MAX_PATH];
    EXPECT_FALSE(locator.GetObjectPath(path));
    // No class is registered under this GUID.
    EXPECT_FALSE(locator.VerifyLocation());
}

TEST_F(IdentityTest, SelfLocatorRefusesEveryReassignmentAndWarns) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Location location;
    location.dwHashID = 0x5A5A0001;
    location.dwObjID = 0x1234;
    location.dwProjID = 0x77770003;
    Locator self(location);
    Probe::SetFlags(self, LOCATOR_SELFLOCATOR, LOCATOR_SELFLOCATOR);
    const std::string before = TextOf(self);

    Location other = location;
    other.dwObjID = 0x9999;
    Locator otherLocator(other);
    GUID guid;
    std::memset(&guid, 0x42, sizeof guid);
    self = other;
    self = otherLocator;
    self = u"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
    self = guid;
    EXPECT_EQ(TextOf(self), before);
    EXPECT_EQ(self.QueryFlags(), LOCATOR_SELFLOCATOR);
    EXPECT_EQ(Occurrences(capture.Text(0), kSelfWarning), 4u);

    // A copy is not the object's own locator any more, and may be reassigned.
    Locator copy(self);
    EXPECT_EQ(copy.QueryFlags(), 0u);
    copy = other;
    EXPECT_EQ(copy.GetObjID(), 0x9999u);
    Locator assigned;
    assigned = self;
    EXPECT_EQ(assigned.QueryFlags(), 0u);
    EXPECT_EQ(Occurrences(capture.Text(0), kSelfWarning), 4u);
}

using WorkingProjectTest = StoreTest;

TEST_F(WorkingProjectTest, SetWorkingProjectReachesTheLocator) {
    EXPECT_EQ(Locator::GetDefProjectID(), ProjectID());
    EXPECT_NE(Locator::GetDefUIDGen(), nullptr);
    const qzo::store::ChangeNotices notices = LocatorCore::Notices();
    ASSERT_NE(notices.mailslot, nullptr);
    EXPECT_EQ(notices.mailslot->GetProjID(), ProjectID());
    EXPECT_EQ(notices.TableFor(ProjectID()), notices.table);
    // The project's box is this process's: nobody else on this computer may open it.
    const std::u16string box = Wide("LocMail" + Hex8(ProjectID()));
    {
        ProbeMailslot probe;
        EXPECT_FALSE(probe.Open(box.c_str()));
    }
    EXPECT_TRUE(FileExists(ProjectDir() + "/workgroup/ALPHA.wg2"));
    EXPECT_TRUE(Locator::PreallocLocations(4));

    // Setting the same project again keeps everything as it is.
    EXPECT_TRUE(Locator::SetDefProjectID(Locator::GetDefUIDGen(), ProjectID()));
    EXPECT_EQ(LocatorCore::Notices().mailslot->GetProjID(), ProjectID());

    ASSERT_TRUE(PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT));
    EXPECT_EQ(Locator::GetDefProjectID(), LOCATION_NO_PROJID);
    EXPECT_EQ(Locator::GetDefUIDGen(), nullptr);
    EXPECT_EQ(LocatorCore::Notices().mailslot->GetProjID(), LOCATION_NO_PROJID);
    EXPECT_FALSE(Locator::PreallocLocations(4));
    {
        ProbeMailslot probe;
        EXPECT_TRUE(probe.Open(box.c_str()));
        probe.Close();
    }
}

TEST_F(WorkingProjectTest, ObjectPathsFollowTheProjectFolder) {
    const Location location = MakeLocation(0x4D2);
    Locator locator(location);
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(locator.GetObjectPath(path));
    const std::string project = Narrow(PrjLocator::GetPrjPath(ProjectID()));
    EXPECT_EQ(Narrow(path), project + "OBJ/5A5A0001/000004D2.QZO");

    WCHAR folder[MAX_PATH];
    ASSERT_TRUE(Locator::GetPrjObjectPath(ProjectID(), folder, MAX_PATH));
    EXPECT_EQ(Narrow(folder), project + "Obj/");
    ASSERT_TRUE(Locator::GetPrjObjectStoragePath(LOCATION_NO_PROJID, folder, MAX_PATH));
    EXPECT_EQ(Narrow(folder), project + "Obj/storage/");
    EXPECT_FALSE(Locator::GetPrjObjectPath(ProjectID(), folder, unsigned(project.size() + 4)));
    EXPECT_FALSE(Locator::GetPrjObjectPath(0x12340000u, folder, MAX_PATH));

    // An unregistered project has no paths.
    Locator stranger(MakeLocation(0x4D2, 0x12340000u));
    EXPECT_FALSE(stranger.GetObjectPath(path));
    EXPECT_EQ(stranger.QueryObjectState(), LOCATOR_STATE_NOPATH);
}

TEST_F(WorkingProjectTest, CopiesShareTheOpenFile) {
    const Location location = MakeLocation(0x4D2);
    WriteObject(location);
    Locator first(location);
    ASSERT_EQ(Probe::WaitForAccess(first, kRead, 1000), LOCATOR_OK);
    ASSERT_TRUE(Probe::Unlock(first));
    LocFile* file = Probe::File(first);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->GetOpenCount(), 1u);
    // A second wait on a locator that has its file answers at once.
    EXPECT_EQ(Probe::WaitForAccess(first, kReadWrite, 0), LOCATOR_OK);
    {
        Locator copy(first);
        EXPECT_EQ(Probe::File(copy), file);
        EXPECT_EQ(file->GetOpenCount(), 2u);
        Locator assigned;
        assigned = first;
        EXPECT_EQ(Probe::File(assigned), file);
        EXPECT_EQ(file->GetOpenCount(), 3u);
        // Assigning a locator its own file's sharer again keeps the count right.
        assigned = copy;
        EXPECT_EQ(file->GetOpenCount(), 3u);
        assigned = MakeLocation(0x4D3);
        EXPECT_EQ(Probe::File(assigned), nullptr);
        EXPECT_EQ(file->GetOpenCount(), 2u);
    }
    EXPECT_EQ(file->GetOpenCount(), 1u);
    EXPECT_EQ(first.QueryAccess(), LOCATOR_ACCESS_READ);
    EXPECT_EQ(first.QueryObjectState(), LOCATOR_STATE_WHOLE);
    first.Invalidate();
    EXPECT_EQ(Probe::File(first), nullptr);
    EXPECT_FALSE(first.IsValid());
}

using AccessStateTest = StoreTest;

TEST_F(AccessStateTest, WritesOutsideTheWorkingProjectAreRefused) {
    const DWORD other = OtherProject("OTHER");
    ASSERT_NE(other, LOCATION_NO_PROJID);
    const Location location = MakeLocation(0x500, other);
    WriteObject(location);
    Locator locator(location);
    EXPECT_EQ(Probe::WaitForAccess(locator, kReadWrite, 1000), LOCATOR_REFUSED);
    EXPECT_EQ(Probe::File(locator), nullptr);
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
    EXPECT_EQ(Probe::WaitForAccess(locator, kRead, 1000), LOCATOR_FAILED);

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
        const Stopwatch watch;
        result = Probe::WaitForAccess(reader, kRead, 10000);
        waited = watch.Ms();
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
    ASSERT_TRUE(
        WriteFile(path, FileBytes(ImageLocationOf(wrong), {ClassOf(classCQZObject)},
                                  OneVersionIndex(0, 20), RootNTBytes(), RootVersionBytes(1))));
    Locator mismatch(foreign);
    EXPECT_FALSE(mismatch.VerifyLocation());
    EXPECT_EQ(mismatch.GetDataID(), 0u);
}

TEST_F(AccessStateTest, WritersInTheTraceRangeSaySo) {
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

using LocatorSnoopTest = StoreTest;

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

DWORD AttributesOf(const std::string& path) {
    return qzo::platform::GetFileAttributes(Wide(path).c_str());
}

using DestroyTest = StoreTest;

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

// Deleting for good waits while another handle keeps the file open: the file goes once the
// handle closes, or is only marked deleted when the handle stays open past about 2 s.
TEST_F(DestroyTest, DeletingWaitsWhileAnotherHandleHoldsTheFile) {
    for (const bool closes : {true, false}) {
        SCOPED_TRACE(closes ? "closed after 200 ms" : "held");
        const Location location = MakeLocation(closes ? 0x701 : 0x702);
        const std::string path = WriteObject(location);
        LocFile* other = LocFile::Open(Wide(path).c_str(), kRead,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        ASSERT_NE(other, nullptr);
        std::thread closer([other, closes] {
            if (!closes) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            other->Close();
        });
        Locator locator(location);
        const Stopwatch watch;
        EXPECT_TRUE(Probe::Destroy(locator, TRUE));
        const long long waited = watch.Ms();
        closer.join();
        if (!closes) other->Close();
        EXPECT_EQ(FileExists(path), !closes);
        if (closes) {
            EXPECT_GE(waited, 100);
            EXPECT_LT(waited, 1900);
        } else {
            EXPECT_TRUE(AttributesOf(path) & FILE_ATTRIBUTE_READONLY);
            EXPECT_GE(waited, 1900);
            EXPECT_LT(waited, 6000);
        }
    }
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
    char text[64];
    std::snprintf(text, sizeof text, "\rLocator::Destroy: PrjID = %08x, Default =%08X\r\n",
                  unsigned(other), unsigned(ProjectID()));
    EXPECT_TRUE(capture.Contains(text));
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

using UnDestroyTest = StoreTest;

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
}  // namespace qzo::test::store
