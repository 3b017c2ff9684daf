// Test classes derived from the run-time object base: one that counts its destructions, one
// that records FreeObject without freeing, and class records for them.
#pragma once

#include <atomic>

#include "qzobj/objmodel.h"

namespace qzo::test {

// A class record whose base is the root object, as registration would link it.
CQZRuntimeClass MakeTestRecord(const char* name, CQZRuntimeClass* base);

extern CQZRuntimeClass classCountedObject;
extern CQZRuntimeClass classUnrelatedObject;

class CountedObject : public CQZRTObject {
  public:
    CountedObject() = default;
    CountedObject(const CountedObject&) = default;
    CountedObject& operator=(const CountedObject&) = default;
    ~CountedObject() override { destroyed.fetch_add(1); }
    CQZRuntimeClass* GetRuntimeClass() const override { return &classCountedObject; }

    using CQZRTObject::ClearSignature;
    using CQZRTObject::IsValidSignature;

    static std::atomic<int> destroyed;
};

// FreeObject only counts, so the object (in storage the test owns) survives a count of 0.
class KeptObject : public CQZRTObject {
  public:
    void FreeObject() override { freed.fetch_add(1); }
    using CQZRTObject::ClearSignature;
    std::atomic<int> freed{0};
};

// Storage for an object the test constructs in place.
template <class T>
struct alignas(T) InPlace {
    unsigned char bytes[sizeof(T)];
    template <class... Args>
    T* Make(Args&&... args) {
        return new (static_cast<void*>(bytes)) T(static_cast<Args&&>(args)...);
    }
};

}  // namespace qzo::test
