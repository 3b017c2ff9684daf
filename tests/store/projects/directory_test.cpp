// Projects.Directory: one entry per folder, an ID held by two folders, notification sequences
// against a fake link, the list file's exact bytes, damaged lists, and failed saves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "projects_support.h"
#include "qzobj/locator.h"
#include "qzobj/platform/file.h"

namespace qzo::test::projects {
namespace {

class Directory : public ProjectsTest {};

TEST_F(Directory, RegisteringTwiceGivesOneEntry) {
    const DWORD id = NewProject("Proj");
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Proj").c_str(), FALSE), id);
    EXPECT_EQ(PrjLocator::RegisterProject(System("PROJ/").c_str(), FALSE), id);
    EXPECT_EQ(PrjLocator::RegisterProject(Wide(Native("proj") + "\\").c_str(), FALSE), id);
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{id});
    EXPECT_EQ(PrjLocator::FindProject(System("pRoJ").c_str()), id);
}

TEST_F(Directory, FoldersDifferingOnlyInCaseAreRefused) {
    ASSERT_EQ(mkdir(Native("Twin").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(Native("TWIN").c_str(), 0777), 0);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Twin").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_FALSE(FileExists(Native("Twin/README.TXT")));
    EXPECT_FALSE(FileExists(Native("TWIN/README.TXT")));
    // A parent with a twin: the stored upper-case path would lead into the other one.
    ASSERT_EQ(mkdir(Native("Sub").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(Native("SUB").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(Native("Sub/Proj").c_str(), 0777), 0);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Sub/Proj").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_FALSE(FileExists(Native("Sub/Proj/README.TXT")));
}

TEST_F(Directory, SameIDFileByTwoPathsKeepsTheEntry) {
    const DWORD id = NewProject("Proj");
    ASSERT_EQ(symlink(Native("Proj").c_str(), Native("Alias").c_str()), 0);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Alias").c_str(), FALSE), id);
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjPath(id)), StoredPath("Proj"));
}

void CopyFolder(const std::string& from, const std::string& to) {
    std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
}

TEST_F(Directory, CopiedFolderTakesTheIDOfAnIdleProject) {
    const DWORD id = NewProject("Proj");
    CopyFolder(Native("Proj"), Native("Copy"));
    NotifyRecorder notes;
    EXPECT_EQ(PrjLocator::RegisterProject(System("Copy").c_str(), FALSE), id);
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjPath(id)), StoredPath("Copy"));
    EXPECT_EQ(notes.Events(), (std::vector<std::string>{"2:" + Hex8(id), "1:" + Hex8(id)}));
}

TEST_F(Directory, CopiedFolderOfTheWorkingProjectIsRefused) {
    const DWORD id = NewProject("Proj");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    CopyFolder(Native("Proj"), Native("Copy"));
    EXPECT_EQ(PrjLocator::RegisterProject(System("Copy").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjPath(id)), StoredPath("Proj"));
}

TEST_F(Directory, SwitchingTheWorkingProjectNotifiesInOrder) {
    const DWORD a = NewProject("A");
    const DWORD b = NewProject("B");
    LinkRecorder link;
    ASSERT_TRUE(PrjLocator::SetWorkingProject(a));
    NotifyRecorder notes;
    link.Clear();
    ASSERT_TRUE(PrjLocator::SetWorkingProject(b));
    EXPECT_EQ(notes.Events(), (std::vector<std::string>{"80000002:" + Hex8(a), "1:" + Hex8(a),
                                                        "2:" + Hex8(b), "80000001:" + Hex8(b)}));
    EXPECT_EQ(link.Calls(), (std::vector<std::string>{"SetDefProjectID(null,0000FC00)",
                                                      "SetDefProjectID(gen," + Hex8(b) + ")"}));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), b);
    EXPECT_EQ(std::u16string(PrjLocator::GetDefPrjPath()), StoredPath("B"));
}

TEST_F(Directory, RefusedLocatorLeavesNoWorkingProject) {
    const DWORD a = NewProject("A");
    LinkRecorder::setDefAnswer = FALSE;
    LinkRecorder link;
    NotifyRecorder notes;
    EXPECT_FALSE(PrjLocator::SetWorkingProject(a));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(notes.Events().empty());
    EXPECT_EQ(link.Calls().back(), "SetDefProjectID(null,0000FC00)");
}

TEST_F(Directory, UnregisteringTheWorkingProjectEndsItFirst) {
    const DWORD a = NewProject("A");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(a));
    const WCHAR* path = PrjLocator::GetPrjPath(a);
    NotifyRecorder notes;
    EXPECT_TRUE(PrjLocator::UnregisterProject(a));
    EXPECT_EQ(notes.Events(),
              (std::vector<std::string>{"80000002:" + Hex8(a), "1:" + Hex8(a), "2:" + Hex8(a)}));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), PRJLOC_NO_PROJECT);
    EXPECT_EQ(PrjLocator::GetPrjPath(a), nullptr);
    EXPECT_EQ(std::u16string(path), StoredPath("A")) << "retired entries stay readable";
    EXPECT_FALSE(PrjLocator::UnregisterProject(a));
}

TEST_F(Directory, PerProjectValues) {
    const DWORD a = NewProject("A");
    int marker = 0;
    EXPECT_TRUE(PrjLocator::SetPrjCustomData(a, &marker));
    EXPECT_EQ(PrjLocator::GetPrjCustomData(a), &marker);
    EXPECT_TRUE(PrjLocator::SetPrjDataPath(a, u"/data/x"));
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjDataPath(a)), u"/data/x");
    EXPECT_FALSE(PrjLocator::SetPrjDataPath(a, std::u16string(300, u'x').c_str()));
    EXPECT_FALSE(PrjLocator::SetPrjCustomData(0x0000FC00, &marker));
    EXPECT_EQ(PrjLocator::GetPrjPath(0x0001FC01), nullptr);
    EXPECT_EQ(PrjLocator::GetDefPrjPath(), nullptr);
}

// The expected bytes of a list: the count, then each path padded with zeros to 520 bytes,
// bucket by bucket.
std::string ListBytes(std::vector<std::pair<DWORD, std::u16string>> projects) {
    std::sort(projects.begin(), projects.end(), [](const auto& x, const auto& y) {
        DWORD bx = x.first & 0xFFFF, by = y.first & 0xFFFF;
        return bx != by ? bx < by : (x.first >> 16) < (y.first >> 16);
    });
    std::string bytes(4, '\0');
    bytes[0] = char(projects.size());
    for (const auto& project : projects) {
        std::string record(520, '\0');
        std::memcpy(record.data(), project.second.data(), project.second.size() * 2);
        bytes += record;
    }
    return bytes;
}

TEST_F(Directory, ListFileBytesAreExact) {
    const DWORD a = NewProject("A");
    const DWORD b = NewProject("Bee");
    const DWORD c = NewProject("Cee");
    const std::string list = Native("list.bin");
    ASSERT_TRUE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str()));
    EXPECT_EQ(ReadFileBytes(list),
              ListBytes({{a, StoredPath("A")}, {b, StoredPath("Bee")}, {c, StoredPath("Cee")}}));
}

TEST_F(Directory, EmptyListIsFourZeroBytesAndFalse) {
    const std::string list = Native("list.bin");
    EXPECT_FALSE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str()));
    EXPECT_EQ(ReadFileBytes(list), std::string(4, '\0'));
}

TEST_F(Directory, SavedListLoadsBack) {
    const DWORD a = NewProject("A");
    const DWORD b = NewProject("B");
    const std::string list = Native("list.bin");
    ASSERT_TRUE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str()));
    PrjLocator::UnregisterProject(a);
    PrjLocator::UnregisterProject(b);
    ASSERT_TRUE(PrjLocator::LoadRegisteredProjects(Wide(list).c_str()));
    auto ids = RegisteredIDs();
    std::sort(ids.begin(), ids.end());
    auto expected = std::vector<DWORD>{a, b};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);
}

TEST_F(Directory, DamagedListsLoadCleanly) {
    const DWORD a = NewProject("A");
    const std::string good = Native("good.bin");
    ASSERT_TRUE(PrjLocator::SaveRegisteredProjects(Wide(good).c_str()));
    PrjLocator::UnregisterProject(a);
    const std::string bytes = ReadFileBytes(good);
    const std::string list = Native("damaged.bin");
    auto load = [&](const std::string& content) {
        WriteFileBytes(list, content);
        return PrjLocator::LoadRegisteredProjects(Wide(list).c_str());
    };
    EXPECT_FALSE(load(""));
    EXPECT_FALSE(load("\x01\x00"));
    EXPECT_FALSE(load(bytes.substr(0, 300)));                // a short record
    EXPECT_FALSE(load(std::string("\xFF\xFF\xFF\xFF", 4)));  // a count without records
    std::string noTerminator = bytes;
    for (size_t i = 4; i < noTerminator.size(); i += 2) noTerminator[i] = 'A';
    EXPECT_TRUE(load(noTerminator));
    EXPECT_TRUE(RegisteredIDs().empty());
    std::string garbage(4 + 520, '\x7F');
    garbage[0] = 1;
    garbage[1] = garbage[2] = garbage[3] = 0;
    garbage[4 + 518] = garbage[4 + 519] = 0;
    EXPECT_TRUE(load(garbage));
    EXPECT_TRUE(RegisteredIDs().empty());
    EXPECT_FALSE(PrjLocator::LoadRegisteredProjects(System("absent.bin").c_str()));
    EXPECT_FALSE(PrjLocator::LoadRegisteredProjects(nullptr));
    EXPECT_TRUE(load(bytes));
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{a});
}

TEST_F(Directory, UnknownServersAreNotRegistered) {
    std::string bytes(4 + 520, '\0');
    bytes[0] = 1;
    const std::u16string path = u"//NOSUCHSERVER7/share/proj/";
    std::memcpy(&bytes[4], path.data(), path.size() * 2);
    WriteFileBytes(Native("servers.bin"), bytes);
    EXPECT_TRUE(PrjLocator::LoadRegisteredProjects(System("servers.bin").c_str()));
    EXPECT_TRUE(RegisteredIDs().empty());
}

TEST_F(Directory, FailedSaveKeepsTheOldList) {
    NewProject("A");
    const std::string list = Native("list.bin");
    WriteFileBytes(list, "old list");
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Wide(list).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str()));
    EXPECT_EQ(ReadFileBytes(list), "old list");
    qzo::platform::SetFileAttributes(Wide(list).c_str(), 0);
}

int StopAtFirst(const PRJLOCENTRY*, DWORD, uintptr_t user) {
    ++*reinterpret_cast<int*>(user);
    return 0;
}

int Throws(const PRJLOCENTRY*, DWORD, uintptr_t) {
    throw 1;
}

TEST_F(Directory, EnumerationStopsOnZeroAndOnThrow) {
    NewProject("A");
    NewProject("B");
    int calls = 0;
    EXPECT_FALSE(
        PrjLocator::EnumRegisteredProjects(&StopAtFirst, reinterpret_cast<uintptr_t>(&calls)));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(PrjLocator::EnumRegisteredProjects(&Throws, 0));
    EXPECT_FALSE(PrjLocator::EnumRegisteredProjects(nullptr, 0));
}

}  // namespace
}  // namespace qzo::test::projects

namespace qzo::test::projects {
namespace {

TEST_F(Directory, WorkingProjectReachesTheLocator) {
    const DWORD a = NewProject("A");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(a));
    EXPECT_EQ(Locator::GetDefProjectID(), a);
    CProjUniID* generator = Locator::GetDefUIDGen();
    ASSERT_NE(generator, nullptr);
    EXPECT_TRUE(generator->IsOpen());
    ASSERT_TRUE(PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT));
    EXPECT_EQ(Locator::GetDefProjectID(), PRJLOC_NO_PROJECT);
    EXPECT_EQ(Locator::GetDefUIDGen(), nullptr);
}

TEST_F(Directory, DefaultLinkRecordsTheWorkingPair) {
    // Without the locator's entries the project locator's default records the pair.
    const qzo::store::LocatorLink registered = qzo::store::SetLocatorLink({});
    const DWORD a = NewProject("A");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(a));
    CProjUniID* generator = nullptr;
    DWORD recorded = 0;
    qzo::store::RecordedDefProject(&generator, &recorded);
    EXPECT_EQ(recorded, a);
    ASSERT_NE(generator, nullptr);
    EXPECT_TRUE(generator->IsOpen());
    ASSERT_TRUE(PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT));
    qzo::store::RecordedDefProject(&generator, &recorded);
    EXPECT_EQ(recorded, PRJLOC_NO_PROJECT);
    EXPECT_EQ(generator, nullptr);
    qzo::store::SetLocatorLink(registered);
}

TEST_F(Directory, ExtraUsersLeaveTheDirectoryAlone) {
    const DWORD a = NewProject("A");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(a));
    { PrjLocator user; }
    EXPECT_EQ(PrjLocator::GetDefPrjID(), a);
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{a});
}

}  // namespace
}  // namespace qzo::test::projects
