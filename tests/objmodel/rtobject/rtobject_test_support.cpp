// Definitions of the test classes' records and counters.
#include "objmodel/rtobject/rtobject_test_support.h"

#include <cstring>

namespace qzo::test {

CQZRuntimeClass MakeTestRecord(const char* name, CQZRuntimeClass* base) {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = sizeof(CountedObject);
    std::strncpy(record.szClassName, name, sizeof(record.szClassName) - 1);
    record.pBaseClass = base;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = 1;
    return record;
}

CQZRuntimeClass classCountedObject = MakeTestRecord("CountedObject", &classCQZRTObject);
CQZRuntimeClass classUnrelatedObject = MakeTestRecord("UnrelatedObject", nullptr);

std::atomic<int> CountedObject::destroyed{0};

}  // namespace qzo::test
