// The persistent test class of the object-store suites and its class record.
#include "store/objects/store_test_object.h"

#include <cstring>
#include <mutex>

#include "qzobj/store.h"

namespace qzo::test::store {
namespace {

constexpr DWORD kRead = 0x80000000u;
constexpr DWORD kWrite = 0x40000000u;
// A loaded payload may not claim more than this (damaged files name any size).
constexpr DWORD kMaxPayload = 64u << 20;

CQZRuntimeClass MakeRecord() {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = sizeof(CStoreTestObject);
    std::strncpy(record.szClassName, "CStoreTestObject", sizeof(record.szClassName) - 1);
    record.guid.Data1 = 0x5D0C7E11u;
    record.guid.Data2 = 0x4A21;
    record.guid.Data3 = 0x11EF;
    const uint8_t tail[8] = {0x9A, 0x10, 0x00, 0x0C, 0x29, 0x5B, 0x37, 0x01};
    std::memcpy(record.guid.Data4, tail, 8);
    record.dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
    record.pfnCreateObject = &CStoreTestObject::CreateObject;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}

BOOL WriteChunk(CQZArchive& archive, const char* name, const uint8_t* data, DWORD size) {
    const unsigned layer = archive.Chnk_Open(name, kWrite);
    if (layer == 0xFFFFFFFFu) return FALSE;
    const DWORD written = size ? archive.Chnk_Write(data, size) : 0;
    const BOOL closed = archive.Chnk_Close(layer);
    return written == size && closed;
}

}  // namespace

CQZRuntimeClass classCStoreTestObject = MakeRecord();

std::atomic<bool> CStoreTestObject::failStoreData{false};
std::atomic<bool> CStoreTestObject::oversizeNT{false};

bool RegisterStoreTestClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        classCStoreTestObject.RegisterClass(
            QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&classCStoreTestObject)),
            &classCQZObject, sizeof(CQZObject));
    });
    return classCStoreTestObject.dwStatus == QZRTC_REGISTERED;
}

CQZRTObject* CStoreTestObject::CreateObject() {
    return new CStoreTestObject;
}

BOOL CStoreTestObject::StoreData(CQZArchive& archive) {
    if (!CQZObject::StoreData(archive)) return FALSE;
    if (failStoreData) {
        WriteChunk(archive, kPayloadChunk, payload.data(), DWORD(payload.size() / 2));
        return FALSE;
    }
    return WriteChunk(archive, kPayloadChunk, payload.data(), DWORD(payload.size()));
}

BOOL CStoreTestObject::LoadData(CQZArchive& archive) {
    if (!CQZObject::LoadData(archive)) return FALSE;
    const unsigned layer = archive.Chnk_Open(kPayloadChunk, kRead);
    if (layer == 0xFFFFFFFFu) return FALSE;
    const DWORD size = archive.Chnk_GetSize(layer);
    BOOL ok = size <= kMaxPayload;
    if (ok) {
        payload.assign(size, 0);
        ok = !size || archive.Chnk_Read(payload.data(), size) == size;
    }
    return archive.Chnk_Close(layer) && ok;
}

BOOL CStoreTestObject::StoreNT(CQZArchive& archive) {
    if (!CQZObject::StoreNT(archive)) return FALSE;
    if (!StoreMemory(archive, kNTValueChunk, &ntValue, sizeof ntValue)) return FALSE;
    if (oversizeNT) {
        const std::vector<uint8_t> filler(kOversizeFiller, 0x5A);
        return WriteChunk(archive, kNTFillerChunk, filler.data(), DWORD(filler.size()));
    }
    return TRUE;
}

BOOL CStoreTestObject::LoadNT(CQZArchive& archive) {
    if (!CQZObject::LoadNT(archive)) return FALSE;
    return LoadMemory(archive, kNTValueChunk, &ntValue, sizeof ntValue);
}

std::vector<uint8_t> PayloadFor(uint32_t tag, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = tag * 2654435761u + 0x9E3779B9u;
    for (uint32_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = uint8_t(state >> 24);
    }
    return bytes;
}

}  // namespace qzo::test::store
