// Projects.Layout: the files a registration writes, the project ID, format versions, and the
// paths and ID file names that must link nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "projects_support.h"
#include "qzobj/hashid.h"
#include "qzobj/pathkit.h"
#include "qzobj/suitelibs/uikit/dialogs.h"
#include "support/capture.h"

namespace qzo::test::projects {
namespace {

const char kReadme[] =
    "***************************\r\nWARNING WARNING WARNING\r\n***************************\r\n\r\n"
    "This directory contains all the descriptive data of the project.\r\n"
    "For better access the data are split into various subdirectories and files.\r\n\r\n"
    "******************************************************\r\n"
    "DO NOT DIRECTLY EDIT OR CHANGE ANY OF IT'S CONTENTS!\r\n"
    "******************************************************\r\n\r\n"
    "If you need to create a backup of the project, simply backup\r\n"
    "the this directory and all it's subdirectories.\r\n\r\n\r\n\r\n\r\n";

class Layout : public ProjectsTest {};

TEST_F(Layout, NewFolderGetsExactLayoutFiles) {
    const DWORD id = NewProject("Proj");
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    EXPECT_EQ(id, GetPathHash(StoredPath("Proj").c_str()));
    const std::string folder = Native("Proj") + "/";
    ASSERT_EQ(sizeof kReadme - 1, 517u);
    EXPECT_EQ(ReadFileBytes(folder + "README.TXT"), kReadme);
    EXPECT_EQ(ReadFileBytes(folder + "desktop.ini"),
              "[.ShellClassInfo]\r\nCLSID={5E2A7C10-3B4D-11D2-9F61-00A0C9E3B41A}\r\n");
    EXPECT_EQ(ReadFileBytes(folder + Hex8(id) + ".ProjectID"), "");
    EXPECT_EQ(ReadFileBytes(folder + "version.ini"), "[VersionInfo]\r\nVersion=00030000\r\n");
    EXPECT_EQ(PrjLocator::GetPrjVersion(id), PRJLOC_VERSION_CURRENT);
    // Nothing else: no lock or temporary files left behind.
    const std::string listing = TreeListing(Native("Proj"));
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4) << listing;
    EXPECT_TRUE(StoredAttributes(folder + "desktop.ini") & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(PrjLocator::GetPrjPath(id), StoredPath("Proj"));
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjName(id)), u"PROJ/");
}

TEST_F(Layout, FolderReadOnlyIsAMarkerOnly) {
    ASSERT_NE(NewProject("Proj"), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(StoredAttributes(Native("Proj")) & FILE_ATTRIBUTE_READONLY);
    struct stat st {};
    ASSERT_EQ(stat(Native("Proj").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR) << "the mode bits stay writable";
    WriteFileBytes(Native("Proj/new.txt"), "entries stay writable");
    EXPECT_EQ(ReadFileBytes(Native("Proj/new.txt")), "entries stay writable");
}

TEST_F(Layout, MissingFolderNeedsCreate) {
    EXPECT_EQ(PrjLocator::RegisterProject(System("Absent").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_FALSE(FileExists(Native("Absent")));
    EXPECT_EQ(PrjLocator::RegisterProject(System("No/Parents").c_str(), TRUE), PRJLOC_NO_PROJECT);
    EXPECT_FALSE(FileExists(Native("No")));
    EXPECT_EQ(PrjLocator::RegisterProject(nullptr, TRUE), PRJLOC_NO_PROJECT);
}

TEST_F(Layout, NewFolderKeepsTheCallersSpelling) {
    ASSERT_NE(NewProject("MixedCase"), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(FileExists(Native("MixedCase/README.TXT")));
}

TEST_F(Layout, OldProjectIsRaisedWhenItBecomesWorking) {
    ASSERT_EQ(mkdir(Native("Old").c_str(), 0777), 0);
    const DWORD id = PrjLocator::RegisterProject(System("Old").c_str(), FALSE);
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    EXPECT_FALSE(FileExists(Native("Old/version.ini")));
    EXPECT_EQ(PrjLocator::GetPrjVersion(id), PRJLOC_VERSION_OLD);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    EXPECT_EQ(PrjLocator::GetDefPrjVersion(), PRJLOC_VERSION_CURRENT);
    EXPECT_EQ(ReadFileBytes(Native("Old/version.ini")), "[VersionInfo]\r\nVersion=00030000\r\n");
}

TEST_F(Layout, UnparsableVersionIsOld) {
    ASSERT_EQ(mkdir(Native("Odd").c_str(), 0777), 0);
    WriteFileBytes(Native("Odd/version.ini"), "[VersionInfo]\r\nVersion=zz\r\n");
    const DWORD id = PrjLocator::RegisterProject(System("Odd").c_str(), FALSE);
    EXPECT_EQ(PrjLocator::GetPrjVersion(id), PRJLOC_VERSION_OLD);
}

struct SeenBox {
    int count = 0;
    std::u16string text, caption;
};

int AnswerBox(const WCHAR* text, const WCHAR* caption, UINT, void* context) {
    auto* seen = static_cast<SeenBox*>(context);
    ++seen->count;
    seen->text = text;
    seen->caption = caption;
    return IDOK;
}

TEST_F(Layout, NewerVersionShowsTheRestriction) {
    ASSERT_EQ(mkdir(Native("New").c_str(), 0777), 0);
    WriteFileBytes(Native("New/version.ini"), "[VersionInfo]\r\nVersion=00040000\r\n");
    const DWORD id = PrjLocator::RegisterProject(System("New").c_str(), FALSE);
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    SeenBox seen;
    qzo::uikit::SetMessageBoxAnswerHook(&AnswerBox, &seen);
    EXPECT_FALSE(PrjLocator::SetPrjVersion(id));
    qzo::uikit::SetMessageBoxAnswerHook(nullptr, nullptr);
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.caption, u"Version Restriction");
    EXPECT_EQ(seen.text,
              u"Project has been edited with a newer version, you will not be able to edit it.");
    EXPECT_EQ(PrjLocator::GetPrjVersion(id), 0x40000u);
    EXPECT_EQ(ReadFileBytes(Native("New/version.ini")), "[VersionInfo]\r\nVersion=00040000\r\n");
}

TEST_F(Layout, OverLongPathsLinkNothing) {
    // With the trailing '/' the normalised path would need 260 characters.
    const std::string base = Root() + "/";
    const std::string name(259 - base.size(), 'a');
    ASSERT_EQ((base + name).size(), 259u);
    const std::string before = TreeListing(Root());
    EXPECT_EQ(PrjLocator::RegisterProject(Wide(base + name).c_str(), TRUE), PRJLOC_NO_PROJECT);
    EXPECT_EQ(PrjLocator::RegisterProject(Wide(base + name + "bb").c_str(), TRUE),
              PRJLOC_NO_PROJECT);
    EXPECT_EQ(TreeListing(Root()), before);
    EXPECT_TRUE(RegisteredIDs().empty());
}

TEST_F(Layout, BadIDFileNamesLinkNothing) {
    for (const char* name : {"FFFFFFFF", "0000FC00", "XYZ", "123456789", "12.34"}) {
        SCOPED_TRACE(name);
        const std::string folder = Native(std::string("P") + name);
        ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
        WriteFileBytes(folder + "/" + name + ".ProjectID", "");
        EXPECT_EQ(PrjLocator::RegisterProject(Wide(folder).c_str(), FALSE), PRJLOC_NO_PROJECT);
    }
    EXPECT_TRUE(RegisteredIDs().empty());
}

TEST_F(Layout, IDFileNameIsTheID) {
    ASSERT_EQ(mkdir(Native("Moved").c_str(), 0777), 0);
    WriteFileBytes(Native("Moved/12.ProjectID"), "");
    WriteFileBytes(Native("Moved/A0000001.ProjectID"), "");  // sorted after "12...": ignored
    EXPECT_EQ(PrjLocator::RegisterProject(System("Moved").c_str(), FALSE), 0x12u);
}

TEST_F(Layout, CrashRebuildAnswerBecomesTheID) {
    LinkRecorder::crashRebuildAnswer = 0x00450123;
    LinkRecorder link;
    EXPECT_EQ(NewProject("Rebuilt"), 0x00450123u);
    EXPECT_TRUE(FileExists(Native("Rebuilt/00450123.ProjectID")));
    ASSERT_EQ(link.Calls().size(), 1u);
    EXPECT_EQ(link.Calls()[0].rfind("CheckCrashRebuild(", 0), 0u);
}

TEST_F(Layout, UnwritableIDFileIsReported) {
    ASSERT_EQ(mkdir(Native("Blocked").c_str(), 0777), 0);
    const DWORD hash = GetPathHash(StoredPath("Blocked").c_str());
    // A folder where the ID file belongs: it is no "*.ProjectID" file, and no file can be made.
    ASSERT_EQ(mkdir(Native("Blocked/" + Hex8(hash) + ".ProjectID").c_str(), 0777), 0);
    ScopedDebug debug(true);
    DebugCapture capture;
    EXPECT_EQ(PrjLocator::RegisterProject(System("Blocked").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(capture.Contains("PRJLOC: Couldn't create project ID file at " + Native("Blocked") +
                                 "/\r\n"))
        << capture.Text();
    EXPECT_TRUE(RegisteredIDs().empty());
}

TEST_F(Layout, DebugMessageOfRegistration) {
    ScopedDebug debug(true);
    DebugCapture capture;
    const DWORD id = NewProject("Said");
    EXPECT_TRUE(capture.Contains("\rRegistered project " + Narrow(StoredPath("Said")) +
                                 ", ID=" + Hex8(id) + "\r\n"))
        << capture.Text();
}

}  // namespace
}  // namespace qzo::test::projects

namespace qzo::test::projects {
namespace {

BOOL CollectName(const WCHAR*, const WIN32_FIND_DATAW* entry, uintptr_t context) {
    reinterpret_cast<std::vector<std::u16string>*>(context)->push_back(entry->cFileName);
    return TRUE;
}

// "*.*" and "*" select every name of a project folder, folders without an extension included,
// whatever their case.
TEST_F(Layout, WildcardsMatchEveryLayoutName) {
    ASSERT_NE(NewProject("Proj"), PRJLOC_NO_PROJECT);
    for (const char* folder : {"OBJ", "Recycle", "workgroup"})
        ASSERT_EQ(mkdir(Native(std::string("Proj/") + folder).c_str(), 0777), 0);
    for (const char* pattern : {"/*.*", "/*"}) {
        std::vector<std::u16string> names;
        const std::u16string path = System("proj") + Wide(pattern);
        ASSERT_TRUE(FU_EnumDirectory(&CollectName, path.c_str(),
                                     FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, 0,
                                     reinterpret_cast<uintptr_t>(&names)));
        EXPECT_EQ(names.size(), 7u) << pattern;
        for (const char16_t* name : {u"OBJ", u"Recycle", u"workgroup", u"desktop.ini"})
            EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
    }
}

}  // namespace
}  // namespace qzo::test::projects
