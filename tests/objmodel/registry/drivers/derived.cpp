// Fixture driver whose class derives from the registering fixture's base class; it links
// against that library, which the loader therefore brings in as a dependency.
#include "fixture_classes.h"

using namespace qzo::fixture;

extern "C" CQZRuntimeClass* FixtureBaseRecord();

namespace {

constinit CQZRuntimeClass classFixtureDerived =
    MakeRecord("CFixtureDriverDerived", kDerivedGuid, 96, kDerivedNameID, nullptr);

const QZOBJ_STRINGRES kStrings[] = {{kDerivedNameID, u"Fixture driver derived"}};
QZOBJ_DRIVERCLASS g_classes[] = {{&classFixtureDerived, nullptr, kBaseObjSize}};

// The base record lives in the other library; its address is known only at load.
__attribute__((constructor(101))) void BindBase() {
    g_classes[0].pBaseClass = FixtureBaseRecord();
}

}  // namespace

QZOBJ_DRIVER_ENTRY(kStrings, 1, g_classes, 1)
