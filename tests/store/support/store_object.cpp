// The persistent test class of the object-store suites and its class record.
#include "store/support/store_object.h"

#include <cstring>
#include <mutex>

#include "qzobj/store.h"

namespace qzo::test::store {
namespace {

constexpr DWORD kRead = 0x80000000u;
constexpr DWORD kWrite = 0x40000000u;
// A loaded payload may not claim more than this (damaged files name any size).
constexpr uint32_t kMaxPayload = 64u << 20;

std::atomic<uint32_t> g_presetTag{0};
std::atomic<uint32_t> g_presetSize{0};

CQZRuntimeClass MakeRecord() {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = sizeof(CStoreTestObject);
    std::strncpy(record.szClassName, "CStoreTestObject", sizeof(record.szClassName) - 1);
    record.guid = {0x5D0C7E11u, 0x4A21, 0x11EF, {0x9A, 0x10, 0x00, 0x0C, 0x29, 0x5B, 0x37, 0x01}};
    record.dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
    record.pfnCreateObject = &CStoreTestObject::CreateObject;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}

BOOL WriteChunk(CQZArchive& archive, const char* name, const void* data, DWORD size) {
    const unsigned layer = archive.Chnk_Open(name, kWrite);
    if (layer == 0xFFFFFFFFu) return FALSE;
    const DWORD written = size ? archive.Chnk_Write(data, size) : 0;
    const BOOL closed = archive.Chnk_Close(layer);
    return written == size && closed;
}

uint32_t Word(const uint8_t* from) {
    return uint32_t(from[0]) | uint32_t(from[1]) << 8 | uint32_t(from[2]) << 16 |
           uint32_t(from[3]) << 24;
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

uint32_t PayloadChecksum(const std::vector<uint8_t>& payload) {
    uint32_t hash = 2166136261u;
    for (uint8_t c : payload) hash = (hash ^ c) * 16777619u;
    return hash;
}

CQZRTObject* CStoreTestObject::CreateObject() {
    auto* object = new CStoreTestObject;
    object->SetContent(g_presetTag.load(), g_presetSize.load());
    return object;
}

void CStoreTestObject::Preset(uint32_t tag, uint32_t size) {
    g_presetTag = tag;
    g_presetSize = size;
}

BOOL CStoreTestObject::StoreData(CQZArchive& archive) {
    if (!CQZObject::StoreData(archive)) return FALSE;
    const uint32_t head[4] = {kHeadMagic, tag, Size(), PayloadChecksum(payload)};
    if (!WriteChunk(archive, kHeadChunk, head, kHeadSize)) return FALSE;
    if (failStoreData) {
        WriteChunk(archive, kPayloadChunk, payload.data(), DWORD(payload.size() / 2));
        return FALSE;
    }
    return WriteChunk(archive, kPayloadChunk, payload.data(), Size());
}

BOOL CStoreTestObject::LoadData(CQZArchive& archive) {
    if (!CQZObject::LoadData(archive)) return FALSE;
    uint8_t head[kHeadSize] = {};
    if (!LoadMemory(archive, kHeadChunk, head, kHeadSize)) return FALSE;
    const uint32_t size = Word(head + 8);
    if (Word(head) != kHeadMagic || size > kMaxPayload) return FALSE;
    std::vector<uint8_t> loaded(size);
    const unsigned layer = archive.Chnk_Open(kPayloadChunk, kRead);
    if (layer == 0xFFFFFFFFu) return FALSE;
    BOOL ok = archive.Chnk_GetSize(layer) == size &&
              (!size || archive.Chnk_Read(loaded.data(), size) == size);
    ok = archive.Chnk_Close(layer) && ok;
    if (!ok || PayloadChecksum(loaded) != Word(head + 12)) return FALSE;
    tag = Word(head + 4);
    payload = std::move(loaded);
    return TRUE;
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

}  // namespace qzo::test::store
