// Shared helpers of the object-store suites: a fixture with a working project of its own and the
// persistent test class registered, references to objects that drop themselves, restores
// through fresh locators, and the native path of an object's file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "store/objects/store_image.h"
#include "store/objects/store_test_object.h"
#include "support/fixture.h"

namespace qzo::test::store {

inline constexpr DWORD kRead = LOCATOR_ACCESS_READ;
inline constexpr DWORD kReadWrite = LOCATOR_ACCESS_RWE;
inline constexpr DWORD kWaitMs = 2000;

// Drops one reference of an object when it goes.
struct ObjectDropper {
    void operator()(CQZObject* object) const {
        if (object) object->DelObject();
    }
};
using ObjectRef = std::unique_ptr<CQZObject, ObjectDropper>;

// Equal byte strings, or the first difference and both lengths.
::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected);

// What restoring through a fresh locator gave.
struct Restored {
    ObjectRef object;
    DWORD result = 0xFFFFFFFFu;
    CStoreTestObject* test() const { return dynamic_cast<CStoreTestObject*>(object.get()); }
};

// A `path` on the disk whatever the case of its components: each component is found by exact
// name first, then without case (the library spells folders its own way).
std::string ResolveNative(const std::string& root, const std::string& relative);

// The relative path of an object's file inside its project, "OBJ/%08X/%08X.QZO".
std::string ObjectRelativePath(const Location& location);

ImageLocation ImageLocationOf(const Location& location);

// Every test: a project "<temp>/PROJ" registered and made the working project, and the test
// class registered. Debug output stays off.
class StoreTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    DWORD ProjectID() const { return projectID_; }
    const std::string& ProjectDir() const { return projectDir_; }
    // The native path of the object's file.
    std::string ObjectFile(const Location& location) const;

    // A new object of the test class in the working project, holding write access.
    ObjectRef CreateTestObject(const std::vector<uint8_t>& payload = {}, uint32_t ntValue = 0);
    // Restores through a locator made for this call.
    Restored Restore(const Location& location, DWORD access, DWORD flags = 0);

  private:
    std::string root_;
    std::string projectDir_;
    DWORD projectID_ = PRJLOC_NO_PROJECT;
};

}  // namespace qzo::test::store
