// The persistent test class of the object-store suites. After the base's data a version holds a
// chunk "StoreHead" (magic, tag, payload size, payload checksum) and a chunk "StorePayload"; the
// NT block carries a word of its own. LoadData refuses a head that does not check out, so a
// torn or mixed-up version never loads, and a test learns exactly which version it got from the
// tag. Switches make StoreData fail half-way or StoreNT write more than the NT block holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "qzobj/persistent.h"

namespace qzo::test::store {

extern CQZRuntimeClass classCStoreTestObject;

// Registers the class once per process (base classCQZObject); true when it is registered.
bool RegisterStoreTestClass();

inline constexpr const char* kHeadChunk = "StoreHead";
inline constexpr const char* kPayloadChunk = "StorePayload";
inline constexpr const char* kNTValueChunk = "StoreNTValue";
inline constexpr const char* kNTFillerChunk = "StoreNTFiller";
inline constexpr uint32_t kHeadMagic = 0x31565058u;  // the bytes "XPV1"
inline constexpr uint32_t kHeadSize = 16;
// A version of this class: the base's 20 bytes, the head chunk and the payload chunk's header.
inline constexpr uint32_t kVersionOverhead = 20 + 8 + kHeadSize + 8;
inline constexpr uint32_t VersionSize(uint32_t payloadSize) {
    return kVersionOverhead + payloadSize;
}
// Bytes StoreNT adds with the oversize switch on: more than the NT block holds.
inline constexpr uint32_t kOversizeFiller = 2400;

// The payload of size `size` that the tests derive from `tag`: every tag gives other bytes.
std::vector<uint8_t> PayloadFor(uint32_t tag, uint32_t size);
// FNV-1a over the payload, as the head stores it.
uint32_t PayloadChecksum(const std::vector<uint8_t>& payload);

// Thread safety: as CQZObject. The switches are process-wide and read at each store.
class CStoreTestObject : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override { return &classCStoreTestObject; }
    BOOL StoreData(CQZArchive& archive) override;
    BOOL LoadData(CQZArchive& archive) override;
    BOOL StoreNT(CQZArchive& archive) override;
    BOOL LoadNT(CQZArchive& archive) override;

    // The factory: a new object holds the preset content (creation stores it as version 1).
    static CQZRTObject* CreateObject();
    static void Preset(uint32_t tag, uint32_t size);

    void SetContent(uint32_t newTag, uint32_t size) {
        tag = newTag;
        payload = PayloadFor(newTag, size);
    }
    uint32_t Size() const { return uint32_t(payload.size()); }
    // The payload is the one its tag and size give.
    bool Intact() const { return payload == PayloadFor(tag, Size()); }

    uint32_t tag = 0;
    std::vector<uint8_t> payload;
    uint32_t ntValue = 0;

    // StoreData writes the base, the head and half the payload, then fails.
    static std::atomic<bool> failStoreData;
    // StoreNT adds a filler chunk of kOversizeFiller bytes.
    static std::atomic<bool> oversizeNT;
};

inline CStoreTestObject* AsTest(CQZObject* object) {
    return dynamic_cast<CStoreTestObject*>(object);
}

// Drops one reference of an object when it goes.
struct ObjectDropper {
    void operator()(CQZObject* object) const {
        if (object) object->DelObject();
    }
};
// A reference to an object of the test class (null when the object is of another class).
class ObjectRef : public std::unique_ptr<CQZObject, ObjectDropper> {
  public:
    ObjectRef() = default;
    explicit ObjectRef(CQZObject* object) : unique_ptr(object) {}
    CStoreTestObject* test() const { return AsTest(get()); }
};

}  // namespace qzo::test::store
