// Shared helpers of the object-store suites.
#include "store/objects/store_test_support.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qzo::test::store {
namespace {

std::u16string Wide(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The entry of `folder` named `name` without regard to case, or `name` when none is.
std::string FindWithoutCase(const std::string& folder, const std::string& name) {
    if (Exists(folder + "/" + name)) return name;
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

::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    const size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i]) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "first difference at offset %zu: %02X, expected %02X (lengths %zu, %zu)",
                          i, actual[i], expected[i], actual.size(), expected.size());
            return ::testing::AssertionFailure() << text;
        }
    }
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "length " << actual.size() << ", expected " << expected.size();
    return ::testing::AssertionSuccess();
}

std::string ResolveNative(const std::string& root, const std::string& relative) {
    std::string path = root;
    size_t at = 0;
    while (at <= relative.size()) {
        const size_t slash = relative.find('/', at);
        const std::string part =
            relative.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (!part.empty()) path += "/" + FindWithoutCase(path, part);
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return path;
}

std::string ObjectRelativePath(const Location& location) {
    char name[64];
    std::snprintf(name, sizeof name, "OBJ/%08X/%08X.QZO", unsigned(location.dwHashID),
                  unsigned(location.dwObjID));
    return name;
}

ImageLocation ImageLocationOf(const Location& location) {
    ImageLocation image;
    image.hashID = location.dwHashID;
    image.objID = location.dwObjID;
    image.projID = location.dwProjID;
    image.dataID = location.dwDataID;
    image.flags = location.dwFlags;
    return image;
}

void StoreTest::SetUp() {
    QzoTest::SetUp();
    ASSERT_TRUE(RegisterStoreTestClass()) << "status " << classCStoreTestObject.dwStatus;
    // An upper-case root resolves by its exact name: the stored project path is upper case.
    static int counter = 0;
    const char* base = std::getenv("TMPDIR");
    char name[64];
    std::snprintf(name, sizeof name, "/QZOSTORE-%X-%X", unsigned(getpid()), unsigned(++counter));
    root_ = std::string(base && *base ? base : "/tmp") + name;
    ASSERT_EQ(mkdir(root_.c_str(), 0777), 0) << root_;
    // A mailslot port base of this test, so programs running side by side never share a box.
    const unsigned portBase = 1024 + (unsigned(getpid()) * 37u + unsigned(counter) * 211u) % 23000u;
    setenv("QZO_MAILSLOT_PORT", std::to_string(portBase).c_str(), 1);
    projectDir_ = root_ + "/PROJ";
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    projectID_ = PrjLocator::RegisterProject(Wide(projectDir_).c_str(), TRUE);
    ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
    ASSERT_EQ(Locator::GetDefProjectID(), projectID_);
    CStoreTestObject::failStoreData = false;
    CStoreTestObject::oversizeNT = false;
}

void StoreTest::TearDown() {
    Locator::SetWritebackPriority(0);
    CStoreTestObject::failStoreData = false;
    CStoreTestObject::oversizeNT = false;
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    if (projectID_ != PRJLOC_NO_PROJECT) PrjLocator::UnregisterProject(projectID_);
    if (!root_.empty()) RemoveTree(root_);
    QzoTest::TearDown();
}

std::string StoreTest::ObjectFile(const Location& location) const {
    return ResolveNative(projectDir_, ObjectRelativePath(location));
}

ObjectRef StoreTest::CreateTestObject(const std::vector<uint8_t>& payload, uint32_t ntValue) {
    // The factory's object is filled in by the first commit, which creation makes itself: the
    // payload goes in afterwards with a commit of its own when one is wanted.
    Locator locator;
    ObjectRef object(locator.CreateObject(&classCStoreTestObject, 0));
    auto* test = dynamic_cast<CStoreTestObject*>(object.get());
    if (!test) return object;
    if (!payload.empty() || ntValue) {
        test->payload = payload;
        test->ntValue = ntValue;
        EXPECT_TRUE(test->Commit(0));
    }
    return object;
}

Restored StoreTest::Restore(const Location& location, DWORD access, DWORD flags) {
    Restored restored;
    Locator locator(location);
    restored.object.reset(locator.RestoreObject(access, kWaitMs, flags, &restored.result));
    return restored;
}

}  // namespace qzo::test::store
