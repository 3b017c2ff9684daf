// Copy, delete, purge and the recycle bin of projects: every refusal leaves the whole tree
// (content, modes, attribute words, times) exactly as it was; the operations that go ahead do
// what they say and no more. Also the folder functions they rely on: copies share reading and
// writing with open handles and carry the attribute word and times; deletes refuse empty paths
// and roots; path containment is decided by identity (links, "..", case, missing tails).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>

#include "projects_support.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/path_relation.h"
#include "support/capture.h"
#include "support/peer.h"

namespace qzo::test::projects {
namespace {

namespace fs = std::filesystem;

class Destructive : public ProjectsTest {
  protected:
    void SetUp() override {
        ProjectsTest::SetUp();
        id_ = NewProject("Proj");
        ASSERT_NE(id_, PRJLOC_NO_PROJECT);
        fs::create_directories(Native("Proj/Obj/ABCD0001"));
        WriteFileBytes(Native("Proj/Obj/ABCD0001/00001000.qzo"), "object one");
        WriteFileBytes(Native("Proj/Obj/ABCD0001/00001001.qzo"), "deleted object");
        // A deletion mark: the object file is read-only.
        ASSERT_TRUE(qzo::platform::SetFileAttributes(
            System("Proj/Obj/ABCD0001/00001001.qzo").c_str(), FILE_ATTRIBUTE_READONLY));
        WriteFileBytes(Native("Proj/Proj_notes.txt"), "named after the folder");
        WriteFileBytes(Native("Proj/proj"), "named like the folder");
        ASSERT_TRUE(PrjLocator::SetWorkingProject(id_));
        fs::create_directories(Native("Stuff"));
        WriteFileBytes(Native("Stuff/keep.txt"), "not a project");
    }
    void TearDown() override {
        // Read-only marks would stop the fixture's cleanup as an ordinary user.
        for (auto& entry : fs::recursive_directory_iterator(Root()))
            if (!entry.is_symlink() && entry.is_regular_file())
                qzo::platform::SetFileAttributes(Wide(entry.path().string()).c_str(), 0);
        ProjectsTest::TearDown();
    }
    std::string Tree() const { return TreeListing(Root()); }
    // A registered project whose "PRJ.IDS" holds `counter`, open nowhere.
    DWORD IdleProject(const std::string& name, DWORD counter = 2000) {
        DWORD id = NewProject(name);
        CProjUniID generator;
        EXPECT_EQ(generator.Create(System(name).c_str(), counter), 0u);
        return id;
    }
    DWORD id_ = 0;
};

TEST_F(Destructive, CopyRefusalsTouchNothing) {
    const DWORD other = NewProject("Other");
    ASSERT_NE(other, PRJLOC_NO_PROJECT);
    ASSERT_EQ(symlink(Native("Proj").c_str(), Native("Alias").c_str()), 0);
    const std::string before = Tree();
    for (const std::u16string& destination :
         {std::u16string(u""), std::u16string(u"/"), std::u16string(u"//"), System("Proj"),
          System("PROJ/"), System("Alias"), Wide(Root()), System("Proj/Obj"), System("Proj/NewSub"),
          System("Other"), System("Stuff"), System("Stuff/../Proj"), System("Stuff/keep.txt")}) {
        SCOPED_TRACE(Narrow(destination));
        EXPECT_EQ(PrjLocator::CopyDefProject(destination.c_str()), PRJLOC_BAD_PROJECT);
        EXPECT_EQ(Tree(), before);
    }
    EXPECT_EQ(PrjLocator::CopyDefProject(nullptr), PRJLOC_BAD_PROJECT);
    ScopedDebug debug(true);
    DebugCapture capture;
    EXPECT_EQ(PrjLocator::CopyDefProject(System("proj").c_str()), PRJLOC_BAD_PROJECT);
    EXPECT_EQ(capture.Text(), "PrjLocator::CopyProject: Can't copy to myself...");
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    EXPECT_EQ(PrjLocator::CopyDefProject(System("Fresh").c_str()), PRJLOC_BAD_PROJECT);
    EXPECT_TRUE(capture.Contains("PrjLocator::CopyProject: No working project set"));
    EXPECT_FALSE(FileExists(Native("Fresh")));
}

TEST_F(Destructive, CopyToFreshFolderReproducesTheProject) {
    const std::string idFile = "/" + Hex8(id_) + ".ProjectID";
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, Native("Proj" + idFile).c_str(), old, 0), 0);
    ASSERT_EQ(PrjLocator::CopyDefProject(System("Fresh").c_str()), 0u);
    EXPECT_EQ(ReadFileBytes(Native("Fresh/Obj/ABCD0001/00001000.qzo")), "object one");
    EXPECT_EQ(ReadFileBytes(Native("Fresh/Obj/ABCD0001/00001001.qzo")), "deleted object");
    EXPECT_TRUE(StoredAttributes(Native("Fresh/Obj/ABCD0001/00001001.qzo")) &
                FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(StoredAttributes(Native("Fresh/Obj/ABCD0001/00001000.qzo")) &
                 FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ReadFileBytes(Native("Fresh/PRJ.IDS")), ReadFileBytes(Native("Proj/PRJ.IDS")));
    // File times travel, to the 100 ns of a file time.
    EXPECT_EQ(WriteTime100ns(Native("Fresh/Obj/ABCD0001/00001000.qzo")),
              WriteTime100ns(Native("Proj/Obj/ABCD0001/00001000.qzo")));
    EXPECT_EQ(ReadFileBytes(Native("Fresh/Fresh_notes.txt")), "named after the folder");
    EXPECT_FALSE(FileExists(Native("Fresh/Proj_notes.txt")));
    EXPECT_EQ(ReadFileBytes(Native("Fresh/Fresh")), "named like the folder");
    EXPECT_FALSE(FileExists(Native("Fresh/proj")));
    EXPECT_TRUE(StoredAttributes(Native("Fresh")) & FILE_ATTRIBUTE_READONLY);
    EXPECT_GT(WriteTime100ns(Native("Fresh" + idFile)), WriteTime100ns(Native("Proj" + idFile)))
        << "the copy's ID file is touched";
    // The copy registers as a project of its own ID file, while the source is working.
    EXPECT_EQ(PrjLocator::RegisterProject(System("Fresh").c_str(), FALSE), PRJLOC_NO_PROJECT);
}

TEST_F(Destructive, CopyOntoAnIdleProjectKeepsTheHigherCounter) {
    PrjLocator::UnregisterProject(IdleProject("Dest", 0x9000));
    WriteFileBytes(Native("Dest/old.txt"), "replaced");
    ASSERT_EQ(PrjLocator::CopyDefProject(System("Dest").c_str()), 0u);
    EXPECT_FALSE(FileExists(Native("Dest/old.txt")));
    EXPECT_EQ(ReadFileBytes(Native("Dest/Obj/ABCD0001/00001000.qzo")), "object one");
    EXPECT_EQ(ReadFileBytes(Native("Dest/PRJ.IDS")), std::string("\x00\x90\x00\x00", 4));
}

TEST_F(Destructive, DeleteRefusalsTouchNothing) {
    const DWORD other = IdleProject("Other");
    fs::create_directories(Native("BadID"));
    WriteFileBytes(Native("BadID/FFFFFFFF.ProjectID"), "");
    fs::create_directories(Native("Broken"));
    WriteFileBytes(Native("Broken/00120001.ProjectID"), "");
    fs::create_directories(Native("Broken/PRJ.IDS"));  // an ID file that will not open
    fs::create_directories(Native("Outer"));           // a folder holding another project
    WriteFileBytes(Native("Outer/00220001.ProjectID"), "");
    ASSERT_NE(NewProject("Outer/Inner"), PRJLOC_NO_PROJECT);
    const auto registered = RegisteredIDs();
    const std::string before = Tree();
    for (const std::u16string& path :
         {std::u16string(u""), std::u16string(u"/"), std::u16string(u"//SERVER/"), System("Stuff"),
          System("BadID"), System("Broken"), System("Outer"), Wide(Root()), System("Absent")}) {
        SCOPED_TRACE(Narrow(path));
        EXPECT_EQ(PrjLocator::DeleteProject(path.c_str(), 0), PRJLOC_BAD_PROJECT);
        EXPECT_EQ(Tree(), before);
    }
    EXPECT_EQ(PrjLocator::DeleteProject(id_, 0), PRJLOC_IS_WORKING_PROJECT);
    EXPECT_EQ(PrjLocator::DeleteProject(System("proj").c_str(), 0), PRJLOC_IS_WORKING_PROJECT);
    EXPECT_EQ(PrjLocator::DeleteProject(0x0000FC00u, 0), PRJLOC_BAD_PROJECT);
    EXPECT_EQ(PrjLocator::DeleteProject(0x12340001u, 0), PRJLOC_BAD_PROJECT);
    EXPECT_EQ(PrjLocator::DeleteProject(other, 1), PRJLOC_BAD_PROJECT) << "no object locator";
    EXPECT_EQ(PrjLocator::DeleteProject(static_cast<const WCHAR*>(nullptr), 0), PRJLOC_BAD_PROJECT);
    EXPECT_EQ(Tree(), before);
    EXPECT_EQ(RegisteredIDs(), registered) << "deleting by path never registers";
}

TEST_F(Destructive, CopyOntoOrDeleteOfAProjectInUseReturnsOne) {
    const DWORD other = IdleProject("Other");
    Peer peer;
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("ids_open " + Native("Other")), "1 0");
    const std::string before = Tree();
    EXPECT_EQ(PrjLocator::DeleteProject(other, 0), 1u);
    PrjLocator::UnregisterProject(other);
    EXPECT_EQ(PrjLocator::CopyDefProject(System("Other").c_str()), 1u);
    EXPECT_EQ(Tree(), before);
}

TEST_F(Destructive, DeleteRemovesInnerLinksWithoutFollowingAndWorksByPath) {
    const DWORD other = IdleProject("Other");
    ASSERT_EQ(symlink(Native("Stuff").c_str(), Native("Other/link").c_str()), 0);
    fs::create_directories(Native("Other/Obj/X"));
    WriteFileBytes(Native("Other/Obj/X/00000400.qzo"), "o");
    LinkRecorder::withEnum = TRUE;
    LinkRecorder link;
    NotifyRecorder notes;
    EXPECT_EQ(PrjLocator::DeleteProject(other, 7), 0u);
    EXPECT_EQ(ReadFileBytes(Native("Stuff/keep.txt")), "not a project");
    EXPECT_TRUE(fs::is_empty(Native("Other")));
    EXPECT_EQ(PrjLocator::GetPrjPath(other), nullptr);
    EXPECT_EQ(link.Calls(), std::vector<std::string>{"EnumProject(" + Hex8(other) + ",7)"});
    EXPECT_EQ(notes.Events().front(), "3:" + Hex8(other));
    // An unregistered project is deleted by its path, and stays unregistered.
    PrjLocator::UnregisterProject(IdleProject("Third"));
    EXPECT_EQ(PrjLocator::DeleteProject(System("Third").c_str(), 0), 0u);
    EXPECT_TRUE(fs::is_empty(Native("Third")));
    EXPECT_EQ(PrjLocator::FindProject(System("Third").c_str()), PRJLOC_NO_PROJECT);
}

int PrepareFails() {
    return 0;
}
int PrepareThrows() {
    throw 5;
}
int PrepareWorks() {
    LinkRecorder::Record("prepare");
    return 1;
}

TEST_F(Destructive, PurgeRunsInOrderAndAFailedPrepareDeletesNothing) {
    fs::create_directories(Native("Proj/Recycle/x"));
    WriteFileBytes(Native("Proj/Recycle/x/f"), "recycled");
    const std::string before = Tree();
    EXPECT_EQ(PrjLocator::PurgeDefProject(&PrepareWorks), PRJLOC_BAD_PROJECT) << "no locator";
    EXPECT_EQ(Tree(), before);
    LinkRecorder::withPurge = TRUE;
    LinkRecorder link;
    for (auto prepare : {&PrepareFails, &PrepareThrows}) {
        link.Clear();
        NotifyRecorder notes;
        EXPECT_EQ(PrjLocator::PurgeDefProject(prepare), PRJLOC_BAD_PROJECT);
        EXPECT_EQ(Tree(), before);
        EXPECT_EQ(link.Calls(), std::vector<std::string>{"UntagProject"});
        EXPECT_EQ(notes.Events(), (std::vector<std::string>{"4:" + Hex8(id_), "5:" + Hex8(id_)}));
    }
    link.Clear();
    EXPECT_EQ(PrjLocator::PurgeDefProject(&PrepareWorks), 0u) << "the lock was released";
    EXPECT_EQ(link.Calls(), (std::vector<std::string>{"UntagProject", "prepare",
                                                      "DeleteUntaggedProject", "PurgeProject"}));
    EXPECT_FALSE(FileExists(Native("Proj/Recycle")));
}

TEST_F(Destructive, SecondRecycleOfOnePathKeepsBothFiles) {
    const std::u16string file = System("Proj/Obj/ABCD0001/00001000.qzo");
    ASSERT_TRUE(PrjLocator::MoveToRecycleBin(file.c_str()));
    EXPECT_TRUE(PrjLocator::IsInRecycleBin(file.c_str()));
    EXPECT_EQ(ReadFileBytes(Native("Proj/Recycle/Obj/ABCD0001/00001000.qzo")), "object one");
    WriteFileBytes(Native("Proj/Obj/ABCD0001/00001000.qzo"), "second");
    const std::string before = Tree();
    EXPECT_FALSE(PrjLocator::MoveToRecycleBin(file.c_str()));
    EXPECT_FALSE(PrjLocator::GetFromRecycleBin(file.c_str())) << "restoring never replaces";
    EXPECT_EQ(Tree(), before);
    EXPECT_EQ(PrjLocator::UpdateRecycleSize(), 10u);
    fs::remove(Native("Proj/Obj/ABCD0001/00001000.qzo"));
    EXPECT_TRUE(PrjLocator::GetFromRecycleBin(file.c_str()));
    EXPECT_EQ(ReadFileBytes(Native("Proj/Obj/ABCD0001/00001000.qzo")), "object one");
    EXPECT_FALSE(PrjLocator::IsInRecycleBin(file.c_str()));
}

TEST_F(Destructive, RecycleRefusalsTouchNothing) {
    ASSERT_EQ(symlink(Native("Stuff").c_str(), Native("Proj/escape").c_str()), 0);
    fs::create_directories(Native("Proj/Recycle"));
    WriteFileBytes(Native("Proj/Recycle/r.txt"), "in the bin");
    const std::string before = Tree();
    for (const std::u16string& file :
         {System("Stuff/keep.txt"), System("Proj/../Stuff/keep.txt"),
          System("Proj/escape/keep.txt"), System("Proj/Recycle/r.txt"),
          System("Proj/./Proj_notes.txt"), System("Proj/"), std::u16string(u"")}) {
        SCOPED_TRACE(Narrow(file));
        EXPECT_FALSE(PrjLocator::MoveToRecycleBin(file.c_str()));
        EXPECT_EQ(Tree(), before);
    }
    EXPECT_FALSE(PrjLocator::MoveToRecycleBin(nullptr));
    // Leaving the working project closes its mailslot, which takes this computer's workgroup
    // file away: the refusals below are compared with the tree after that.
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    const std::string idle = Tree();
    EXPECT_FALSE(PrjLocator::MoveToRecycleBin(System("Proj/Proj_notes.txt").c_str()));
    EXPECT_EQ(PrjLocator::UpdateRecycleSize(), 0u);
    EXPECT_EQ(Tree(), idle);
}

// ---- the folder functions below the operations

class FolderFunctions : public QzoTest {
  protected:
    std::u16string Path(const std::string& name) const { return Wide(TempPath(name)); }
};

TEST_F(FolderFunctions, CopySharesWithOpenHandlesAndDeletesRefuseRoots) {
    std::filesystem::create_directories(TempPath("Src/Sub"));
    WriteFileBytes(TempPath("Src/PRJ.IDS"), std::string("\x00\x04\x00\x00", 4));
    WriteFileBytes(TempPath("Src/Sub/marked.qzo"), "marked");
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Path("Src/Sub/marked.qzo").c_str(),
                                                 FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Path("Src/Sub").c_str(), FILE_ATTRIBUTE_HIDDEN));
    auto held = qzo::platform::File::Open(Path("Src/PRJ.IDS").c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(held);
    ASSERT_TRUE(FU_CopyDirectory(Path("Src/*.*").c_str(), Path("Dst").c_str(), TRUE, 0));
    EXPECT_EQ(ReadFileBytes(TempPath("Dst/PRJ.IDS")), std::string("\x00\x04\x00\x00", 4));
    EXPECT_TRUE(StoredAttributes(TempPath("Dst/Sub/marked.qzo")) & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(StoredAttributes(TempPath("Dst/Sub")) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(WriteTime100ns(TempPath("Dst/Sub/marked.qzo")),
              WriteTime100ns(TempPath("Src/Sub/marked.qzo")));
    held->Close();
    // A handle that denies reading keeps its file from being copied.
    auto denying =
        qzo::platform::File::Open(Path("Src/PRJ.IDS").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_TRUE(denying);
    EXPECT_FALSE(FU_CopyDirectory(Path("Src/*.*").c_str(), Path("Dst2").c_str(), TRUE, 0));
    for (auto& entry : std::filesystem::recursive_directory_iterator(TempDir()))
        if (entry.is_regular_file())
            qzo::platform::SetFileAttributes(Wide(entry.path().string()).c_str(), 0);
    // Deletes refuse empty paths and roots.
    for (const char16_t* path : {u"", u"/", u"/*", u"\\"})
        EXPECT_FALSE(FU_DeleteDirectory(path, TRUE, 0)) << Narrow(path);
}

using qzo::platform::PathRelation;
using qzo::platform::RelatePaths;

TEST_F(FolderFunctions, PathRelationsAreDecidedByIdentity) {
    std::filesystem::create_directories(TempPath("Proj/Sub"));
    std::filesystem::create_directories(TempPath("Other"));
    ASSERT_EQ(symlink(TempPath("Proj").c_str(), TempPath("Alias").c_str()), 0);
    ASSERT_EQ(symlink(TempPath("Other").c_str(), TempPath("Proj/Escape").c_str()), 0);
    const std::u16string proj = Path("Proj");
    struct Case {
        std::string path;
        PathRelation expected;
    };
    const Case cases[] = {
        {"Proj", PathRelation::kSame},
        {"PROJ/", PathRelation::kSame},
        {"Alias", PathRelation::kSame},
        {"Other/../Proj", PathRelation::kSame},
        {"Proj/Sub", PathRelation::kInside},
        {"Proj/Sub/New/Deeper", PathRelation::kInside},
        {"Alias/sub", PathRelation::kInside},
        {"Proj/Escape", PathRelation::kUnrelated},
        {"Proj/Escape/x", PathRelation::kUnrelated},
        {"Proj/../Other", PathRelation::kUnrelated},
        {"Other", PathRelation::kUnrelated},
        {"Proj/Missing/../..", PathRelation::kUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(RelatePaths(Path(c.path).c_str(), proj.c_str()), c.expected);
    }
    EXPECT_EQ(RelatePaths(Wide(TempDir()).c_str(), proj.c_str()), PathRelation::kContains);
    EXPECT_EQ(RelatePaths(u"/", proj.c_str()), PathRelation::kContains);
    EXPECT_EQ(RelatePaths(proj.c_str(), Path("Absent").c_str()), PathRelation::kUnknown);
    EXPECT_EQ(RelatePaths(nullptr, proj.c_str()), PathRelation::kUnknown);
}

}  // namespace
}  // namespace qzo::test::projects
