// Helpers of the persistent-object tests.
#include "objmodel/persistent/persistent_support.h"

#include <stdexcept>

#include "objmodel/registry/drivers/fixture_classes.h"
#include "qzobj/project_locator.h"
#include "qzobj/store.h"
#include "support/text.h"

namespace qzo::test::persistent {
namespace {

constexpr char kWordChunk[] = "LoadProbeWord";

CQZRuntimeClass MakeRecord() {
    const GUID guid = {
        0x71E0A3C5, 0x5B02, 0x11EF, {0x8C, 0x41, 0x00, 0x0C, 0x29, 0x5B, 0x40, 0x02}};
    CQZRuntimeClass record =
        fixture::MakeRecord("CLoadProbeObject", guid, sizeof(CLoadProbeObject), 0, nullptr);
    record.dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
    record.pfnCreateObject = &CLoadProbeObject::CreateObject;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}

}  // namespace

int NoticeLog::Record(void*, uintptr_t code, uintptr_t& value1, uintptr_t&, uintptr_t parameter) {
    auto* log = reinterpret_cast<NoticeLog*>(value1);
    std::lock_guard<std::mutex> hold(log->lock_);
    log->notices_.push_back({static_cast<DWORD>(code), parameter});
    return 1;
}

std::vector<DWORD> NoticeLog::Codes() const {
    std::vector<DWORD> codes;
    for (const Notice& notice : Notices()) codes.push_back(notice.code);
    return codes;
}

CQZObject* NewLooseObject() {
    return static_cast<CQZObject*>(CQZObject::CreateObject());
}

CQZRuntimeClass classCLoadProbeObject = MakeRecord();
std::atomic<bool> CLoadProbeObject::throwOnLoad{false};

CQZRTObject* CLoadProbeObject::CreateObject() {
    return new CLoadProbeObject;
}

BOOL CLoadProbeObject::StoreData(CQZArchive& archive) {
    if (!CQZObject::StoreData(archive)) return FALSE;
    return StoreMemory(archive, kWordChunk, &word, sizeof word);
}

BOOL CLoadProbeObject::LoadData(CQZArchive& archive) {
    if (!CQZObject::LoadData(archive)) return FALSE;
    if (throwOnLoad.load()) throw std::runtime_error("load refused by the test");
    return LoadMemory(archive, kWordChunk, &word, sizeof word);
}

bool RegisterLoadProbeClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        classCLoadProbeObject.RegisterClass(
            QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&classCLoadProbeObject)),
            &classCQZObject, sizeof(CQZObject));
    });
    return classCLoadProbeObject.dwStatus == QZRTC_REGISTERED;
}

void ProjectTest::SetUp() {
    QzoTest::SetUp();
    projectID_ = PrjLocator::RegisterProject(Wide(TempPath("proj")).c_str(), TRUE);
    ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
    ASSERT_TRUE(RegisterLoadProbeClass());
}

void ProjectTest::TearDown() {
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    PrjLocator::UnregisterProject(projectID_);
    QzoTest::TearDown();
}

}  // namespace qzo::test::persistent
