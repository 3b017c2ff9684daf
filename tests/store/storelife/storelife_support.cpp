// Helpers of the object life-cycle tests.
#include "store/storelife/storelife_support.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "qzobj/project_locator.h"
#include "qzobj/store.h"

namespace qzo::test::storelife {
namespace {

namespace fmt = qzo::store::object_file_format;

constexpr char kPayloadChunk[] = "Payload";
constexpr char kNTChunk[] = "PayloadNT";

CQZRuntimeClass MakeRecord() {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = sizeof(CPayloadObject);
    std::strncpy(record.szClassName, "CPayloadObject", sizeof(record.szClassName) - 1);
    record.guid = {0x2C64D1A7, 0x6E13, 0x11EF, {0x9A, 0x10, 0x00, 0x0C, 0x29, 0x5B, 0x40, 0x07}};
    record.dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
    record.pfnCreateObject = &CPayloadObject::CreateObject;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}

}  // namespace

CQZRuntimeClass classCPayloadObject = MakeRecord();
std::atomic<bool> CPayloadObject::failAll{false};
std::atomic<bool> CPayloadObject::failLoad{false};

CQZRTObject* CPayloadObject::CreateObject() {
    return new CPayloadObject;
}

BOOL CPayloadObject::StoreData(CQZArchive& archive) {
    if (failStore || failAll.load() || !CQZObject::StoreData(archive)) return FALSE;
    return StoreMemory(archive, kPayloadChunk, payload.data(), DWORD(payload.size()));
}

BOOL CPayloadObject::LoadData(CQZArchive& archive) {
    if (failLoad.load() || !CQZObject::LoadData(archive)) return FALSE;
    const unsigned layer = archive.Chnk_Open(kPayloadChunk, CHNK_READ);
    if (layer == 0xFFFFFFFFu) return FALSE;
    payload.assign(archive.Chnk_GetSize(layer), '\0');
    const DWORD got = archive.Chnk_Read(payload.data(), DWORD(payload.size()));
    archive.Chnk_Close(layer);
    return got == payload.size();
}

BOOL CPayloadObject::StoreNT(CQZArchive& archive) {
    if (!CQZObject::StoreNT(archive)) return FALSE;
    const std::string bytes(ntBytes, 'n');
    return StoreMemory(archive, kNTChunk, bytes.data(), DWORD(bytes.size()));
}

BOOL CPayloadObject::LoadNT(CQZArchive& archive) {
    return CQZObject::LoadNT(archive);
}

bool RegisterPayloadClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        classCPayloadObject.RegisterClass(
            QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&classCPayloadObject)),
            &classCQZObject, sizeof(CQZObject));
    });
    return classCPayloadObject.dwStatus == QZRTC_REGISTERED;
}

void LifeTest::SetUp() {
    QzoTest::SetUp();
    const std::string path = TempPath("proj");
    const std::u16string wide(path.begin(), path.end());
    projectID_ = PrjLocator::RegisterProject(wide.c_str(), TRUE);
    ASSERT_NE(projectID_, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(projectID_));
    ASSERT_TRUE(RegisterPayloadClass());
}

void LifeTest::TearDown() {
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    PrjLocator::UnregisterProject(projectID_);
    QzoTest::TearDown();
}

std::string LifeTest::ObjectFile(const Location& location) const {
    char name[64];
    std::snprintf(name, sizeof name, "proj/OBJ/%08X/%08X.QZO", location.dwHashID, location.dwObjID);
    return TempPath(name);
}

std::string LifeTest::FileBytes(const Location& location) const {
    return ReadFileBytes(ObjectFile(location));
}

fmt::HistoryIndex LifeTest::Index(const Location& location) const {
    const std::string bytes = FileBytes(location);
    fmt::IndexBytes raw{};
    if (bytes.size() >= fmt::kNTOffset)
        std::memcpy(raw, bytes.data() + fmt::kIndexOffset, fmt::kIndexSize);
    return fmt::DecodeIndex(raw);
}

std::string LifeTest::RestoredPayload(const Location& location, DWORD* result) const {
    Locator reader(location);
    DWORD code = 0;
    ObjectHolder held(reader.RestoreObject(LOCATOR_ACCESS_READ, 1000, 0, &code));
    if (result) *result = code;
    if (!held.object) return "<none>";
    return held.payload()->payload;
}

}  // namespace qzo::test::storelife
