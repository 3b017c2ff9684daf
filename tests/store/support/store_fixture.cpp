// The working-project fixture of the object-store suites.
#include "store/support/store_fixture.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "qzobj/objmodel.h"
#include "qzobj/pathkit.h"
#include "support/simulated_network.h"
#include "support/text.h"

namespace qzo::test::store {
namespace {

std::atomic<unsigned> g_testNumber{0};

// The entry of `folder` named `name` without regard to case, or `name` when none is.
std::string FindWithoutCase(const std::string& folder, const std::string& name) {
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) == 0) return name;
    std::string found = name;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (strcasecmp(entry->d_name, name.c_str()) == 0) {
                found = entry->d_name;
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

}  // namespace

std::string ResolveNative(const std::string& root, const std::string& relative) {
    std::string path = root;
    size_t at = 0;
    while (at <= relative.size()) {
        const size_t slash = relative.find('/', at);
        const std::string name =
            relative.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (!name.empty()) path += "/" + FindWithoutCase(path, name);
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return path;
}

std::string LocationText(const Location& location) {
    WCHAR text[LOCATION_TEXT_CHARS] = {};
    if (!location.GetLocationAsString(text, LOCATION_TEXT_CHARS)) return "-";
    return Narrow(text);
}

void StoreTest::SetUp() {
    QzoTest::SetUp();
    ASSERT_TRUE(kNamedAlpha);
    ASSERT_TRUE(RegisterStoreTestClass()) << "status " << classCStoreTestObject.dwStatus;
    CStoreTestObject::Preset(0, 0);
    // A port base of this test: below the ephemeral range even with the 8,191 a box adds.
    const unsigned number = g_testNumber++;
    const unsigned base = 1024 + (unsigned(getpid()) * 37u + number * 211u) % 23000u;
    setenv("QZO_MAILSLOT_PORT", std::to_string(base).c_str(), 1);
    WriteHostsMap(TempPath("hosts"), {{"ALPHA", TestAddress(kAlphaHost)},
                                      {"BETA", TestAddress(kBetaHost)},
                                      {"GAMMA", TestAddress(kGammaHost)}});
    // An upper-case root: stored project paths are upper case and then resolve by their exact
    // names instead of a scan of a crowded temporary folder.
    const char* tmp = std::getenv("TMPDIR");
    char name[64];
    std::snprintf(name, sizeof name, "/QZOSTORE-%X-%X", unsigned(getpid()), number);
    root_ = std::string(tmp && *tmp ? tmp : "/tmp") + name;
    ASSERT_EQ(mkdir(root_.c_str(), 0777), 0) << root_;
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    projectDir_ = root_ + "/PROJ";
    projectID_ = OtherProject("PROJ");
    ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
    ASSERT_EQ(Locator::GetDefProjectID(), projectID_);
}

void StoreTest::TearDown() {
    Locator::SetWritebackPriority(0);
    CStoreTestObject::failStoreData = false;
    CStoreTestObject::oversizeNT = false;
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    for (DWORD id : registered_) PrjLocator::UnregisterProject(id);
    if (!root_.empty()) RemoveTree(root_);
    QzoTest::TearDown();
}

DWORD StoreTest::OtherProject(const std::string& name) {
    const std::string folder = root_ + "/" + name;
    const DWORD id = PrjLocator::RegisterProject(Wide(folder).c_str(), TRUE);
    if (id != PRJLOC_NO_PROJECT) {
        registered_.push_back(id);
        folders_[id] = folder;
    }
    return id;
}

std::string StoreTest::ObjectFile(const Location& location) const {
    const auto found = folders_.find(location.dwProjID);
    char relative[64];
    std::snprintf(relative, sizeof relative, "OBJ/%08X/%08X.QZO", unsigned(location.dwHashID),
                  unsigned(location.dwObjID));
    return ResolveNative(found != folders_.end() ? found->second : projectDir_, relative);
}

ObjectRef StoreTest::Create(uint32_t tag, uint32_t size) {
    Locator creator;
    ObjectRef object(creator.CreateObject(&classCStoreTestObject, 0));
    if (!object.test() || (!tag && !size)) return object;
    object.test()->SetContent(tag, size);
    EXPECT_TRUE(object->Commit(0));
    return object;
}

Restored StoreTest::Restore(const Location& location, DWORD access, DWORD timeout) {
    Restored restored;
    Locator locator(location);
    restored.object.reset(locator.RestoreObject(access, timeout, 0, &restored.result));
    return restored;
}

Location StoreTest::MakeLocation(DWORD objID, DWORD projectID) const {
    Location location;
    location.dwHashID = kPlainHashID;
    location.dwObjID = objID;
    location.dwProjID = projectID ? projectID : projectID_;
    location.dwDataID = 0;
    location.dwFlags = 0;
    return location;
}

std::string StoreTest::WriteObject(const Location& location, bool damaged) {
    // Spelled as the library names the file, so that ObjectFile finds it by its exact name.
    const auto found = folders_.find(location.dwProjID);
    const std::string folder = found != folders_.end() ? found->second : projectDir_;
    const std::string path =
        folder + "/OBJ/" + Hex8(location.dwHashID) + "/" + Hex8(location.dwObjID) + ".QZO";
    EXPECT_TRUE(FU_CreatePath(Wide(path.substr(0, path.rfind('/') + 1)).c_str()));
    Bytes bytes = FileBytes(ImageLocationOf(location), {ClassOf(classCQZObject)},
                            OneVersionIndex(0, 20), RootNTBytes(), RootVersionBytes(1));
    if (damaged) Put32(bytes, 0, Get32(bytes, 0) ^ 0x01010101u);
    EXPECT_TRUE(WriteFile(path, bytes));
    return path;
}

std::unique_ptr<Peer> StoreTest::StartPeer(const std::string& name) {
    const std::string windir = root_ + "/WIN-" + name;
    mkdir(windir.c_str(), 0777);
    auto peer = std::make_unique<Peer>(
        std::map<std::string, std::string>{{"QZO_COMPUTERNAME", name}, {"QZO_WINDIR", windir}});
    peer->SetTimeLimit(std::chrono::seconds(30));
    if (!peer->Start()) return nullptr;
    const std::string answer = peer->Call("store_project " + projectDir_ + "/");
    if (answer != "OK") {
        ADD_FAILURE() << name << " could not open the project: " << answer;
        return nullptr;
    }
    return peer;
}

}  // namespace qzo::test::store
