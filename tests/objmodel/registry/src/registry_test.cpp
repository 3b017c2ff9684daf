// The class registry: the directory's sorted chains, lookups by GUID and hash identifier, the full
// scan for identifiers outside the directory, hidden records and IsUnique; registration statuses
// and flags, data-identifier inheritance, the refusal of a live record's re-registration, the
// exact messages and the working folder; first control calls in registration order, shutdown
// calls in reverse, order numbers that never go back, kinship walks and the class dump; and
// registration from many threads at once with lock-free lookups while classes come and go.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "qzobj/platform/text.h"
#include "registry_support.h"
#include "support/capture.h"
#include "support/text.h"

namespace qzo::test {
namespace {

// Names that all land in one bucket, found by brute force.
std::vector<std::string> NamesInOneBucket(size_t wanted) {
    std::vector<std::string> names;
    const DWORD bucket = GetHashID("CDirProbe0") & 0xFFFF;
    names.push_back("CDirProbe0");
    for (int i = 1; names.size() < wanted && i < 1000000; ++i) {
        std::string name = "CDirProbe" + std::to_string(i);
        if ((GetHashID(name.c_str()) & 0xFFFF) == bucket) names.push_back(name);
    }
    return names;
}

TEST_F(RegistryTest, CollidingNamesKeepSortedChainsAndAreFound) {
    std::vector<std::string> names = NamesInOneBucket(6);
    ASSERT_EQ(names.size(), 6u);
    // One name with several GUIDs whose byte order differs from Data1's (Data1 is stored
    // little-endian): 0x00000100 sorts before 0x00000001 byte-wise.
    std::vector<RecordPtr> records;
    for (size_t i = 0; i < names.size(); ++i)
        records.push_back(NewRecord(names[i], MakeGuid(0xD1000000 + DWORD(i))));
    for (DWORD data1 : {0x00000001u, 0x00000100u, 0x00010000u})
        records.push_back(NewRecord(names[2], MakeGuid(data1, 0x42)));
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (size_t i : order) {
        ASSERT_EQ(Register(records[i].get()), 0u) << records[i]->szClassName;
        ExpectDirectoryInvariants();
    }
    for (auto& record : records)
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&record->guid, record->dwHashID), record.get());
    // The three GUIDs of one name sort byte-wise in their chain.
    CQZRuntimeClass* first = records[records.size() - 3].get();   // Data1 = 1
    CQZRuntimeClass* second = records[records.size() - 2].get();  // Data1 = 0x100
    EXPECT_EQ(second->pNext == first || first->pNext == second, true);
    EXPECT_EQ(CQZRuntimeClass::IsUnique(first->dwHashID), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsUnique(records[0]->dwHashID), records[0].get());

    // Misses: an unknown GUID before, between and after; the right GUID with a wrong key.
    const GUID unknown[] = {MakeGuid(0, 0), MakeGuid(0x00000002, 0x42), MakeGuid(0xFFFFFFFF, 0xFF)};
    for (const GUID& guid : unknown)
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&guid, first->dwHashID), nullptr);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&first->guid, first->dwHashID ^ 0x10000), nullptr);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(nullptr, first->dwHashID), nullptr);

    // Removal at head, middle and tail keeps the chain whole.
    std::vector<CQZRuntimeClass*> sorted;
    for (auto& record : records) sorted.push_back(record.get());
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) {
        return (a->dwHashID >> 16) != (b->dwHashID >> 16)
                   ? (a->dwHashID >> 16) < (b->dwHashID >> 16)
                   : std::memcmp(&a->guid, &b->guid, 16) < 0;
    });
    for (CQZRuntimeClass* gone : {sorted[0], sorted[4], sorted.back()}) {
        EXPECT_EQ(gone->UnRegisterClass(), 0u);
        ExpectDirectoryInvariants();
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&gone->guid, gone->dwHashID), nullptr);
    }
    for (CQZRuntimeClass* kept : {sorted[1], sorted[3], sorted[sorted.size() - 2]})
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&kept->guid, kept->dwHashID), kept);
}

TEST_F(RegistryTest, ClosestMatchIsTheRecordOrItsPredecessor) {
    auto a = NewRecord("CClosest", MakeGuid(0x10, 1));
    auto b = NewRecord("CClosest", MakeGuid(0x30, 1));
    ASSERT_EQ(Register(a.get()), 0u);
    ASSERT_EQ(Register(b.get()), 0u);
    const WORD bucket = WORD(a->dwHashID & 0xFFFF), key = WORD(a->dwHashID >> 16);
    const GUID between = MakeGuid(0x20, 1), below = MakeGuid(0x01, 1), above = MakeGuid(0x40, 1);
    using I = CQZRuntimeClassProbe;
    EXPECT_EQ(I::FindClosestMatchPtr(&a->guid, bucket, key), a.get());
    EXPECT_EQ(I::FindClosestMatchPtr(&b->guid, bucket, key), b.get());
    EXPECT_EQ(I::FindClosestMatchPtr(&between, bucket, key), a.get());
    EXPECT_EQ(I::FindClosestMatchPtr(&above, bucket, key), b.get());
    EXPECT_EQ(I::FindClosestMatchPtr(nullptr, bucket, key), a.get());
    CQZRuntimeClass* beforeBoth = I::FindClosestMatchPtr(&below, bucket, key);
    EXPECT_TRUE(beforeBoth == nullptr || (beforeBoth->dwHashID >> 16) < key);
    EXPECT_EQ(I::FindClosestMatchPtr(&a->guid, 1024, key), nullptr);
}

TEST_F(RegistryTest, IdentifiersOutsideTheDirectoryScanByGuidAndHiddenRecordsStayOut) {
    auto shown = NewRecord("CScanShown", MakeGuid(0x5C0001));
    auto hidden = NewRecord("CScanHidden", MakeGuid(0x5C0002));
    ASSERT_EQ(Register(shown.get()), 0u);
    ASSERT_EQ(Register(hidden.get()), 0u);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&shown->guid, 0xFC00), shown.get());
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&shown->guid, shown->dwHashID | 0x0400), shown.get());
    EXPECT_EQ(CQZRuntimeClass::IsUnique(shown->dwHashID | 0x0400), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsUnique(0xFC00), nullptr);

    hidden->dwFlags |= QZRTC_HIDDEN;
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&hidden->guid, hidden->dwHashID), nullptr);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&hidden->guid, 0xFC00), nullptr);
    bool seen = false;
    CQZRuntimeClass::EnumClasses(
        [](CQZRuntimeClass* record, uintptr_t flag) {
            if (record->dwFlags & QZRTC_HIDDEN) *reinterpret_cast<bool*>(flag) = true;
            return TRUE;
        },
        reinterpret_cast<uintptr_t>(&seen));
    EXPECT_FALSE(seen);
    CPMemory list = CQZRuntimeClass::GetClassList();
    auto* entries = static_cast<CQZRuntimeClass* const*>(list.GetCDataPtr());
    const DWORD listed = list.GetSize() / sizeof(CQZRuntimeClass*);
    EXPECT_EQ(listed, CQZRuntimeClass::GetClassCount() - 1);
    EXPECT_EQ(std::count(entries, entries + listed, hidden.get()), 0);
    EXPECT_EQ(std::count(entries, entries + listed, shown.get()), 1);
    // The ordered list keeps hidden records.
    DWORD count = 0;
    CQZRuntimeClass** ordered = CQZRuntimeClass::GetOrderedClassList(&count);
    ASSERT_NE(ordered, nullptr);
    EXPECT_EQ(std::count(ordered, ordered + count, hidden.get()), 1);
    CQZRuntimeClass::FreeOrderedClassList(ordered);
    // Re-registration clears the hidden flag.
    ASSERT_EQ(hidden->UnRegisterClass(), 0u);
    ASSERT_EQ(Register(hidden.get()), 0u);
    EXPECT_EQ(hidden->dwFlags & QZRTC_HIDDEN, 0u);
}

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

// Every refused registration: its answer, the status it leaves in the record, and no trace of
// the record in the directory.
TEST_F(RegistryTest, RefusalsGiveTheirStatusAndStayOutOfTheDirectory) {
    auto base = NewRecord("CStatusBase", MakeGuid(0x57A70001), 40);
    int notAModule = 0;
    struct Row {
        const char* name;
        DWORD objSize, flags;
        PFNQZCLASSCTRLPROC ctrl;
        DWORD cbSize;      // of the record
        HINSTANCE module;  // registering with
        DWORD baseSize;    // expected of CStatusBase; 0: no base
        DWORD result, status;
    };
    const DWORD kRecord = sizeof(CQZRuntimeClass);
    const Row rows[] = {
        // Before the base is registered.
        {"CStatusChild", 80, 0, nullptr, kRecord, TestModule(), 40, QZRTC_NOBASE, QZRTC_NOBASE},
        {"CStatusChild", 80, 0, nullptr, kRecord, TestModule(), 44, QZRTC_BADSIZE, QZRTC_BADSIZE},
        {"CStatusBadSize", 16, 0, nullptr, 912, TestModule(), 0, QZRTC_BADSIZE, QZRTC_BADSIZE},
        {"CStatusThrows", 16, 0, &ThrowingCtrl, kRecord, TestModule(), 0, QZRTC_CTRLFAULT,
         QZRTC_CTRLFAULT},
        {"CStatusNoFactory", 16, QZRTC_PERSISTENT, nullptr, kRecord, TestModule(), 0,
         QZRTC_NOFACTORY, QZRTC_NOFACTORY},
        {"CStatusNoInstance", 16, 0, nullptr, kRecord, nullptr, 0, QZRTC_NOINSTANCE,
         QZRTC_NOINSTANCE},
        // An address that is no module leaves the status as it was.
        {"CStatusHeapInstance", 16, 0, nullptr, kRecord, &notAModule, 0, QZRTC_NOINSTANCE,
         QZRTC_NEVER},
        // Another record with the same name and GUID.
        {"CStatusBase", 40, 0, nullptr, kRecord, TestModule(), 0, QZRTC_DUPLICATE, QZRTC_DUPLICATE},
    };
    DWORD data1 = 0x57A70001;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + std::string(" ") + std::to_string(row.baseSize));
        if (&row == &rows[1]) {
            ASSERT_EQ(Register(base.get()), 0u);
        }
        const bool twin = std::string(row.name) == "CStatusBase";
        auto record = NewRecord(row.name, MakeGuid(twin ? 0x57A70001 : ++data1), row.objSize,
                                row.flags, row.ctrl);
        record->cbSize = row.cbSize;
        CQZRuntimeClass* baseRecord = row.baseSize ? base.get() : nullptr;
        const DWORD count = CQZRuntimeClass::GetClassCount();
        EXPECT_EQ(record->RegisterClass(row.module, baseRecord, row.baseSize), row.result);
        EXPECT_EQ(record->dwStatus, row.status);
        EXPECT_EQ(record->pBaseClass, baseRecord);
        EXPECT_EQ(CQZRuntimeClass::GetClassCount(), count);
        if (!twin) {
            EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&record->guid, GetHashID(row.name)), nullptr);
        }
        // A refused control procedure answers 0 when called.
        if (row.ctrl) {
            EXPECT_EQ(record->CallClassCtrlProc(QZRTC_CTRL_FLAG, 0), 0u);
        }
    }
    ExpectDirectoryInvariants();
}

TEST_F(RegistryTest, ReRegisteringALiveRecordChangesNothing) {
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

TEST_F(RegistryTest, FlagsAndDataIdentifiers) {
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

TEST_F(RegistryTest, UnregistrationResults) {
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

TEST_F(RegistryTest, MessagesAreExactAndOnlyWhileDebugIsOn) {
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
TEST_F(RegistryTest, ChecksOnUnreadableRecordsFail) {
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

TEST_F(RegistryTest, WorkingFolderIsNormalisedAndNeverCut) {
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
    const std::string expected = "\rClass CDumped []\r  DLL   : " + Narrow(record->szDLLPath) +
                                 "\r  HashID: " + Hex8(record->dwHashID) +
                                 "\r  GUID  : 01234567-89AB-CDEF-01020304050607FE";
    EXPECT_NE(capture.Text(3).find(expected), std::string::npos) << capture.Text(3);
    DebugCapture quiet;
    CQZRuntimeClass::DumpClasses();
    EXPECT_EQ(quiet.Count(), 0u);
}

TEST_F(RegistryTest, EightThreadsRegisterFiveHundredClassesEach) {
    constexpr int kThreads = 8, kPerThread = 500;
    std::vector<std::vector<RecordPtr>> records(kThreads);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i)
            records[t].push_back(NewRecord("CThreaded" + std::to_string(t * kPerThread + i),
                                           MakeGuid(0x7A000000 + t * kPerThread + i)));
    const DWORD before = CQZRuntimeClass::GetClassCount();
    DebugCapture capture;
    SetDebugMode(TRUE);
    std::atomic<bool> done{false};
    std::atomic<int> listFailures{0};
    std::thread lister([&] {
        while (!done) {
            DWORD count = 0;
            CQZRuntimeClass** list = CQZRuntimeClass::GetOrderedClassList(&count);
            if (!list) ++listFailures;
            CQZRuntimeClass::FreeOrderedClassList(list);
        }
    });
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (auto& record : records[t])
                if (record->RegisterClass(TestModule(), nullptr, 0) != 0) ++failures;
        });
    for (auto& thread : threads) thread.join();
    done = true;
    lister.join();
    SetDebugMode(FALSE);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(listFailures.load(), 0);
    EXPECT_FALSE(capture.Contains("Bad integrity!"));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), before + kThreads * kPerThread);
    std::set<DWORD> orders;
    for (auto& perThread : records)
        for (auto& record : perThread) orders.insert(record->dwOrder);
    EXPECT_EQ(orders.size(), size_t(kThreads * kPerThread));
    ExpectDirectoryInvariants();
    records.clear();
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), before);
}

}  // namespace
}  // namespace qzo::test
