// First control calls in registration order, shutdown calls in reverse, order numbers that never
// go back, kinship walks and the class dump.
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "qzobj/platform/text.h"
#include "registry_support.h"
#include "support/capture.h"

namespace qzo::test {
namespace {

// Calls received, as "name:code", from the control procedures below.
std::mutex g_callsMutex;
std::vector<std::string> g_calls;

template <char Tag>
DWORD RecordingCtrl(DWORD code, DWORD) {
    if (code == QZRTC_CTRL_INIT || code == QZRTC_CTRL_SHUTDOWN) {
        std::lock_guard lock(g_callsMutex);
        g_calls.push_back(std::string(1, Tag) + ":" + std::to_string(code));
    }
    return 0;
}

class RegistryOrder : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        g_calls.clear();
    }
};

TEST_F(RegistryOrder, FirstCallsForwardShutdownCallsBackward) {
    auto a = NewRecord("COrderA", MakeGuid(0x0D0E0001), 16, 0, &RecordingCtrl<'A'>);
    auto b = NewRecord("COrderB", MakeGuid(0x0D0E0002), 16, 0, &RecordingCtrl<'B'>);
    auto c = NewRecord("COrderC", MakeGuid(0x0D0E0003), 16, 0, &RecordingCtrl<'C'>);
    ASSERT_EQ(Register(a.get()), 0u);
    ASSERT_EQ(Register(b.get(), a.get(), 16), 0u);
    ASSERT_EQ(Register(c.get()), 0u);
    EXPECT_LT(a->dwOrder, b->dwOrder);
    EXPECT_LT(b->dwOrder, c->dwOrder);
    CQZRuntimeClass::SanitizeLoads();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"A:1", "B:1", "C:1"}));
    for (auto* record : {a.get(), b.get(), c.get()})
        EXPECT_EQ(record->dwFlags & QZRTC_FIRSTCALL, 0u);

    auto late = NewRecord("COrderLate", MakeGuid(0x0D0E0004), 16, 0, &RecordingCtrl<'L'>);
    ASSERT_EQ(Register(late.get()), 0u);
    EXPECT_NE(late->dwFlags & QZRTC_FIRSTCALL, 0u);
    g_calls.clear();
    CQZRuntimeClass::SanitizeLoads();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"L:1"}));

    g_calls.clear();
    DebugCapture capture;
    SetDebugMode(TRUE);
    CQZRuntimeClass::UnloadClassLibs();
    SetDebugMode(FALSE);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"L:2", "C:2", "B:2", "A:2"}));
    const std::string text = capture.Text(3);
    EXPECT_EQ(text.rfind("\rCQZRuntimeClass: Begin Shutdown\r\n", 0), 0u);
    const std::string lateLine = "\rShutdown [" +
                                 std::to_string(CQZRuntimeClass::GetClassCount() - 1) +
                                 "] COrderLate...\r\n";
    EXPECT_NE(text.find(lateLine), std::string::npos) << text;
    EXPECT_NE(text.find("\rCQZRuntimeClass: Shutdown complete\r\n"), std::string::npos);
    // Records of the program itself are never freed.
    EXPECT_EQ(a->dwStatus, 0u);
}

TEST_F(RegistryOrder, DerivedClassShutsDownBeforeItsBaseAfterUnregistrations) {
    auto a = NewRecord("CSeqA", MakeGuid(0x5E900001));
    auto x = NewRecord("CSeqX", MakeGuid(0x5E900002));
    auto b = NewRecord("CSeqB", MakeGuid(0x5E900003), 16, 0, &RecordingCtrl<'B'>);
    auto c = NewRecord("CSeqC", MakeGuid(0x5E900004), 16, 0, &RecordingCtrl<'C'>);
    ASSERT_EQ(Register(a.get()), 0u);
    ASSERT_EQ(Register(x.get()), 0u);
    ASSERT_EQ(Register(b.get()), 0u);
    ASSERT_EQ(a->UnRegisterClass(), 0u);
    ASSERT_EQ(x->UnRegisterClass(), 0u);
    ASSERT_EQ(Register(c.get(), b.get(), 16), 0u);
    EXPECT_GT(c->dwOrder, b->dwOrder);
    ExpectDirectoryInvariants();
    CQZRuntimeClass::SanitizeLoads();
    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_EQ(g_calls, (std::vector<std::string>{"B:1", "C:1", "C:2", "B:2"}));
}

TEST_F(RegistryOrder, KinshipWalks) {
    auto root = NewRecord("CKinRoot", MakeGuid(0x41E00001));
    auto mid = NewRecord("CKinMid", MakeGuid(0x41E00002));
    auto leaf = NewRecord("CKinLeaf", MakeGuid(0x41E00003));
    auto other = NewRecord("CKinOther", MakeGuid(0x41E00004));
    ASSERT_EQ(Register(root.get()), 0u);
    ASSERT_EQ(Register(mid.get(), root.get(), 16), 0u);
    ASSERT_EQ(Register(leaf.get(), mid.get(), 16), 0u);
    ASSERT_EQ(Register(other.get()), 0u);
    EXPECT_TRUE(leaf->IsKindOf(root.get()));
    EXPECT_TRUE(leaf->IsKindOf(leaf.get()));
    EXPECT_FALSE(root->IsKindOf(leaf.get()));
    EXPECT_FALSE(leaf->IsKindOf(nullptr));
    CQZRuntimeClass* family[] = {other.get(), mid.get(), root.get()};
    EXPECT_EQ(leaf->GetClassFamily(family, 3), 1u);
    EXPECT_EQ(other->GetClassFamily(family + 1, 2), 0xFFFFFFFFu);

    auto collect = [](CQZRuntimeClass* record, uintptr_t out) {
        reinterpret_cast<std::vector<CQZRuntimeClass*>*>(out)->push_back(record);
        return TRUE;
    };
    std::vector<CQZRuntimeClass*> kinds, children;
    EXPECT_FALSE(root->EnumKindClasses(collect, reinterpret_cast<uintptr_t>(&kinds)));
    EXPECT_FALSE(root->EnumChildClasses(collect, reinterpret_cast<uintptr_t>(&children)));
    std::sort(kinds.begin(), kinds.end());
    std::sort(children.begin(), children.end());
    std::vector<CQZRuntimeClass*> wantKinds{root.get(), mid.get(), leaf.get()};
    std::vector<CQZRuntimeClass*> wantChildren{mid.get(), leaf.get()};
    std::sort(wantKinds.begin(), wantKinds.end());
    std::sort(wantChildren.begin(), wantChildren.end());
    EXPECT_EQ(kinds, wantKinds);
    EXPECT_EQ(children, wantChildren);
    // A callback answering 0 stops the walk, which then reports TRUE.
    int visits = 0;
    EXPECT_TRUE(CQZRuntimeClass::EnumClasses(
        [](CQZRuntimeClass*, uintptr_t count) {
            ++*reinterpret_cast<int*>(count);
            return FALSE;
        },
        reinterpret_cast<uintptr_t>(&visits)));
    EXPECT_EQ(visits, 1);
}

TEST_F(RegistryOrder, DumpClassesPrintsFourLinesPerClass) {
    auto record =
        NewRecord("CDumped", GUID{0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 0xFE}});
    ASSERT_EQ(Register(record.get()), 0u);
    DebugCapture capture;
    SetDebugMode(TRUE);
    CQZRuntimeClass::DumpClasses();
    SetDebugMode(FALSE);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08X", record->dwHashID);
    const std::string expected =
        "\rClass CDumped []\r  DLL   : " + text::ToUtf8(record->szDLLPath) + "\r  HashID: " + hash +
        "\r  GUID  : 01234567-89AB-CDEF-01020304050607FE";
    EXPECT_NE(capture.Text(3).find(expected), std::string::npos) << capture.Text(3);
    DebugCapture quiet;
    CQZRuntimeClass::DumpClasses();
    EXPECT_EQ(quiet.Count(), 0u);
}

}  // namespace
}  // namespace qzo::test
