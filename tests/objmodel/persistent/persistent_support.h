// Helpers of the persistent-object tests: a recorder of state notifications, a reference holder
// that drops its reference with DelObject, a derived class whose loads can be made to throw, and
// a fixture with a working project for the cases that need object files.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "qzobj/persistent.h"
#include "support/fixture.h"

namespace qzo::test::persistent {

struct Notice {
    DWORD code;
    uintptr_t parameter;
    bool operator==(const Notice& other) const {
        return code == other.code && parameter == other.parameter;
    }
};

// Records every notice an object sends to the callback it registered. Thread-safe.
class NoticeLog {
  public:
    DWORD Attach(CQZObject& object) {
        return object.RegisterStateNotify(&Record, reinterpret_cast<uintptr_t>(this), 0);
    }
    std::vector<Notice> Notices() const {
        std::lock_guard<std::mutex> hold(lock_);
        return notices_;
    }
    std::vector<DWORD> Codes() const;
    void Clear() {
        std::lock_guard<std::mutex> hold(lock_);
        notices_.clear();
    }

  private:
    static int Record(void* object, uintptr_t code, uintptr_t& value1, uintptr_t& value2,
                      uintptr_t parameter);

    mutable std::mutex lock_;
    std::vector<Notice> notices_;
};

// Holds one reference and drops it with DelObject.
class ObjectRef {
  public:
    explicit ObjectRef(CQZObject* object = nullptr) : object_(object) {}
    ~ObjectRef() { Reset(); }
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    CQZObject* get() const { return object_; }
    CQZObject* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void Reset(CQZObject* object = nullptr) {
        if (object_) object_->DelObject();
        object_ = object;
    }

  private:
    CQZObject* object_;
};

// A new object made by the class's own factory, outside the object store.
CQZObject* NewLooseObject();

extern CQZRuntimeClass classCLoadProbeObject;

// A persistent class that stores one word of its own after the base's data; its LoadData throws
// while `throwOnLoad` is set.
class CLoadProbeObject : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override { return &classCLoadProbeObject; }
    BOOL StoreData(CQZArchive& archive) override;
    BOOL LoadData(CQZArchive& archive) override;
    static CQZRTObject* CreateObject();

    DWORD word = 0;
    static std::atomic<bool> throwOnLoad;
};

// Registers the class once per process; true when it is registered.
bool RegisterLoadProbeClass();

// A working project in the test's folder, ended and unregistered after the test.
class ProjectTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;
    DWORD projectID_ = 0;
};

}  // namespace qzo::test::persistent
