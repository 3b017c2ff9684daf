// The project directory and the operations on projects. The directory: one entry per folder,
// the files a registration writes, the project ID and format version, paths and ID file names
// that must link nothing, notification sequences against a fake link, the list file's exact
// bytes and damaged lists, lookups from many threads, the working project's "PRJ.IDS" (repaired
// only when missing or too short) and its new object files. The operations: copy, delete, purge
// and the recycle bin, where every refusal leaves the whole tree (content, modes, attribute
// words, times) exactly as it was and the operations that go ahead do what they say and no
// more; and the folder functions they rely on: copies share reading and writing with open
// handles and carry the attribute word and times, deletes refuse empty paths and roots, path
// containment is decided by identity (links, "..", case, missing tails).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/locator.h"
#include "qzobj/pathkit.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/path_relation.h"
#include "qzobj/platform/text.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/store/locator/locator_link.h"
#include "qzobj/suitelibs/uikit/dialogs.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/recording_archive.h"
#include "support/stopwatch.h"
#include "support/text.h"

namespace qzo::test::projects {
namespace {

namespace fs = std::filesystem;

// ---- helpers: a fixture that leaves the process-wide project directory empty, a recording
// link table, a notification recorder, and a full tree listing (with each entry's attribute
// word) to prove that refused operations touched nothing

// The stored attribute word of a path (0 when none); the link itself is not followed.
uint32_t StoredAttributes(const std::string& path) {
    unsigned char bytes[4] = {};
    ssize_t got = lgetxattr(path.c_str(), "user.qzo.attr", bytes, sizeof bytes);
    if (got <= 0) return 0;
    uint32_t word = 0;
    for (ssize_t i = 0; i < got; ++i) word |= uint32_t(bytes[i]) << (8 * i);
    return word;
}

// The last-write time of a file in units of 100 ns since 1970 (a file time's resolution); -1
// when it cannot be read.
long long WriteTime100ns(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_mtim.tv_sec * 10000000LL + st.st_mtim.tv_nsec / 100;
}

// Every entry below `root` (not following links): relative path, kind, size, permission bits,
// the stored attribute word, a digest of the content or the link's target, and the write time.
std::string TreeListing(const std::string& root) {
    std::vector<std::string> lines;
    std::error_code error;
    namespace fs = std::filesystem;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string path = it->path().string();
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        std::string line = path.substr(root.size()) + " ";
        char buffer[128];
        std::snprintf(buffer, sizeof buffer, "mode=%o attr=%08X mtime=%lld.%09ld ",
                      unsigned(st.st_mode), StoredAttributes(path), (long long)st.st_mtim.tv_sec,
                      st.st_mtim.tv_nsec);
        line += buffer;
        if (S_ISLNK(st.st_mode)) {
            line += "link->" + fs::read_symlink(path, error).string();
        } else if (S_ISREG(st.st_mode)) {
            line += "size=" + std::to_string(st.st_size) +
                    " digest=" + std::to_string(std::hash<std::string>{}(ReadFileBytes(path)));
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string listing;
    for (const auto& line : lines) listing += line + "\n";
    return listing;
}

// Calls made through the link table, as text ("SetDefProjectID(null,0000FC00)", ...).
class LinkRecorder {
  public:
    // Installs the recording table; the destructor restores the table found.
    LinkRecorder() {
        Clear();
        qzo::store::LocatorLink link;
        link.SetDefProjectID = [](CProjUniID* generator, DWORD id) {
            Record("SetDefProjectID(" + std::string(generator ? "gen" : "null") + "," + Hex8(id) +
                   ")");
            return setDefAnswer;
        };
        link.CheckCrashRebuild = [](const WCHAR* folder) {
            Record("CheckCrashRebuild(" + Narrow(folder ? folder : u"") + ")");
            return crashRebuildAnswer;
        };
        if (withPurge) {
            link.UntagProject = [](CProgressInfo*) { return Recorded("UntagProject"); };
            link.DeleteUntaggedProject = [](CProgressInfo*) {
                return Recorded("DeleteUntaggedProject");
            };
            link.PurgeProject = [] { return Recorded("PurgeProject"); };
        }
        if (withEnum)
            link.EnumProject = [](DWORD id, DWORD flags) {
                return Recorded("EnumProject(" + Hex8(id) + "," + std::to_string(flags) + ")");
            };
        previous_ = qzo::store::SetLocatorLink(link);
    }
    ~LinkRecorder() {
        qzo::store::SetLocatorLink(previous_);
        crashRebuildAnswer = PRJLOC_NO_PROJECT;
        setDefAnswer = TRUE;
        withPurge = withEnum = FALSE;
    }
    std::vector<std::string> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }
    static void Record(const std::string& call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
    }
    // Answers of the recording entries, and which optional entries it registers.
    static inline DWORD crashRebuildAnswer = PRJLOC_NO_PROJECT;
    static inline BOOL setDefAnswer = TRUE;
    static inline BOOL withPurge = FALSE;  // the three purge calls
    static inline BOOL withEnum = FALSE;   // EnumProject

  private:
    static BOOL Recorded(const std::string& call) {
        Record(call);
        return TRUE;
    }
    static inline std::mutex mutex_;
    static inline std::vector<std::string> calls_;
    qzo::store::LocatorLink previous_;
};

// Notifications received, as "code:id" in hexadecimal.
class NotifyRecorder {
  public:
    NotifyRecorder() {
        handle_ = PrjLocator::RegisterChangeNotify(&Callback, reinterpret_cast<uintptr_t>(this), 0);
    }
    ~NotifyRecorder() { PrjLocator::UnregisterChangeNotify(handle_); }
    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

  private:
    static int Callback(void*, uintptr_t code, uintptr_t& value1, uintptr_t&, uintptr_t id) {
        auto* self = reinterpret_cast<NotifyRecorder*>(value1);
        char event[32];
        std::snprintf(event, sizeof event, "%X:%08X", unsigned(code), unsigned(id));
        std::lock_guard lock(self->mutex_);
        self->events_.push_back(event);
        return 1;
    }
    DWORD handle_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

using ScopedDebug = qzo::test::ScopedDebugOutput;

class ProjectsTest : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        static int counter = 0;
        const char* base = std::getenv("TMPDIR");
        char name[64];
        std::snprintf(name, sizeof name, "/QZOPRJ-%X-%X", unsigned(getpid()), unsigned(++counter));
        root_ = std::string(base && *base ? base : "/tmp") + name;
        ASSERT_EQ(mkdir(root_.c_str(), 0777), 0) << root_;
        LeaveNoProject();
    }
    void TearDown() override {
        LeaveNoProject();
        if (!root_.empty()) RemoveTree(root_);
        QzoTest::TearDown();
    }

    // The test's own folder for projects. Stored project paths are upper case and resolve
    // without case; a root spelled in upper case resolves by its exact name and spares a scan
    // of a crowded temporary folder on every file call.
    const std::string& Root() const { return root_; }
    // A native path inside the root and its UTF-16 system form.
    std::string Native(const std::string& name) const { return root_ + "/" + name; }
    std::u16string System(const std::string& name) const { return Wide(Native(name)); }
    // Registers "<root>/<name>" (created) and returns its ID.
    DWORD NewProject(const std::string& name) {
        return PrjLocator::RegisterProject(System(name).c_str(), TRUE);
    }
    // The normalised path the directory stores for "<root>/<name>".
    std::u16string StoredPath(const std::string& name) const {
        std::string path = Native(name) + "/";
        for (char& c : path) c = qzo::text::FoldUpper(c);
        return Wide(path);
    }
    std::vector<DWORD> RegisteredIDs() const {
        std::vector<DWORD> ids;
        PrjLocator::EnumRegisteredProjects(
            [](const PRJLOCENTRY*, DWORD id, uintptr_t user) {
                reinterpret_cast<std::vector<DWORD>*>(user)->push_back(id);
                return 1;
            },
            reinterpret_cast<uintptr_t>(&ids));
        return ids;
    }

  private:
    // No working project and no registered one.
    void LeaveNoProject() {
        PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
        for (DWORD id : RegisteredIDs()) PrjLocator::UnregisterProject(id);
    }
    std::string root_;
};

class Directory : public ProjectsTest {};

const char kReadme[] =
    "***************************\r\nWARNING WARNING WARNING\r\n***************************\r\n\r\n"
    "This directory contains all the descriptive data of the project.\r\n"
    "For better access the data are split into various subdirectories and files.\r\n\r\n"
    "******************************************************\r\n"
    "DO NOT DIRECTLY EDIT OR CHANGE ANY OF IT'S CONTENTS!\r\n"
    "******************************************************\r\n\r\n"
    "If you need to create a backup of the project, simply backup\r\n"
    "the this directory and all it's subdirectories.\r\n\r\n\r\n\r\n\r\n";
const char kVersionIni[] = "[VersionInfo]\r\nVersion=00030000\r\n";

TEST_F(Directory, NewFolderGetsExactLayoutFiles) {
    const DWORD id = NewProject("Proj");
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    EXPECT_EQ(id, GetPathHash(StoredPath("Proj").c_str()));
    // The files keep the caller's spelling of the folder.
    const std::string folder = Native("Proj") + "/";
    ASSERT_EQ(sizeof kReadme - 1, 517u);
    EXPECT_EQ(ReadFileBytes(folder + "README.TXT"), std::string(kReadme, 517));
    EXPECT_EQ(ReadFileBytes(folder + "desktop.ini"),
              "[.ShellClassInfo]\r\nCLSID={5E2A7C10-3B4D-11D2-9F61-00A0C9E3B41A}\r\n");
    EXPECT_EQ(ReadFileBytes(folder + Hex8(id) + ".ProjectID"), "");
    EXPECT_EQ(ReadFileBytes(folder + "version.ini"), kVersionIni);
    EXPECT_EQ(PrjLocator::GetPrjVersion(id), PRJLOC_VERSION_CURRENT);
    // Nothing else: no lock or temporary files left behind.
    const std::string listing = TreeListing(Native("Proj"));
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 4) << listing;
    EXPECT_TRUE(StoredAttributes(folder + "desktop.ini") & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(PrjLocator::GetPrjPath(id), StoredPath("Proj"));
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjName(id)), u"PROJ/");
    // The folder's read-only attribute is a marker only: the mode bits stay writable.
    EXPECT_TRUE(StoredAttributes(Native("Proj")) & FILE_ATTRIBUTE_READONLY);
    struct stat st {};
    ASSERT_EQ(stat(Native("Proj").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IWUSR);
    WriteFileBytes(folder + "new.txt", "entries stay writable");
    EXPECT_EQ(ReadFileBytes(folder + "new.txt"), "entries stay writable");
}

TEST_F(Directory, LayoutFilesOfTheFolderAreKept) {
    ASSERT_EQ(mkdir(Native("Own").c_str(), 0777), 0);
    WriteFileBytes(Native("Own/README.TXT"), "our own notes");
    WriteFileBytes(Native("Own/desktop.ini"), "[x]\r\n");
    ASSERT_NE(NewProject("Own"), PRJLOC_NO_PROJECT);
    EXPECT_EQ(ReadFileBytes(Native("Own/README.TXT")), "our own notes");
    EXPECT_EQ(ReadFileBytes(Native("Own/desktop.ini")), "[x]\r\n");
    EXPECT_TRUE(StoredAttributes(Native("Own/desktop.ini")) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(StoredAttributes(Native("Own")) & FILE_ATTRIBUTE_READONLY);
}

TEST_F(Directory, RegisteringTwiceGivesOneEntry) {
    const DWORD id = NewProject("Proj");
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Proj").c_str(), FALSE), id);
    EXPECT_EQ(PrjLocator::RegisterProject(System("PROJ/").c_str(), FALSE), id);
    EXPECT_EQ(PrjLocator::RegisterProject(Wide(Native("proj") + "\\").c_str(), FALSE), id);
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{id});
    EXPECT_EQ(PrjLocator::FindProject(System("pRoJ").c_str()), id);
    // The same ID file reached by a link keeps the entry.
    ASSERT_EQ(symlink(Native("Proj").c_str(), Native("Alias").c_str()), 0);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Alias").c_str(), FALSE), id);
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjPath(id)), StoredPath("Proj"));
}

// Paths that must register nothing and touch nothing.
TEST_F(Directory, RegistrationRefusalsTouchNothing) {
    const std::string base = Root() + "/";
    const std::string long259 = base + std::string(259 - base.size(), 'a');
    auto folder = [&](const std::string& name) { fs::create_directories(Native(name)); };
    auto idFile = [&](const std::string& name) {
        folder("P" + name);
        WriteFileBytes(Native("P" + name + "/" + name + ".ProjectID"), "");
    };
    struct Row {
        const char* name;
        std::function<void()> prepare;
        std::string path;  // inside the root unless absolute
        BOOL create;
        bool laidOut = false;  // the layout files are written before the ID file is read
    };
    const std::vector<Row> rows = {
        {"missing folder", [] {}, "Absent", FALSE},
        {"missing parents", [] {}, "No/Parents", TRUE},
        // Stored paths are upper case: twins would lead into each other.
        {"twin folders", [&] { folder("Twin"), folder("TWIN"); }, "Twin", FALSE},
        {"twin parent", [&] { folder("Sub/Proj"), folder("SUB"); }, "Sub/Proj", FALSE},
        // With the trailing '/' the normalised path would need 260 characters.
        {"259 characters", [] {}, long259, TRUE},
        {"261 characters", [] {}, long259 + "bb", TRUE},
        {"invalid ID", [&] { idFile("FFFFFFFF"); }, "PFFFFFFFF", FALSE, true},
        {"no-project ID", [&] { idFile("0000FC00"); }, "P0000FC00", FALSE, true},
        {"no hex ID", [&] { idFile("XYZ"); }, "PXYZ", FALSE, true},
        {"nine digits", [&] { idFile("123456789"); }, "P123456789", FALSE, true},
        {"dotted ID", [&] { idFile("12.34"); }, "P12.34", FALSE, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.prepare();
        const std::string before = TreeListing(Root());
        const std::string path = row.path[0] == '/' ? row.path : Native(row.path);
        EXPECT_EQ(PrjLocator::RegisterProject(Wide(path).c_str(), row.create), PRJLOC_NO_PROJECT);
        if (!row.laidOut) {
            EXPECT_EQ(TreeListing(Root()), before);
        }
    }
    EXPECT_EQ(PrjLocator::RegisterProject(nullptr, TRUE), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(RegisteredIDs().empty());
}

TEST_F(Directory, TheIDComesFromTheIDFileOrTheCrashRebuild) {
    ASSERT_EQ(mkdir(Native("Moved").c_str(), 0777), 0);
    WriteFileBytes(Native("Moved/12.ProjectID"), "");
    WriteFileBytes(Native("Moved/A0000001.ProjectID"), "");  // sorted after "12...": ignored
    EXPECT_EQ(PrjLocator::RegisterProject(System("Moved").c_str(), FALSE), 0x12u);
    // A new folder takes the crash rebuild's answer.
    LinkRecorder::crashRebuildAnswer = 0x00450123;
    LinkRecorder link;
    EXPECT_EQ(NewProject("Rebuilt"), 0x00450123u);
    EXPECT_TRUE(FileExists(Native("Rebuilt/00450123.ProjectID")));
    ASSERT_EQ(link.Calls().size(), 1u);
    EXPECT_EQ(link.Calls()[0].rfind("CheckCrashRebuild(", 0), 0u);
}

TEST_F(Directory, RegistrationMessages) {
    ScopedDebug debug(true);
    DebugCapture capture;
    const DWORD id = NewProject("Said");
    EXPECT_TRUE(capture.Contains("\rRegistered project " + Narrow(StoredPath("Said")) +
                                 ", ID=" + Hex8(id) + "\r\n"))
        << capture.Text();
    // A folder where the ID file belongs: it is no "*.ProjectID" file, and no file can be made.
    ASSERT_EQ(mkdir(Native("Blocked").c_str(), 0777), 0);
    const DWORD hash = GetPathHash(StoredPath("Blocked").c_str());
    ASSERT_EQ(mkdir(Native("Blocked/" + Hex8(hash) + ".ProjectID").c_str(), 0777), 0);
    EXPECT_EQ(PrjLocator::RegisterProject(System("Blocked").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(capture.Contains("PRJLOC: Couldn't create project ID file at " + Native("Blocked") +
                                 "/\r\n"))
        << capture.Text();
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{id});
}

// The format version read from "version.ini": "%x" of at most eight characters; none is old.
TEST_F(Directory, FormatVersions) {
    const struct {
        const char* text;  // nullptr: no version.ini
        DWORD version;
    } rows[] = {
        {nullptr, PRJLOC_VERSION_OLD},
        {"zz", PRJLOC_VERSION_OLD},
        {"00040000", 0x40000},
        {"0x40000", 0x40000},
        {"0X30000", 0x30000},
        {"0x", PRJLOC_VERSION_OLD},
        {"0x00040000", 0x400},
        {"  0x2", 2},
        {"3000z", 0x3000},
        {"0", 0},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text ? row.text : "none");
        const std::string name = "V" + std::to_string(n++);
        ASSERT_EQ(mkdir(Native(name).c_str(), 0777), 0);
        if (row.text)
            WriteFileBytes(Native(name + "/version.ini"),
                           std::string("[VersionInfo]\r\nVersion=") + row.text + "\r\n");
        const DWORD id = PrjLocator::RegisterProject(System(name).c_str(), FALSE);
        ASSERT_NE(id, PRJLOC_NO_PROJECT);
        EXPECT_EQ(PrjLocator::GetPrjVersion(id), row.version);
    }
    // An old project is raised when it becomes working.
    const DWORD old = PrjLocator::FindProject(System("V0").c_str());
    EXPECT_FALSE(FileExists(Native("V0/version.ini"))) << "registering writes no version";
    ASSERT_TRUE(PrjLocator::SetWorkingProject(old));
    EXPECT_EQ(PrjLocator::GetDefPrjVersion(), PRJLOC_VERSION_CURRENT);
    EXPECT_EQ(ReadFileBytes(Native("V0/version.ini")), kVersionIni);
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

TEST_F(Directory, NewerVersionShowsTheRestriction) {
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

void CopyFolder(const std::string& from, const std::string& to) {
    fs::copy(from, to, fs::copy_options::recursive);
}

TEST_F(Directory, CopiedFolderTakesTheIDOfAnIdleProjectOnly) {
    const DWORD id = NewProject("Proj");
    CopyFolder(Native("Proj"), Native("Copy"));
    NotifyRecorder notes;
    EXPECT_EQ(PrjLocator::RegisterProject(System("Copy").c_str(), FALSE), id);
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjPath(id)), StoredPath("Copy"));
    EXPECT_EQ(notes.Events(), (std::vector<std::string>{"2:" + Hex8(id), "1:" + Hex8(id)}));
    // A copy of the working project is refused.
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    CopyFolder(Native("Copy"), Native("Second"));
    EXPECT_EQ(PrjLocator::RegisterProject(System("Second").c_str(), FALSE), PRJLOC_NO_PROJECT);
    EXPECT_EQ(std::u16string(PrjLocator::GetPrjPath(id)), StoredPath("Copy"));
}

TEST_F(Directory, SwitchingAndEndingTheWorkingProjectNotifyInOrder) {
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

    // Unregistering the working project ends it first; the retired entry stays readable.
    const WCHAR* path = PrjLocator::GetPrjPath(b);
    notes.Clear();
    EXPECT_TRUE(PrjLocator::UnregisterProject(b));
    EXPECT_EQ(notes.Events(),
              (std::vector<std::string>{"80000002:" + Hex8(b), "1:" + Hex8(b), "2:" + Hex8(b)}));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), PRJLOC_NO_PROJECT);
    EXPECT_EQ(PrjLocator::GetPrjPath(b), nullptr);
    EXPECT_EQ(std::u16string(path), StoredPath("B"));
    EXPECT_FALSE(PrjLocator::UnregisterProject(b));

    // A locator that refuses the project leaves no working project, and nothing is announced.
    LinkRecorder::setDefAnswer = FALSE;
    notes.Clear();
    EXPECT_FALSE(PrjLocator::SetWorkingProject(a));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), PRJLOC_NO_PROJECT);
    EXPECT_TRUE(notes.Events().empty());
    EXPECT_EQ(link.Calls().back(), "SetDefProjectID(null,0000FC00)");
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

TEST_F(Directory, WorkingProjectReachesTheLocatorOrTheDefaultLink) {
    const DWORD a = NewProject("A");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(a));
    EXPECT_EQ(Locator::GetDefProjectID(), a);
    ASSERT_NE(Locator::GetDefUIDGen(), nullptr);
    EXPECT_TRUE(Locator::GetDefUIDGen()->IsOpen());
    { PrjLocator user; }  // extra users leave the directory alone
    EXPECT_EQ(PrjLocator::GetDefPrjID(), a);
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{a});
    ASSERT_TRUE(PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT));
    EXPECT_EQ(Locator::GetDefProjectID(), PRJLOC_NO_PROJECT);
    EXPECT_EQ(Locator::GetDefUIDGen(), nullptr);

    // Without the locator's entries the project locator's default records the pair.
    const qzo::store::LocatorLink registered = qzo::store::SetLocatorLink({});
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

// ---- the list of registered projects

// The expected bytes of a list: the count, then each path padded with zeros to 520 bytes,
// bucket by bucket.
std::string ListBytes(std::vector<std::pair<DWORD, std::u16string>> projects) {
    std::sort(projects.begin(), projects.end(), [](const auto& x, const auto& y) {
        DWORD bx = x.first & 0xFFFF, by = y.first & 0xFFFF;
        return bx != by ? bx < by : (x.first >> 16) < (y.first >> 16);
    });
    std::string bytes = Le32(DWORD(projects.size()));
    for (const auto& project : projects) {
        std::string record(520, '\0');
        std::memcpy(record.data(), project.second.data(), project.second.size() * 2);
        bytes += record;
    }
    return bytes;
}

TEST_F(Directory, ListFileBytesAreExactAndLoadBack) {
    const std::string list = Native("list.bin");
    EXPECT_FALSE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str())) << "an empty list";
    EXPECT_EQ(ReadFileBytes(list), std::string(4, '\0'));
    const DWORD a = NewProject("A");
    const DWORD b = NewProject("Bee");
    const DWORD c = NewProject("Cee");
    ASSERT_TRUE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str()));
    EXPECT_EQ(ReadFileBytes(list),
              ListBytes({{a, StoredPath("A")}, {b, StoredPath("Bee")}, {c, StoredPath("Cee")}}));
    for (DWORD id : {a, b, c}) PrjLocator::UnregisterProject(id);
    ASSERT_TRUE(PrjLocator::LoadRegisteredProjects(Wide(list).c_str()));
    auto ids = RegisteredIDs();
    std::sort(ids.begin(), ids.end());
    std::vector<DWORD> expected{a, b, c};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ids, expected);

    // A failed save keeps the old list.
    WriteFileBytes(list, "old list");
    ASSERT_TRUE(qzo::platform::SetFileAttributes(Wide(list).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(PrjLocator::SaveRegisteredProjects(Wide(list).c_str()));
    EXPECT_EQ(ReadFileBytes(list), "old list");
    qzo::platform::SetFileAttributes(Wide(list).c_str(), 0);
}

TEST_F(Directory, DamagedListsLoadCleanly) {
    const DWORD a = NewProject("A");
    const std::string good = Native("good.bin");
    ASSERT_TRUE(PrjLocator::SaveRegisteredProjects(Wide(good).c_str()));
    PrjLocator::UnregisterProject(a);
    const std::string bytes = ReadFileBytes(good);
    std::string noTerminator = bytes;
    for (size_t i = 4; i < noTerminator.size(); i += 2) noTerminator[i] = 'A';
    std::string garbage = Le32(1) + std::string(518, '\x7F') + std::string(2, '\0');
    std::string server = ListBytes({{0, u"//NOSUCHSERVER7/share/proj/"}});
    const struct {
        const char* name;
        std::string content;
        BOOL loads;
    } rows[] = {
        {"empty", "", FALSE},
        {"short count", std::string("\x01\x00", 2), FALSE},
        {"short record", bytes.substr(0, 300), FALSE},
        {"count without records", std::string("\xFF\xFF\xFF\xFF", 4), FALSE},
        {"path without terminator", noTerminator, TRUE},
        {"garbage path", garbage, TRUE},
        {"unknown server", server, TRUE},
    };
    const std::string list = Native("damaged.bin");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFileBytes(list, row.content);
        EXPECT_EQ(PrjLocator::LoadRegisteredProjects(Wide(list).c_str()), row.loads);
        EXPECT_TRUE(RegisteredIDs().empty());
    }
    EXPECT_FALSE(PrjLocator::LoadRegisteredProjects(System("absent.bin").c_str()));
    EXPECT_FALSE(PrjLocator::LoadRegisteredProjects(nullptr));
    EXPECT_TRUE(PrjLocator::LoadRegisteredProjects(Wide(good).c_str()));
    EXPECT_EQ(RegisteredIDs(), std::vector<DWORD>{a});
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

int CountEntry(const PRJLOCENTRY* entry, DWORD, uintptr_t user) {
    if (entry->szPath[0] != u'/') return 0;
    ++*reinterpret_cast<int*>(user);
    return 1;
}

// Entries handed out stay readable while another thread unregisters and registers (run under
// the sanitizers to see it).
TEST_F(Directory, LookupsWhileRegisteringAndUnregistering) {
    const DWORD stable = NewProject("Stable");
    ASSERT_NE(stable, PRJLOC_NO_PROJECT);
    // Registered once so that the churn below needs no file writes.
    const DWORD churn = NewProject("Churn");
    ASSERT_NE(churn, PRJLOC_NO_PROJECT);
    const std::u16string churnPath = System("Churn");
    const std::u16string stablePath = StoredPath("Stable");
    const std::u16string churnStored = StoredPath("Churn");

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const WCHAR* path = PrjLocator::GetPrjPath(stable);
                if (!path || path != stablePath) ++failures;
                if (const WCHAR* churned = PrjLocator::GetPrjPath(churn)) {
                    if (churned != churnStored) ++failures;
                }
                if (const WCHAR* name = PrjLocator::GetPrjName(churn)) {
                    if (std::u16string(name) != u"CHURN/") ++failures;
                }
                DWORD found = PrjLocator::FindProject(churnPath.c_str());
                if (found != churn && found != PRJLOC_NO_PROJECT) ++failures;
                int count = 0;
                if (!PrjLocator::EnumRegisteredProjects(&CountEntry,
                                                        reinterpret_cast<uintptr_t>(&count)))
                    ++failures;
            }
        });
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(PrjLocator::UnregisterProject(churn));
        EXPECT_EQ(PrjLocator::RegisterProject(churnPath.c_str(), FALSE), churn);
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
}

// ---- the working project's "PRJ.IDS": never lowered, repaired above the highest object ID

TEST_F(Directory, WorkingProjectRepairsOnlyAMissingOrShortIDFile) {
    const DWORD id = NewProject("Proj");
    ASSERT_NE(id, PRJLOC_NO_PROJECT);
    // Makes "Proj" working with the given "PRJ.IDS" (none when `ids` is null), then idle again.
    auto check = [&](const std::string* ids, DWORD counter) {
        fs::remove(Native("Proj/PRJ.IDS"));
        if (ids) WriteFileBytes(Native("Proj/PRJ.IDS"), *ids);
        ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
        EXPECT_EQ(ReadFileBytes(Native("Proj/PRJ.IDS")), Le32(counter));
        ASSERT_TRUE(PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT));
    };
    const std::string shortFile = "\x01\x02";
    check(&shortFile, 1024);  // no objects: the floor
    for (const char* object : {"Obj/ABCD0001/00001234.qzo", "Obj/ABCD0002/0000A000.QZO",
                               "Recycle/OBJ/ABCD0003/0000B000.qzo"}) {
        fs::create_directories(fs::path(Native("Proj/" + std::string(object))).parent_path());
        WriteFileBytes(Native("Proj/" + std::string(object)), "");
    }
    check(nullptr, 0xB001);  // above the highest object file
    check(&shortFile, 0xB001);
    const std::string live = Le32(0x5000);
    check(&live, 0x5000);
    // A folder named like the ID file is no repair.
    fs::remove(Native("Proj/PRJ.IDS"));
    ASSERT_EQ(mkdir(Native("Proj/PRJ.IDS").c_str(), 0777), 0);
    EXPECT_FALSE(PrjLocator::SetWorkingProject(id));
}

TEST_F(Directory, APeerHoldingTheProjectOrTheCounterLeavesTheIDFileAlone) {
    const DWORD id = NewProject("Proj");
    const std::string ids = Native("Proj/PRJ.IDS");
    WriteFileBytes(ids, Le32(0x7777));
    Peer peer;
    ASSERT_TRUE(peer.Start());
    ASSERT_EQ(peer.Call("ids_open " + Native("Proj")), "1 0");
    ASSERT_EQ(peer.Call("ids_lockproject"), "0");
    EXPECT_FALSE(PrjLocator::SetWorkingProject(id));
    EXPECT_EQ(PrjLocator::GetDefPrjID(), PRJLOC_NO_PROJECT);
    EXPECT_EQ(ReadFileBytes(ids), Le32(0x7777));

    ASSERT_EQ(peer.Call("ids_close"), "OK");
    ASSERT_EQ(peer.Call("ids_hold_counter " + ids), "OK");
    const Stopwatch watch;
    EXPECT_FALSE(PrjLocator::SetWorkingProject(id));
    EXPECT_LT(watch.Ms(), 10000);
    EXPECT_EQ(ReadFileBytes(ids), Le32(0x7777));
}

// Object file names count with exactly eight hex digits and ".qzo" in any case, in a class
// folder (not deeper) or anywhere below "Recycle/"; the invalid ID never counts.
TEST_F(Directory, HighestObjectIDOfAProjectFolder) {
    const std::string root = Native("Scan") + "/";
    const struct {
        const char* file;
        DWORD highest;  // after adding it
    } rows[] = {
        {"Obj/ABCD0001/00001234.qzo", 0x1234},
        {"Obj/ABCD0001/00009999.qzo", 0x9999},
        {"Obj/ABCD0002/0000A000.QZO", 0xA000},
        {"Obj/ABCD0002/0000AF00.qzo", 0xAF00},
        {"Obj/ABCD0002/0000af01.qzo", 0xAF01},
        {"Obj/ABCD0002/FFFFFFFF.qzo", 0xAF01},
        {"Obj/ABCD0002/0000F000.tmp", 0xAF01},
        {"Obj/ABCD0002/0000F00G.qzo", 0xAF01},
        {"Obj/ABCD0002/0000f00g.qzo", 0xAF01},
        {"Obj/ABCD0002/0000F000.qzo5", 0xAF01},
        {"Obj/ABCD0002/0000F000.qzo.qzo", 0xAF01},
        {"Obj/ABCD0002/0000F000.qz", 0xAF01},
        {"Obj/ABCD0002/000F000.qzo", 0xAF01},
        {"Obj/ABCD0002/deep/0000F001.qzo", 0xAF01},
        {"Obj/0000F002.qzo", 0xAF01},
        {"Recycle/OBJ/ABCD0003/0000B000.qzo", 0xB000},
        {"Recycle/0000b001.Qzo", 0xB001},
    };
    EXPECT_EQ(qzo::store::ScanMaxExistingID(Wide(root).c_str()), 0u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        fs::create_directories(fs::path(root + row.file).parent_path());
        WriteFileBytes(root + row.file, "");
        EXPECT_EQ(qzo::store::ScanMaxExistingID(Wide(root).c_str()), row.highest);
    }
    EXPECT_EQ(qzo::store::ScanMaxExistingID(nullptr), 0xFFFFFFFFu);
}

// ---- object files of the working project

// The open flags of this process's descriptor of `path` (from /proc/self/fdinfo); -1 if none.
long OpenFlagsOf(const std::string& path) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) != path) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        for (std::string key, value; info >> key >> value;)
            if (key == "flags:") return std::stol(value, nullptr, 8);
    }
    return -1;
}

TEST_F(Directory, NewObjectFilesAreWrittenThroughAtWriteBackPriorityTwoOnly) {
    const DWORD id = NewProject("Proj");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    struct RestorePriority {  // for the tests after this one, whatever happens here
        unsigned saved = Locator::GetWritebackPriority();
        ~RestorePriority() { Locator::SetWritebackPriority(saved); }
    } restore;
    for (unsigned priority : {0u, 1u, 2u}) {
        SCOPED_TRACE(priority);
        ASSERT_TRUE(Locator::SetWritebackPriority(priority));
        Locator locator;
        CQZObject* object = locator.CreateObject(&classCQZObject, 0);
        ASSERT_NE(object, nullptr);
        const std::string path = Native("Proj/OBJ/" + Hex8(object->GetLocator().GetHashID()) + "/" +
                                        Hex8(object->GetLocator().GetObjID()) + ".QZO");
        const long flags = OpenFlagsOf(fs::canonical(path).string());
        ASSERT_NE(flags, -1) << "the new object keeps its file open";
        EXPECT_EQ((flags & O_DSYNC) != 0, priority == 2);
        object->DelObject();
    }
}

// Placing an object at a given ID removes the object that has it in a class folder: a folder
// of eight hex digits. A longer folder name or a plain file is no class folder, and nothing in
// them is opened or removed.
TEST_F(Directory, CreatingAtAnIDLooksOnlyIntoClassFolders) {
    const DWORD id = NewProject("Proj");
    ASSERT_TRUE(PrjLocator::SetWorkingProject(id));
    fs::create_directories(Native("Proj/OBJ/0ABCD0001"));
    WriteFileBytes(Native("Proj/OBJ/0ABCD0001/00000500.QZO"), "no object");
    WriteFileBytes(Native("Proj/OBJ/ABCD0002"), "no folder");
    ScopedDebug debug(true);
    DebugCapture capture;
    Locator locator;
    CQZObject* object = locator.CreateObjectAt(0x500, &classCQZObject, 0);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetLocator().GetObjID(), 0x500u);
    EXPECT_FALSE(capture.Contains("00000500")) << capture.Text();
    EXPECT_EQ(ReadFileBytes(Native("Proj/OBJ/0ABCD0001/00000500.QZO")), "no object");
    EXPECT_EQ(ReadFileBytes(Native("Proj/OBJ/ABCD0002")), "no folder");
    object->DelObject();
}

// ---- copy, delete, purge and the recycle bin

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
