// A persistent test class for the object-store suites: after the base's data it stores a payload
// of any size as a chunk "StorePayload", and its NT block carries a word of its own. Switches
// make StoreData fail half-way or StoreNT write more than the NT block can hold.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "qzobj/persistent.h"

namespace qzo::test::store {

extern CQZRuntimeClass classCStoreTestObject;

// Registers the class once per process (base classCQZObject); TRUE when it is registered.
bool RegisterStoreTestClass();

// Chunk names of the class's own data.
inline constexpr const char* kPayloadChunk = "StorePayload";
inline constexpr const char* kNTValueChunk = "StoreNTValue";
inline constexpr const char* kNTFillerChunk = "StoreNTFiller";
// A version of this class is the base's 20 bytes, a chunk header and the payload.
inline constexpr uint32_t kVersionOverhead = 28;
// Bytes StoreNT adds with the oversize switch on: more than the NT block holds.
inline constexpr uint32_t kOversizeFiller = 2400;

// Thread safety: as CQZObject. The switches are process-wide and read at each store.
class CStoreTestObject : public CQZObject {
  public:
    CStoreTestObject() = default;
    CStoreTestObject(const CStoreTestObject&) = default;

    CQZRuntimeClass* GetRuntimeClass() const override { return &classCStoreTestObject; }
    BOOL StoreData(CQZArchive& archive) override;
    BOOL LoadData(CQZArchive& archive) override;
    BOOL StoreNT(CQZArchive& archive) override;
    BOOL LoadNT(CQZArchive& archive) override;

    static CQZRTObject* CreateObject();

    std::vector<uint8_t> payload;
    uint32_t ntValue = 0;

    // StoreData writes the base and half the payload, then fails.
    static std::atomic<bool> failStoreData;
    // StoreNT adds a filler chunk of kOversizeFiller bytes.
    static std::atomic<bool> oversizeNT;
};

// The payload of size `size` that the tests derive from `tag` (a small generator, so content is
// checked without keeping every version).
std::vector<uint8_t> PayloadFor(uint32_t tag, uint32_t size);

}  // namespace qzo::test::store
