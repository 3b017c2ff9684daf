// Registration statuses and flags, data-identifier inheritance, the refusal of a live record's
// re-registration, the exact messages, and the working folder.
#include <cstring>
#include <stdexcept>

#include "registry_support.h"
#include "support/capture.h"

namespace qzo::test {
namespace {

DWORD ThrowingCtrl(DWORD code, DWORD) {
    if (code == QZRTC_CTRL_FLAG) throw std::runtime_error("control procedure failed");
    return 0;
}
DWORD FlaggingCtrl(DWORD code, DWORD) {
    return code == QZRTC_CTRL_FLAG ? 1 : 0;
}
DWORD DataIdCtrl(DWORD code, DWORD) {
    return code == QZRTC_CTRL_DATAID ? 0xDA7A : 0;
}

class RegistryStatus : public RegistryTest {};

TEST_F(RegistryStatus, RefusalsGiveTheirStatusAndStayOutOfTheDirectory) {
    auto base = NewRecord("CStatusBase", MakeGuid(0x57A70001), 40);
    auto child = NewRecord("CStatusChild", MakeGuid(0x57A70002), 80);
    // 2: the base is not registered yet.
    EXPECT_EQ(Register(child.get(), base.get(), 40), QZRTC_NOBASE);
    EXPECT_EQ(child->dwStatus, QZRTC_NOBASE);
    EXPECT_EQ(child->pBaseClass, base.get());
    ASSERT_EQ(Register(base.get()), 0u);
    // 6: the base's size differs from the expected one; 6: a wrong record size.
    EXPECT_EQ(Register(child.get(), base.get(), 44), QZRTC_BADSIZE);
    auto badSize = NewRecord("CStatusBadSize", MakeGuid(0x57A70003));
    badSize->cbSize = 912;
    EXPECT_EQ(Register(badSize.get()), QZRTC_BADSIZE);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&badSize->guid, GetHashID("CStatusBadSize")), nullptr);
    // 7: a throwing control procedure.
    auto throwing = NewRecord("CStatusThrows", MakeGuid(0x57A70004), 16, 0, &ThrowingCtrl);
    EXPECT_EQ(Register(throwing.get()), QZRTC_CTRLFAULT);
    EXPECT_EQ(throwing->CallClassCtrlProc(QZRTC_CTRL_FLAG, 0), 0u);
    // 11: persistent without a factory.
    auto noFactory = NewRecord("CStatusNoFactory", MakeGuid(0x57A70005), 16, QZRTC_PERSISTENT);
    EXPECT_EQ(Register(noFactory.get()), QZRTC_NOFACTORY);
    // 14: no instance (status stored) and an address that is no module (status untouched).
    auto noInstance = NewRecord("CStatusNoInstance", MakeGuid(0x57A70006));
    EXPECT_EQ(noInstance->RegisterClass(nullptr, nullptr, 0), QZRTC_NOINSTANCE);
    EXPECT_EQ(noInstance->dwStatus, QZRTC_NOINSTANCE);
    auto heapInstance = NewRecord("CStatusHeapInstance", MakeGuid(0x57A70007));
    int notAModule = 0;
    EXPECT_EQ(heapInstance->RegisterClass(&notAModule, nullptr, 0), QZRTC_NOINSTANCE);
    EXPECT_EQ(heapInstance->dwStatus, QZRTC_NEVER);
    // 4: another record with the same name and GUID.
    auto twin = NewRecord("CStatusBase", MakeGuid(0x57A70001), 40);
    EXPECT_EQ(Register(twin.get()), QZRTC_DUPLICATE);
    EXPECT_EQ(twin->dwStatus, QZRTC_DUPLICATE);
    ExpectDirectoryInvariants();
}

TEST_F(RegistryStatus, ReRegisteringALiveRecordChangesNothing) {
    auto base = NewRecord("CLiveBase", MakeGuid(0x11FE0001), 24, QZRTC_PERSISTENT, &FlaggingCtrl);
    base->pfnCreateObject = [] { return static_cast<CQZRTObject*>(nullptr); };
    ASSERT_EQ(Register(base.get()), 0u);
    auto child = NewRecord("CLiveChild", MakeGuid(0x11FE0002));
    ASSERT_EQ(Register(child.get(), base.get(), 24), 0u);
    base->dwFlags |= QZRTC_DIRECTLOAD;
    std::vector<BYTE> before(sizeof(CQZRuntimeClass));
    std::memcpy(before.data(), base.get(), before.size());
    const DWORD count = CQZRuntimeClass::GetClassCount();
    EXPECT_EQ(base->RegisterClass(TestModule(), nullptr, 0), QZRTC_DUPLICATE);
    EXPECT_EQ(std::memcmp(before.data(), base.get(), before.size()), 0);
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), count);
    // Its derived classes still register.
    auto late = NewRecord("CLiveLate", MakeGuid(0x11FE0003));
    EXPECT_EQ(Register(late.get(), base.get(), 24), 0u);
}

TEST_F(RegistryStatus, FlagsAndDataIdentifiers) {
    auto root =
        NewRecord("CFlagRoot", MakeGuid(0xF1A90001), 24,
                  QZRTC_PERSISTENT | QZRTC_NOTCREATABLE | 0x100 | QZRTC_HIDDEN | QZRTC_DIRECTLOAD,
                  &DataIdCtrl);
    root->pfnCreateObject = [] { return static_cast<CQZRTObject*>(nullptr); };
    ASSERT_EQ(Register(root.get()), 0u);
    // Declared bits kept, run-time bits set: outside a library image, first call pending.
    EXPECT_EQ(root->dwFlags,
              QZRTC_PERSISTENT | QZRTC_NOTCREATABLE | QZRTC_NOTLIBRARY | QZRTC_FIRSTCALL);
    EXPECT_EQ(root->dwDataID, 0xDA7Au);
    EXPECT_EQ(root->hInstance, TestModule());
    EXPECT_EQ(root->dwHashID, GetHashID("CFlagRoot"));
    EXPECT_EQ(root->szDisplayName[0], 0);
    EXPECT_NE(std::u16string(root->szDLLPath).find(u"qzo_registry_tests"), std::u16string::npos);

    // Persistent below a persistent base: kept, and inherits the data identifier.
    auto kept = NewRecord("CFlagKept", MakeGuid(0xF1A90002), 32, QZRTC_PERSISTENT, &FlaggingCtrl);
    kept->pfnCreateObject = root->pfnCreateObject;
    ASSERT_EQ(Register(kept.get(), root.get(), 24), 0u);
    EXPECT_EQ(kept->dwFlags & (QZRTC_PERSISTENT | QZRTC_CTRL3), QZRTC_PERSISTENT | QZRTC_CTRL3);
    EXPECT_EQ(kept->dwDataID, 0xDA7Au);
    // Persistent below a transient base: dropped, so no factory is needed.
    auto transient = NewRecord("CFlagTransient", MakeGuid(0xF1A90003), 8);
    ASSERT_EQ(Register(transient.get()), 0u);
    auto dropped = NewRecord("CFlagDropped", MakeGuid(0xF1A90004), 8, QZRTC_PERSISTENT);
    ASSERT_EQ(Register(dropped.get(), transient.get(), 8), 0u);
    EXPECT_EQ(dropped->dwFlags & QZRTC_PERSISTENT, 0u);
    EXPECT_EQ(dropped->dwDataID, 0u);
}

TEST_F(RegistryStatus, UnregistrationResults) {
    auto record = NewRecord("CUnregOnce", MakeGuid(0x0E000001));
    ASSERT_EQ(Register(record.get()), 0u);
    const DWORD count = CQZRuntimeClass::GetClassCount();
    EXPECT_EQ(record->UnRegisterClass(), 0u);
    EXPECT_EQ(record->dwStatus, QZRTC_UNREGISTERED);
    EXPECT_EQ(record->UnRegisterClass(), 0u);
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), count - 1);

    // 9: an identifier outside the directory, and a record missing from a non-empty chain.
    auto outside = NewRecord("CUnregOutside", MakeGuid(0x0E000002));
    outside->dwHashID = 0xFC00;
    outside->dwStatus = 0;
    EXPECT_EQ(outside->UnRegisterClass(), QZRTC_NOTFOUND);
    EXPECT_EQ(outside->dwStatus, 0u);
    auto present = NewRecord("CUnregPresent", MakeGuid(0x0E000003));
    ASSERT_EQ(Register(present.get()), 0u);
    auto missing = NewRecord("CUnregPresent", MakeGuid(0x0E000004));
    missing->dwHashID = present->dwHashID;
    missing->dwStatus = 0;
    EXPECT_EQ(missing->UnRegisterClass(), QZRTC_NOTFOUND);
    EXPECT_EQ(missing->dwStatus, 0u);
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), count);
}

TEST_F(RegistryStatus, MessagesAreExactAndOnlyWhileDebugIsOn) {
    auto base = NewRecord("CMsgBase", MakeGuid(0x3E550001), 40);
    ASSERT_EQ(Register(base.get()), 0u);
    auto child = NewRecord("CMsgChild", MakeGuid(0x3E550002));
    {
        DebugCapture capture;
        SetDebugMode(FALSE);
        EXPECT_EQ(Register(child.get(), base.get(), 41), QZRTC_BADSIZE);
        EXPECT_EQ(base->CheckRTClass(1, 0xFFFFFFFF), FALSE);
        EXPECT_EQ(capture.Count(), 0u);
    }
    DebugCapture capture;
    SetDebugMode(TRUE);
    EXPECT_EQ(Register(child.get(), base.get(), 41), QZRTC_BADSIZE);
    auto unknown = NewRecord("CMsgUnknown", MakeGuid(0x3E550003));
    unknown->dwHashID = 0xFC00;
    unknown->dwStatus = 0;
    EXPECT_EQ(unknown->UnRegisterClass(), QZRTC_NOTFOUND);
    EXPECT_TRUE(base->CheckRTClass(0xFFFFFFFF, 0xFFFFFFFF));
    EXPECT_TRUE(base->CheckRTClass(40, 1));
    EXPECT_FALSE(base->CheckRTClass(41, 2));
    EXPECT_FALSE(base->CheckRTClass(0xFFFFFFFF, 2));
    EXPECT_TRUE(base->CheckVTblVersion(1, child.get()));
    EXPECT_FALSE(base->CheckVTblVersion(3, child.get()));
    SetDebugMode(FALSE);
    EXPECT_EQ(capture.Text(3),
              "RegisterClass for CMsgChild returned 6\r\n"
              "UnRegisterClass for CMsgUnknown returned 9\r\n"
              "CQZRuntimeClass::CheckRTClass of class (CMsgBase): Expected size 41, found 40\r\n"
              "CQZRuntimeClass::CheckRTClass of class (CMsgBase): Expected VTbl version 2, found "
              "1\r\n"
              "CQZRuntimeClass::CheckVTblVersion of baseclass (CMsgBase:CMsgChild): Expected 3, "
              "found 1\r\n");
}

#if QZO_SIGNAL_GUARD
TEST_F(RegistryStatus, ChecksOnUnreadableRecordsFail) {
    auto* bad = reinterpret_cast<const CQZRuntimeClass*>(uintptr_t(0x10));
    DebugCapture capture;
    SetDebugMode(TRUE);
    EXPECT_FALSE(bad->CheckRTClass(1, 1));
    EXPECT_FALSE(bad->CheckVTblVersion(1, nullptr));
    SetDebugMode(FALSE);
    EXPECT_TRUE(capture.Contains("CQZRuntimeClass::CheckRTClass failed with access exception"));
    EXPECT_TRUE(capture.Contains("CQZRuntimeClass::CheckVTblVersion failed with access exception"));
}
#endif

TEST_F(RegistryStatus, WorkingFolderIsNormalisedAndNeverCut) {
    const std::u16string saved = CQZRuntimeClass::GetWorkingDir();
    EXPECT_TRUE(CQZRuntimeClass::SetWorkingDir(u"/tmp\\some/folder"));
    EXPECT_EQ(std::u16string(CQZRuntimeClass::GetWorkingDir()), u"/tmp/some/folder/");
    // 258 units plus the separator fit; 259 do not.
    std::u16string fits = u"/" + std::u16string(257, u'a');
    EXPECT_TRUE(CQZRuntimeClass::SetWorkingDir(fits.c_str()));
    EXPECT_EQ(std::u16string(CQZRuntimeClass::GetWorkingDir()), fits + u"/");
    std::u16string tooLong = u"/" + std::u16string(258, u'b');
    EXPECT_FALSE(CQZRuntimeClass::SetWorkingDir(tooLong.c_str()));
    EXPECT_FALSE(CQZRuntimeClass::SetWorkingDir((tooLong + u"b").c_str()));
    EXPECT_EQ(std::u16string(CQZRuntimeClass::GetWorkingDir()), fits + u"/");
    EXPECT_FALSE(CQZRuntimeClass::SetWorkingDir(nullptr));
    EXPECT_TRUE(CQZRuntimeClass::SetWorkingDir(saved.c_str()));
}

}  // namespace
}  // namespace qzo::test
