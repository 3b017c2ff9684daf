// Fixture driver that registers a root class and a class derived from it, with display names
// from its string table. Its control procedure counts the calls it receives per code, and on
// request loads another library from inside a control call.
#include "fixture_classes.h"

using namespace qzo::fixture;

namespace {

DWORD g_calls[8] = {};
const WCHAR* g_loadOnInit = nullptr;

DWORD BaseCtrl(DWORD code, DWORD) {
    if (code < 8) ++g_calls[code];
    if (code == QZRTC_CTRL_INIT && g_loadOnInit)
        CQZRuntimeClass::LoadClassLibrary(g_loadOnInit, TRUE);
    return code == QZRTC_CTRL_DATAID ? 0x5151 : 0;
}

constinit CQZRuntimeClass classFixtureBase =
    MakeRecord("CFixtureDriverBase", kBaseGuid, kBaseObjSize, kBaseNameID, &BaseCtrl);
constinit CQZRuntimeClass classFixtureLeaf =
    MakeRecord("CFixtureDriverLeaf", kLeafGuid, 64, kLeafNameID, nullptr);

const QZOBJ_STRINGRES kStrings[] = {
    {kBaseNameID, u"Fixture driver base"},
    {kLeafNameID, u"Fixture driver leaf"},
};
const QZOBJ_DRIVERCLASS kClasses[] = {
    {&classFixtureBase, nullptr, 0},
    {&classFixtureLeaf, &classFixtureBase, kBaseObjSize},
};

}  // namespace

QZOBJ_DRIVER_ENTRY(kStrings, 2, kClasses, 2)

// Test hooks, looked up with dlsym.
extern "C" __attribute__((visibility("default"))) DWORD FixtureBaseCalls(DWORD code) {
    return code < 8 ? g_calls[code] : 0;
}
extern "C" __attribute__((visibility("default"))) void FixtureLoadOnInit(const WCHAR* path) {
    g_loadOnInit = path;
}
// The record, for derived drivers that link against this one.
extern "C" __attribute__((visibility("default"))) CQZRuntimeClass* FixtureBaseRecord() {
    return &classFixtureBase;
}
