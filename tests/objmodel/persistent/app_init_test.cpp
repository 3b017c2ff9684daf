// Application start and end: counted initialisation, the tuning values read once and written
// once, the classes' first and last control calls, the init-callback slot, and what the library
// does at load and unload in a process of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "objmodel/persistent/persistent_support.h"
#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/platform/classes_root.h"
#include "support/peer.h"

namespace qzo::test::persistent {
namespace {

class AppInit : public QzoTest {
  protected:
    void TearDown() override {
        CQZObject::SetFreeWatchRange(0, 0, 0);
        DWORD zero = 0, none = 0;
        Locator::SetRWWatchRange(zero, none);
        QzoTest::TearDown();
    }
    std::string IniPath() const { return WinDir() + "/QZO.INI"; }
    std::string Ini() const { return ReadFileBytes(IniPath()); }
    void WriteIni(const std::string& bytes) {
        mkdir(WinDir().c_str(), 0700);
        WriteFileBytes(IniPath(), bytes);
    }
    static std::string Tuning(int min, int max, int trace, int rwMin, int rwMax) {
        return "[CQZObject]\r\nMinFreeWatch=" + std::to_string(min) +
               "\r\nMaxFreeWatch=" + std::to_string(max) +
               "\r\nTraceVirtual=" + std::to_string(trace) +
               "\r\n[Locator]\r\nMinFreeWatch=" + std::to_string(rwMin) +
               "\r\nMaxFreeWatch=" + std::to_string(rwMax) + "\r\n";
    }
};

std::vector<DWORD> g_controlCalls;

DWORD RecordControl(DWORD code, DWORD) {
    g_controlCalls.push_back(code);
    return 0;
}

CQZRuntimeClass MakeControlledRecord() {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = sizeof(CQZObject);
    std::strncpy(record.szClassName, "CInitProbe", sizeof(record.szClassName) - 1);
    record.guid = {0x71E0A3C6, 0x5B02, 0x11EF, {0x8C, 0x41, 0x00, 0x0C, 0x29, 0x5B, 0x40, 0x03}};
    record.pfnClassCtrlProc = &RecordControl;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}

TEST_F(AppInit, FirstInitialisationWritesTheMissingKeysWithZero) {
    QZOBJ_AppInitialize();
    EXPECT_EQ(Ini(), Tuning(0, 0, 0, 0, 0));
    QZOBJ_AppExit();
    EXPECT_EQ(Ini(), Tuning(0, 0, 0, 0, 0));
}

TEST_F(AppInit, ValuesAreReadOnceAndWrittenOnce) {
    WriteIni(Tuning(5, 9, 1, 3, 4));
    QZOBJ_AppInitialize();
    DWORD min = 0, max = 0, rwMin = 0, rwMax = 0;
    int trace = 0;
    CQZObject::GetFreeWatchRange(min, max, trace);
    Locator::GetRWWatchRange(rwMin, rwMax);
    EXPECT_EQ(min, 5u);
    EXPECT_EQ(max, 9u);
    EXPECT_EQ(trace, 1);
    EXPECT_EQ(rwMin, 3u);
    EXPECT_EQ(rwMax, 4u);

    WriteIni(Tuning(50, 90, 0, 30, 40));
    QZOBJ_AppInitialize();  // nested: nothing read
    CQZObject::GetFreeWatchRange(min, max, trace);
    EXPECT_EQ(min, 5u);
    EXPECT_EQ(max, 9u);

    CQZObject::SetFreeWatchRange(11, 12, 0);
    QZOBJ_AppExit();  // still initialised: nothing written
    EXPECT_EQ(Ini(), Tuning(50, 90, 0, 30, 40));
    QZOBJ_AppExit();
    EXPECT_EQ(Ini(), Tuning(11, 12, 0, 3, 4));

    WriteIni(Tuning(1, 2, 1, 1, 2));
    QZOBJ_AppExit();  // unbalanced: does nothing
    EXPECT_EQ(Ini(), Tuning(1, 2, 1, 1, 2));
}

TEST_F(AppInit, ClassesHearTheFirstAndLastControlCallsOnce) {
    CQZRuntimeClass record = MakeControlledRecord();
    g_controlCalls.clear();
    ASSERT_EQ(record.RegisterClass(QZOBJ_ModuleFromAddress(&classCQZObject), &classCQZObject,
                                   sizeof(CQZObject)),
              0u);
    g_controlCalls.clear();  // whatever registration itself asked
    QZOBJ_AppInitialize();
    QZOBJ_AppInitialize();
    EXPECT_EQ(g_controlCalls, (std::vector<DWORD>{QZRTC_CTRL_INIT}));
    QZOBJ_AppExit();
    EXPECT_EQ(g_controlCalls, (std::vector<DWORD>{QZRTC_CTRL_INIT}));
    QZOBJ_AppExit();
    EXPECT_EQ(g_controlCalls, (std::vector<DWORD>{QZRTC_CTRL_INIT, QZRTC_CTRL_SHUTDOWN}));
    EXPECT_EQ(record.UnRegisterClass(), 0u);
}

DWORD FirstCallback() {
    return 0x1234;
}
DWORD SecondCallback() {
    return 7;
}

TEST_F(AppInit, InitCallbackSlot) {
    EXPECT_EQ(QZOBJ_UnregisterInitCallback(nullptr), 1u);
    QZOBJ_INITCALLBACK previous = &SecondCallback;
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&FirstCallback, &previous));
    EXPECT_EQ(previous, nullptr);
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&SecondCallback, &previous));
    EXPECT_EQ(previous, &FirstCallback);
    // A non-null argument is called and the slot stays as it is.
    EXPECT_EQ(QZOBJ_UnregisterInitCallback(&FirstCallback), 0x1234u);
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&SecondCallback, &previous));
    EXPECT_EQ(previous, &SecondCallback);
    EXPECT_EQ(QZOBJ_UnregisterInitCallback(nullptr), 1u);
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(&FirstCallback, nullptr));
    EXPECT_TRUE(QZOBJ_RegisterInitCallback(nullptr, &previous));
    EXPECT_EQ(previous, &FirstCallback);
}

QZO_PEER_COMMAND(persistent_init_unbalanced) {
    SetDebugMode(TRUE);
    QZOBJ_AppInitialize();
    return "OK";
}

// A process of its own: its load registers the file types in its Windows directory, and its
// unload warns about an initialisation never matched by an exit.
TEST_F(AppInit, LoadRegistersFileTypesAndUnloadWarnsAboutUnbalancedInit) {
    mkdir(WinDir().c_str(), 0700);
    const std::string output = TempPath("debug.txt");
    Peer peer({{"QZO_WINDIR", WinDir()}, {"QZO_DEBUG_OUTPUT", output}});
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("persistent_init_unbalanced"), "OK");
    const PeerExit exit = peer.Wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);

    auto value = [](const char16_t* key) {
        std::u16string text;
        return qzo::platform::ClassesRootGetDefaultValue(key, text) ? text : u"<none>";
    };
    EXPECT_EQ(value(u".qzo"), u"zorb.ObjectFile");
    EXPECT_EQ(value(u"zorb.ObjectFile"), u"zorb. object file");
    EXPECT_EQ(value(u".qzs"), u"zorb.Shortcut");
    EXPECT_EQ(value(u"zorb.Shortcut"), u"zorb. shortcut");
    EXPECT_EQ(value(u"zorb.Shortcut\\shell\\open\\command"), u"notepad.exe %1");
    EXPECT_EQ(value(u".ids"), u"zorb.IDs");
    EXPECT_EQ(value(u"zorb.IDs"), u"zorb. ID file");
    EXPECT_FALSE(qzo::platform::ClassesRootKeyExists(u"zorb.ObjectFile\\DefaultIcon"));

    EXPECT_NE(ReadFileBytes(output).find("\rClasses were not unregistered, dwInitCnt = 1\r\n"),
              std::string::npos)
        << ReadFileBytes(output);
}

}  // namespace
}  // namespace qzo::test::persistent
