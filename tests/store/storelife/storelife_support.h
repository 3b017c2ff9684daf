// Helpers of the object life-cycle tests: a persistent class with a payload of chosen size, an
// NT block of chosen size and a StoreData that can be made to fail, and a fixture with a working
// project in the test's folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "qzobj/persistent.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "support/fixture.h"

namespace qzo::test::storelife {

extern CQZRuntimeClass classCPayloadObject;

// Stores the base's data, then its payload as one chunk; its NT block carries `ntBytes` bytes.
class CPayloadObject : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override { return &classCPayloadObject; }
    BOOL StoreData(CQZArchive& archive) override;
    BOOL LoadData(CQZArchive& archive) override;
    BOOL StoreNT(CQZArchive& archive) override;
    BOOL LoadNT(CQZArchive& archive) override;
    static CQZRTObject* CreateObject();

    std::string payload;
    DWORD ntBytes = 0;
    bool failStore = false;
    // Makes every object's StoreData fail (creation included).
    static std::atomic<bool> failAll;
    // Makes every object's LoadData fail.
    static std::atomic<bool> failLoad;
};

bool RegisterPayloadClass();

// Drops its reference with DelObject.
struct ObjectHolder {
    CQZObject* object = nullptr;
    explicit ObjectHolder(CQZObject* held = nullptr) : object(held) {}
    ~ObjectHolder() { Reset(); }
    ObjectHolder(const ObjectHolder&) = delete;
    ObjectHolder& operator=(const ObjectHolder&) = delete;
    void Reset(CQZObject* held = nullptr) {
        if (object) object->DelObject();
        object = held;
    }
    CPayloadObject* payload() const { return static_cast<CPayloadObject*>(object); }
};

class LifeTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The object file of `location` (native path).
    std::string ObjectFile(const Location& location) const;
    std::string FileBytes(const Location& location) const;
    // The decoded index of the object's file.
    qzo::store::object_file_format::HistoryIndex Index(const Location& location) const;
    // A fresh restore of the object for reading; its payload, or "<none>".
    std::string RestoredPayload(const Location& location, DWORD* result = nullptr) const;

    DWORD projectID_ = 0;
};

}  // namespace qzo::test::storelife
