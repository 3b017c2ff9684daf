// Helpers of the project locator tests.
#include "projects_support.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "qzobj/platform/text.h"

namespace qzo::test::projects {

uint32_t StoredAttributes(const std::string& path) {
    unsigned char bytes[4] = {};
    ssize_t got = lgetxattr(path.c_str(), "user.qzo.attr", bytes, sizeof bytes);
    if (got <= 0) return 0;
    uint32_t word = 0;
    for (ssize_t i = 0; i < got; ++i) word |= uint32_t(bytes[i]) << (8 * i);
    return word;
}

long long WriteTime100ns(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_mtim.tv_sec * 10000000LL + st.st_mtim.tv_nsec / 100;
}

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

// ---- link recorder

namespace {
std::mutex g_callsMutex;
std::vector<std::string> g_calls;

// Records a call that succeeds.
BOOL Recorded(const std::string& call) {
    LinkRecorder::Record(call);
    return TRUE;
}
}  // namespace

DWORD LinkRecorder::crashRebuildAnswer = PRJLOC_NO_PROJECT;
BOOL LinkRecorder::setDefAnswer = TRUE;
BOOL LinkRecorder::withPurge = FALSE;
BOOL LinkRecorder::withEnum = FALSE;

void LinkRecorder::Record(const std::string& call) {
    std::lock_guard lock(g_callsMutex);
    g_calls.push_back(call);
}

LinkRecorder::LinkRecorder() {
    Clear();
    qzo::store::LocatorLink link;
    link.SetDefProjectID = [](CProjUniID* generator, DWORD id) {
        Record("SetDefProjectID(" + std::string(generator ? "gen" : "null") + "," + Hex8(id) + ")");
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

LinkRecorder::~LinkRecorder() {
    qzo::store::SetLocatorLink(previous_);
    crashRebuildAnswer = PRJLOC_NO_PROJECT;
    setDefAnswer = TRUE;
    withPurge = FALSE;
    withEnum = FALSE;
}

std::vector<std::string> LinkRecorder::Calls() const {
    std::lock_guard lock(g_callsMutex);
    return g_calls;
}

void LinkRecorder::Clear() {
    std::lock_guard lock(g_callsMutex);
    g_calls.clear();
}

// ---- notification recorder

NotifyRecorder::NotifyRecorder() {
    handle_ = PrjLocator::RegisterChangeNotify(&Callback, reinterpret_cast<uintptr_t>(this), 0);
}

NotifyRecorder::~NotifyRecorder() {
    PrjLocator::UnregisterChangeNotify(handle_);
}

int NotifyRecorder::Callback(void*, uintptr_t code, uintptr_t& value1, uintptr_t&, uintptr_t id) {
    auto* self = reinterpret_cast<NotifyRecorder*>(value1);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%X:%08X", unsigned(code), unsigned(id));
    std::lock_guard lock(self->mutex_);
    self->events_.push_back(buffer);
    return 1;
}

std::vector<std::string> NotifyRecorder::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void NotifyRecorder::Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

// ---- fixture

namespace {
int CollectID(const PRJLOCENTRY*, DWORD id, uintptr_t user) {
    reinterpret_cast<std::vector<DWORD>*>(user)->push_back(id);
    return 1;
}
}  // namespace

std::vector<DWORD> ProjectsTest::RegisteredIDs() const {
    std::vector<DWORD> ids;
    PrjLocator::EnumRegisteredProjects(&CollectID, reinterpret_cast<uintptr_t>(&ids));
    return ids;
}

void ProjectsTest::SetUp() {
    QzoTest::SetUp();
    static int counter = 0;
    const char* base = std::getenv("TMPDIR");
    char name[64];
    std::snprintf(name, sizeof name, "/QZOPRJ-%X-%X", unsigned(getpid()), unsigned(++counter));
    root_ = std::string(base && *base ? base : "/tmp") + name;
    ASSERT_EQ(mkdir(root_.c_str(), 0777), 0) << root_;
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    for (DWORD id : RegisteredIDs()) PrjLocator::UnregisterProject(id);
}

void ProjectsTest::TearDown() {
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    for (DWORD id : RegisteredIDs()) PrjLocator::UnregisterProject(id);
    if (!root_.empty()) RemoveTree(root_);
    QzoTest::TearDown();
}

DWORD ProjectsTest::NewProject(const std::string& name) {
    return PrjLocator::RegisterProject(System(name).c_str(), TRUE);
}

std::u16string ProjectsTest::StoredPath(const std::string& name) const {
    std::string path = Native(name) + "/";
    for (char& c : path) c = qzo::text::FoldUpper(c);
    return Wide(path);
}

}  // namespace qzo::test::projects
