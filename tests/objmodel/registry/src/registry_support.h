// Shared helpers of the registry tests: records made on the heap, a fixture that unregisters
// what a test registered, and a check of the directory's chain invariants through the ordered
// class list.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qzobj/qzobj.h"
#include "support/fixture.h"

// Reaches the registry's private operations (declared a friend by the class).
struct CQZRuntimeClassProbe {
    static CQZRuntimeClass* FindClosestMatchPtr(const GUID* guid, WORD bucket, WORD key) {
        return CQZRuntimeClass::FindClosestMatchPtr(guid, bucket, key);
    }
    static void LoadFail_Add(const WCHAR* name) { CQZRuntimeClass::LoadFail_Add(name); }
    static BOOL LoadFail_Check(const WCHAR* name) { return CQZRuntimeClass::LoadFail_Check(name); }
};

namespace qzo::test {

// The test program's own module, as a registering module instance.
HINSTANCE TestModule();

GUID MakeGuid(DWORD data1, BYTE last = 0);

// A test record leaves the directory before its memory goes.
struct RecordDeleter {
    void operator()(CQZRuntimeClass* record) const;
};
using RecordPtr = std::unique_ptr<CQZRuntimeClass, RecordDeleter>;

RecordPtr NewRecord(const std::string& name, const GUID& guid, DWORD objSize = 16, DWORD flags = 0,
                    PFNQZCLASSCTRLPROC ctrl = nullptr);

// Checks every bucket: one chain per bucket holding exactly the bucket's records, sorted by
// (key, GUID bytes), and the count equal to the records. Records come from the ordered list.
void ExpectDirectoryInvariants();

class RegistryTest : public QzoTest {
  protected:
    // Registers with the test program's module.
    DWORD Register(CQZRuntimeClass* record, CQZRuntimeClass* base = nullptr, DWORD baseSize = 0);
};

}  // namespace qzo::test
