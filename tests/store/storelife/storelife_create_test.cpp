// StoreLifeCreate: creation's refusals and notices, creation at a given ID, temporary objects,
// and the class queries.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "qzobj/project_locator.h"
#include "qzobj/store/objfile/locfile_format.h"
#include "store/storelife/storelife_support.h"
#include "support/capture.h"

namespace qzo::test::storelife {
namespace {

namespace fs = std::filesystem;

using StoreLifeCreate = LifeTest;

struct CodeLog {
    std::mutex lock;
    std::vector<DWORD> codes;
    static int Record(void*, uintptr_t code, uintptr_t& value1, uintptr_t&, uintptr_t) {
        auto* log = reinterpret_cast<CodeLog*>(value1);
        std::lock_guard<std::mutex> hold(log->lock);
        log->codes.push_back(DWORD(code));
        return 1;
    }
};

size_t ObjectFiles(const std::string& folder) {
    size_t count = 0;
    if (!fs::exists(folder)) return 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().extension() == ".QZO") ++count;
    return count;
}

TEST_F(StoreLifeCreate, FailedCreationLeavesNoFile) {
    CPayloadObject::failAll = true;
    Locator creator;
    CQZObject* object = creator.CreateObject(&classCPayloadObject, 0);
    CPayloadObject::failAll = false;
    EXPECT_EQ(object, nullptr);
    EXPECT_FALSE(creator.IsValid());
    EXPECT_EQ(ObjectFiles(TempPath("proj/OBJ")), 0u);
}

TEST_F(StoreLifeCreate, NonTemporaryObjectNeedsAWorkingProject) {
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator creator;
    EXPECT_EQ(creator.CreateObject(&classCPayloadObject, 0), nullptr);
    EXPECT_NE(capture.Text().find("Locator::CreateObject: Attempt to create non-temporary object "
                                  "without default project"),
              std::string::npos);
    ObjectHolder temporary(creator.CreateObject(&classCPayloadObject, LOCATOR_CREATE_TEMPORARY));
    ASSERT_NE(temporary.object, nullptr);
    EXPECT_TRUE(temporary.object->GetLocator().QueryFlags() & LOCATOR_TEMPORARY);
    EXPECT_EQ(temporary.object->QueryAccess(), 0xE0000000u);
}

TEST_F(StoreLifeCreate, InvalidClassIsRefused) {
    ScopedDebugOutput debug(true);
    DebugCapture capture;
    Locator creator;
    EXPECT_EQ(creator.CreateObject(nullptr, 0), nullptr);
    EXPECT_EQ(creator.CreateObject(&classCQZRTObject, 0), nullptr);
    EXPECT_NE(capture.Text().find("Locator::CreateObject: Invalid class reference"),
              std::string::npos);
}

TEST_F(StoreLifeCreate, CreateAtAnExistingIDReplacesTheObject) {
    Locator first;
    ObjectHolder old(first.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(old.object, nullptr);
    static_cast<CPayloadObject*>(old.object)->payload = "old";
    ASSERT_TRUE(old.object->Commit(0));
    const DWORD id = first.GetObjID();
    old.Reset();

    Locator placed;
    EXPECT_EQ(placed.CreateObjectAt(0, &classCPayloadObject, 0), nullptr);
    ObjectHolder fresh(placed.CreateObjectAt(id, &classCPayloadObject, 0));
    ASSERT_NE(fresh.object, nullptr);
    EXPECT_EQ(placed.GetObjID(), id);
    EXPECT_EQ(fresh.object->QueryVersion(), 1u);
    fresh.Reset();
    EXPECT_EQ(RestoredPayload(placed.GetLocation()), "");
}

TEST_F(StoreLifeCreate, LocatorNoticesCreationCommitAndUnwinding) {
    CodeLog log;
    const DWORD handle =
        Locator::RegisterStateNotify(&CodeLog::Record, reinterpret_cast<uintptr_t>(&log), 0);
    {
        Locator creator;
        ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
        ASSERT_NE(held.object, nullptr);
        ASSERT_TRUE(held.object->Commit(0));
        ASSERT_TRUE(held.object->Commit(LOCATOR_COMMIT_SILENT));
        ASSERT_TRUE(held.object->UnwindObject(-1, TRUE));
    }
    Locator::UnregisterStateNotify(handle);
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.codes, (std::vector<DWORD>{LOCATOR_NOTIFY_CREATED, LOCATOR_NOTIFY_COMMITTED,
                                             LOCATOR_NOTIFY_UNWOUND}));
}

TEST_F(StoreLifeCreate, ClassQueriesReadTheClassReferenceAndTheRegistry) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    held.Reset();
    char name[32] = {};
    GUID guid{};
    WCHAR path[OBJHERITAGE_DLLPATH_BUFFER] = {};
    ASSERT_TRUE(creator.GetClassInfo(name, guid, path));
    EXPECT_STREQ(name, "CPayloadObject");
    EXPECT_TRUE(guid == classCPayloadObject.guid);

    CQZRuntimeClass* family[2] = {&classCQZRTObject, &classCQZObject};
    EXPECT_EQ(creator.GetClassFamily(family, 2), 0u);
    CQZRuntimeClass* exact[1] = {&classCPayloadObject};
    EXPECT_EQ(creator.GetClassFamily(exact, 1), 0u);
    EXPECT_EQ(creator.GetClassFamily(nullptr, 1), 0xFFFFFFFFu);
    Locator invalid;
    EXPECT_EQ(invalid.GetClassFamily(family, 2), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace qzo::test::storelife
