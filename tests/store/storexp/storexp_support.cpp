// Helpers of the cross-process object store tests.
#include "store/storexp/storexp_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "qzobj/project_locator.h"
#include "support/simulated_network.h"

namespace qzo::test::store {
namespace {

// Before the library caches the computer's name: this process is ALPHA.
const bool kComputerNamed = [] {
    setenv("QZO_COMPUTERNAME", "ALPHA", 0);
    return true;
}();

std::atomic<unsigned> g_testNumber{0};

std::string Hex8(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", unsigned(value));
    return text;
}

}  // namespace

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) out += unit < 0x80 ? char(unit) : '?';
    return out;
}

std::string LocationText(const Location& location) {
    WCHAR text[LOCATION_TEXT_CHARS] = {};
    if (!location.GetLocationAsString(text, LOCATION_TEXT_CHARS)) return "-";
    return Narrow(text);
}

void StoreXpTest::SetUp() {
    QzoTest::SetUp();
    ASSERT_TRUE(kComputerNamed);
    ASSERT_TRUE(RegisterPayloadClass());
    // A port base of this test: below the ephemeral range even with the 8,191 a box adds.
    const unsigned base = 1024 + (unsigned(getpid()) * 37u + g_testNumber++ * 211u) % 23000u;
    setenv("QZO_MAILSLOT_PORT", std::to_string(base).c_str(), 1);
    WriteHostsMap(TempPath("hosts"), {{"ALPHA", TestAddress(kAlphaHost)},
                                      {"BETA", TestAddress(kBetaHost)},
                                      {"GAMMA", TestAddress(kGammaHost)}});
    // An upper-case root: stored project paths are upper case and then resolve by their exact
    // names instead of a scan of a crowded temporary folder.
    static int counter = 0;
    const char* tmp = std::getenv("TMPDIR");
    char name[64];
    std::snprintf(name, sizeof name, "/QZOXP-%X-%X", unsigned(getpid()), unsigned(++counter));
    root_ = std::string(tmp && *tmp ? tmp : "/tmp") + name;
    ASSERT_EQ(mkdir(root_.c_str(), 0777), 0) << root_;
    project_ = root_ + "/PROJ/";
    projectID_ = PrjLocator::RegisterProject(Wide(project_).c_str(), TRUE);
    ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
}

void StoreXpTest::TearDown() {
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    if (projectID_ != 0 && projectID_ != PRJLOC_NO_PROJECT)
        PrjLocator::UnregisterProject(projectID_);
    if (!root_.empty()) RemoveTree(root_);
    QzoTest::TearDown();
}

ObjectRef StoreXpTest::Create(DWORD tag, DWORD size) {
    // CreateObject stores version 1 with an empty payload (tag 0); the wanted content follows
    // as version 2.
    Locator creator;
    ObjectRef object(AsPayload(creator.CreateObject(&PayloadClass(), 0)));
    if (!object) return nullptr;
    location_ = object->GetLocator().GetLocation();
    object->SetContent(tag, size);
    if (!object->Commit(0)) return nullptr;
    return object;
}

ObjectRef StoreXpTest::Restore(DWORD access, DWORD timeout, DWORD* result) {
    Locator locator(location_);
    return ObjectRef(AsPayload(locator.RestoreObject(access, timeout, 0, result)));
}

std::unique_ptr<Peer> StoreXpTest::StartPeer(const std::string& name) {
    const std::string windir = root_ + "/WIN-" + name;
    mkdir(windir.c_str(), 0777);
    auto peer = std::make_unique<Peer>(
        std::map<std::string, std::string>{{"QZO_COMPUTERNAME", name}, {"QZO_WINDIR", windir}});
    peer->SetTimeLimit(std::chrono::seconds(30));
    if (!peer->Start()) return nullptr;
    const std::string answer = peer->Call("project " + project_);
    if (answer != "OK") {
        ADD_FAILURE() << name << " could not open the project: " << answer;
        return nullptr;
    }
    return peer;
}

std::string StoreXpTest::ObjectFile() const {
    return project_ + "OBJ/" + Hex8(location_.dwHashID) + "/" + Hex8(location_.dwObjID) + ".QZO";
}

}  // namespace qzo::test::store
