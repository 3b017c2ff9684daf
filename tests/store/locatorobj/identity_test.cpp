// A locator's identity: clearing and its text form, the identity flags a location keeps, the
// self-locator's refusal of reassignment, copies that share the open file, object paths and the
// working project handed over by the project locator.
#include <gtest/gtest.h>

#include <cstring>

#include "qzobj/mailslot.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/objfile/locfile.h"
#include "store/locatorobj/locatorobj_support.h"
#include "support/capture.h"

namespace qzo::test::locatorobj {
namespace {

using qzo::store::LocatorCore;

constexpr char kSelfWarning[] = "\r\nWarning: Reassignments of selflocator not allowed\r\n";

std::string TextOf(const Locator& locator) {
    WCHAR text[LOCATION_TEXT_CHARS];
    if (!locator.GetLocationAsString(text, LOCATION_TEXT_CHARS)) return "<refused>";
    return Narrow(text);
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// A mailslot of the test's own, to find out whether a box name is taken on this computer.
class ProbeMailslot : public COSMailslot {
  public:
    int OnMailItem(tagMAILITEM*) override { return 1; }
};

using IdentityTest = QzoTest;

TEST_F(IdentityTest, ClearedLocatorHasTheFortyLetterTextAndNoPath) {
    Locator locator;
    EXPECT_FALSE(locator.IsValid());
    EXPECT_EQ(TextOf(locator), "AAMPAAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAA");
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

    // The text form carries the identity and reads back into an equal locator.
    const std::u16string text = Wide(TextOf(locator));
    Locator fromText(text.c_str());
    EXPECT_TRUE(fromText.GetLocation() == locator.GetLocation());
    Locator cleared(u"AAMPAAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAQ");
    EXPECT_EQ(TextOf(cleared), "AAMPAAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAA");
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

class WorkingProjectTest : public LocatorObjTest {};

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
    EXPECT_TRUE(FileExists(ProjectDir() + "workgroup/ALPHA.wg2"));
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

}  // namespace
}  // namespace qzo::test::locatorobj
