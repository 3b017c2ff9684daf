// The class registry, linked as a host links it. The directory's sorted chains, lookups by GUID
// and hash identifier, the full scan for identifiers outside the directory, hidden records and
// IsUnique; registration statuses and flags, data-identifier inheritance, the refusal of a live
// record's re-registration, the exact messages and the working folder; first control calls in
// registration order, shutdown calls in reverse, order numbers that never go back, kinship walks
// and the class dump; registration from many threads at once. Driver libraries: the candidate
// paths, direct and dependent loads, display names, first calls on load, refusal of libraries
// without classes, re-entrant loading, freeing at shutdown and the load-failure list; and loading
// and freeing while other threads register, enumerate and look up classes, in a peer process
// whose time limit turns a lock-order deadlock into a failure.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../drivers/fixture_classes.h"
#include "qzobj/platform/text.h"
#include "qzobj/qzobj.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/text.h"

// Reaches the registry's private operations (declared a friend by the class).
struct CQZRuntimeClassProbe {
    static CQZRuntimeClass* FindClosestMatchPtr(const GUID* guid, WORD bucket, WORD key) {
        return CQZRuntimeClass::FindClosestMatchPtr(guid, bucket, key);
    }
    static void LoadFail_Add(const WCHAR* name) { CQZRuntimeClass::LoadFail_Add(name); }
    static BOOL LoadFail_Check(const WCHAR* name) { return CQZRuntimeClass::LoadFail_Check(name); }
};

namespace qzo::test {
namespace {

// The test program's own module, as a registering module instance.
HINSTANCE TestModule() {
    return QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&TestModule));
}

GUID MakeGuid(DWORD data1, BYTE last = 0) {
    return GUID{data1, 0x7E57, 0x4E61, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, last}};
}

// A test record leaves the directory before its memory goes.
struct RecordDeleter {
    void operator()(CQZRuntimeClass* record) const {
        record->UnRegisterClass();
        delete record;
    }
};
using RecordPtr = std::unique_ptr<CQZRuntimeClass, RecordDeleter>;

RecordPtr NewRecord(const std::string& name, const GUID& guid, DWORD objSize = 16, DWORD flags = 0,
                    PFNQZCLASSCTRLPROC ctrl = nullptr) {
    RecordPtr record(
        new CQZRuntimeClass(fixture::MakeRecord(name.c_str(), guid, objSize, 0, ctrl)));
    record->dwFlags = flags;
    return record;
}

// Checks every bucket: one chain per bucket holding exactly the bucket's records, sorted by
// (key, GUID bytes), and the count equal to the records. Records come from the ordered list.
void ExpectDirectoryInvariants() {
    DWORD count = 0;
    CQZRuntimeClass** list = CQZRuntimeClass::GetOrderedClassList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, CQZRuntimeClass::GetClassCount());
    EXPECT_EQ(list[count], nullptr);
    std::map<WORD, std::set<CQZRuntimeClass*>> byBucket;
    std::set<DWORD> orders;
    for (DWORD i = 0; i < count; ++i) {
        byBucket[WORD(list[i]->dwHashID & 0xFFFF)].insert(list[i]);
        orders.insert(list[i]->dwOrder);
        if (i > 0) {
            EXPECT_LE(list[i - 1]->dwOrder, list[i]->dwOrder);
        }
    }
    EXPECT_EQ(orders.size(), count) << "order numbers are unique";
    for (auto& [bucket, records] : byBucket) {
        EXPECT_LT(bucket, QZRTC_BUCKETS);
        std::set<CQZRuntimeClass*> pointedAt;
        for (auto* record : records)
            if (record->pNext) pointedAt.insert(record->pNext);
        std::vector<CQZRuntimeClass*> heads;
        for (auto* record : records)
            if (!pointedAt.count(record)) heads.push_back(record);
        ASSERT_EQ(heads.size(), 1u) << "bucket " << bucket;
        size_t walked = 0;
        for (CQZRuntimeClass* at = heads[0]; at; at = at->pNext, ++walked) {
            ASSERT_TRUE(records.count(at)) << "chain leaves its bucket";
            ASSERT_LE(walked, records.size());
            if (CQZRuntimeClass* next = at->pNext) {
                const WORD key = WORD(at->dwHashID >> 16), nextKey = WORD(next->dwHashID >> 16);
                EXPECT_TRUE(key < nextKey ||
                            (key == nextKey && std::memcmp(&at->guid, &next->guid, 16) < 0));
            }
        }
        EXPECT_EQ(walked, records.size());
    }
    CQZRuntimeClass::FreeOrderedClassList(list);
}

class RegistryTest : public QzoTest {
  protected:
    // Registers with the test program's module.
    DWORD Register(CQZRuntimeClass* record, CQZRuntimeClass* base = nullptr, DWORD baseSize = 0) {
        return record->RegisterClass(TestModule(), base, baseSize);
    }
};

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

namespace fs = std::filesystem;
using qzo::fixture::kBaseGuid;
using qzo::fixture::kDerivedGuid;
using qzo::fixture::kLeafGuid;

const std::string kRegistering = "libqzo_fixture_registering.so";
const std::string kEmpty = "libqzo_fixture_empty.so";
const std::string kDerived = "libqzo_fixture_derived.so";

CQZRuntimeClass* Find(const GUID& guid, const char* name) {
    return CQZRuntimeClass::GetClassPtr(&guid, GetHashID(name));
}

bool IsMapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

class RegistryDrivers : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        saved_ = CQZRuntimeClass::GetWorkingDir();
        ASSERT_TRUE(CQZRuntimeClass::SetWorkingDir(Wide(TempDir()).c_str()));
        countBefore_ = CQZRuntimeClass::GetClassCount();
    }
    void TearDown() override {
        CQZRuntimeClass::UnloadClassLibs();
        EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
        CQZRuntimeClass::SetWorkingDir(saved_.c_str());
        RegistryTest::TearDown();
    }
    // Copies a fixture into a folder of the test's temporary folder ("" for the folder itself).
    std::string Install(const std::string& fixture, const std::string& folder = "driver",
                        const std::string& as = "") {
        const fs::path target = fs::path(TempDir()) / folder;
        fs::create_directories(target);
        const fs::path file = target / (as.empty() ? fixture : as);
        fs::copy_file(fs::path(QZO_REGISTRY_FIXTURE_DIR) / fixture, file,
                      fs::copy_options::overwrite_existing);
        return file.string();
    }

    std::u16string saved_;
    DWORD countBefore_ = 0;
};

TEST_F(RegistryDrivers, LoadsFromTheDriverFolderAndFreesAtShutdown) {
    const std::string path = Install(kRegistering);
    DebugCapture capture;
    SetDebugMode(TRUE);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), TRUE));
    SetDebugMode(FALSE);
    EXPECT_TRUE(
        capture.Contains("\rCQZRuntimeClass::LoadLibrary(" + kRegistering + "): Loaded\r\n"));
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    CQZRuntimeClass* leaf = Find(kLeafGuid, "CFixtureDriverLeaf");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(base->dwFlags & (QZRTC_DIRECTLOAD | QZRTC_NOTLIBRARY | QZRTC_FIRSTCALL),
              QZRTC_DIRECTLOAD);
    EXPECT_EQ(std::u16string(base->szDisplayName), u"Fixture driver base");
    EXPECT_EQ(std::u16string(leaf->szDisplayName), u"Fixture driver leaf");
    EXPECT_EQ(std::u16string(base->szDLLPath), Wide(path));
    EXPECT_EQ(base->dwDataID, 0x5151u);
    EXPECT_EQ(leaf->dwDataID, 0x5151u);
    EXPECT_EQ(CQZRuntimeClass::IsClassLibraryLoaded(u"/elsewhere/LIBQZO_FIXTURE_REGISTERING.SO"),
              CQZRuntimeClass::IsClassLibraryLoaded(Wide(path).c_str()));
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto calls = reinterpret_cast<DWORD (*)(DWORD)>(dlsym(handle, "FixtureBaseCalls"));
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(calls(QZRTC_CTRL_INIT), 1u);
    dlclose(handle);
    // Already loaded by the registry: nothing more happens.
    EXPECT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(path).c_str(), TRUE));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_ + 2);

    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    EXPECT_EQ(Find(kBaseGuid, "CFixtureDriverBase"), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsClassLibraryLoaded(Wide(kRegistering).c_str()), nullptr);
}

TEST_F(RegistryDrivers, CandidatesInOrder) {
    // Only beside the working folder: the second candidate.
    const std::string beside = Install(kRegistering, "");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), Wide(beside));
    CQZRuntimeClass::UnloadClassLibs();
    ASSERT_FALSE(IsMapped(beside));
    // In the driver folder, spelled in another case on disk: the first candidate wins.
    const std::string inDriver = Install(kRegistering, "DRIVER");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), Wide(inDriver));
    CQZRuntimeClass::UnloadClassLibs();
    ASSERT_FALSE(IsMapped(inDriver));
    // Elsewhere: the path itself.
    fs::remove(beside);
    fs::remove(inDriver);
    const std::string elsewhere = Install(kRegistering, "elsewhere");
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(elsewhere).c_str(), FALSE));
    EXPECT_EQ(std::u16string(Find(kBaseGuid, "CFixtureDriverBase")->szDLLPath), Wide(elsewhere));
}

TEST_F(RegistryDrivers, DependencyIsNotMarkedDirectUntilAskedFor) {
    const std::string basePath = Install(kRegistering);
    const std::string derivedPath = Install(kDerived);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kDerived).c_str(), TRUE));
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    CQZRuntimeClass* derived = Find(kDerivedGuid, "CFixtureDriverDerived");
    ASSERT_NE(base, nullptr);
    ASSERT_NE(derived, nullptr);
    EXPECT_EQ(derived->pBaseClass, base);
    EXPECT_EQ(std::u16string(base->szDLLPath), Wide(basePath));
    EXPECT_NE(derived->dwFlags & QZRTC_DIRECTLOAD, 0u);
    EXPECT_EQ(base->dwFlags & QZRTC_DIRECTLOAD, 0u);
    EXPECT_EQ(std::u16string(derived->szDisplayName), u"Fixture driver derived");
    EXPECT_TRUE(derived->IsKindOf(base));
    // Asked for directly, the dependency gets a reference of the registry's own.
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), TRUE));
    EXPECT_NE(base->dwFlags & QZRTC_DIRECTLOAD, 0u);
    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_FALSE(IsMapped(derivedPath));
    EXPECT_FALSE(IsMapped(basePath));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
}

TEST_F(RegistryDrivers, ModuleKeptByAnotherReferenceComesBackUntilItGoes) {
    const std::string path = Install(kRegistering);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), TRUE));
    void* ours = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(ours, nullptr);
    CQZRuntimeClass::UnloadClassLibs();
    CQZRuntimeClass* base = Find(kBaseGuid, "CFixtureDriverBase");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->dwStatus, QZRTC_FREED);
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_ + 2);
    ExpectDirectoryInvariants();
    // Freed once: a second shutdown leaves it alone.
    CQZRuntimeClass::UnloadClassLibs();
    EXPECT_TRUE(IsMapped(path));
    dlclose(ours);
    EXPECT_FALSE(IsMapped(path));
    EXPECT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    EXPECT_EQ(Find(kBaseGuid, "CFixtureDriverBase"), nullptr);
}

// Every refused load with its message. Once a library loaded without registering a class, its
// name stays refused, without touching the disk, even after a registering library replaced it.
TEST_F(RegistryDrivers, RefusedLoadsAndTheirMessages) {
    const std::string path = Install(kEmpty);
    struct Row {
        const char16_t* name;
        std::string message;
    };
    const std::string prefix = "\rCQZRuntimeClass::LoadLibrary";
    const Row rows[] = {
        {u"libqzo_fixture_empty.so",
         prefix + "(" + kEmpty + ") loaded, but no classes registered\r\n"},
        {u"LIBQZO_FIXTURE_EMPTY.SO", ""},
        {u"libqzo_fixture_absent.so",
         prefix + "(libqzo_fixture_absent.so): Failure to load, no instance\r\n"},
        {u"", prefix + ": No path\r\n"},
        {u"folder/", prefix + "(folder/): No filename\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        DebugCapture capture;
        SetDebugMode(TRUE);
        EXPECT_FALSE(CQZRuntimeClass::LoadClassLibrary(row.name, TRUE));
        SetDebugMode(FALSE);
        EXPECT_EQ(capture.Text(3), row.message);
        if (row.message.empty()) {
            EXPECT_EQ(capture.Count(), 0u);
        }
        EXPECT_FALSE(IsMapped(path));
        if (&row == &rows[0]) Install(kRegistering, "driver", kEmpty);
    }
}

TEST_F(RegistryDrivers, ControlProcedureLoadsAnotherLibraryReentrantly) {
    const std::string basePath = Install(kRegistering);
    Install(kDerived);
    ASSERT_TRUE(CQZRuntimeClass::LoadClassLibrary(Wide(kRegistering).c_str(), FALSE));
    void* handle = dlopen(basePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto loadOnInit = reinterpret_cast<void (*)(const WCHAR*)>(dlsym(handle, "FixtureLoadOnInit"));
    ASSERT_NE(loadOnInit, nullptr);
    static const std::u16string derivedName = Wide(kDerived);
    loadOnInit(derivedName.c_str());
    dlclose(handle);
    CQZRuntimeClass::SanitizeLoads();
    CQZRuntimeClass* derived = Find(kDerivedGuid, "CFixtureDriverDerived");
    ASSERT_NE(derived, nullptr);
    EXPECT_NE(derived->dwFlags & QZRTC_DIRECTLOAD, 0u);
    loadOnInit(nullptr);
}

TEST_F(RegistryDrivers, LoadFailureListFillsSilentlyAndIsClearedByExitAndInit) {
    using I = CQZRuntimeClassProbe;
    ASSERT_EQ(CQZRuntimeClass::GetClassCount(), countBefore_);
    CQZRuntimeClass::Exit();
    I::LoadFail_Add(u"ignored-without-range.so");
    EXPECT_FALSE(I::LoadFail_Check(u"ignored-without-range.so"));
    ASSERT_TRUE(CQZRuntimeClass::Init());
    ASSERT_TRUE(CQZRuntimeClass::SetWorkingDir(Wide(TempDir()).c_str()));
    // Records of 512 bytes: the eighth ends on a page boundary; 255 fit in the range.
    auto nameOf = [](int i) {
        std::u16string name = Wide("fail" + std::to_string(i) + "-");
        name.resize(254, u'x');
        return name;
    };
    DebugCapture capture;
    SetDebugMode(TRUE);
    for (int i = 0; i < 256; ++i) I::LoadFail_Add(nameOf(i).c_str());
    I::LoadFail_Add(std::u16string(260, u'L').c_str());
    SetDebugMode(FALSE);
    EXPECT_EQ(capture.Count(), 0u);
    for (int i : {0, 7, 8, 254}) {
        std::u16string upper = nameOf(i);
        for (auto& c : upper) c = text::FoldUpper(c);
        EXPECT_TRUE(I::LoadFail_Check(upper.c_str())) << i;
    }
    EXPECT_FALSE(I::LoadFail_Check(nameOf(255).c_str()));
    EXPECT_FALSE(I::LoadFail_Check(std::u16string(260, u'L').c_str()));
    EXPECT_FALSE(I::LoadFail_Check(u"fail0-"));
    CQZRuntimeClass::Exit();
    ASSERT_TRUE(CQZRuntimeClass::Init());
    EXPECT_FALSE(I::LoadFail_Check(nameOf(0).c_str()));
    countBefore_ = CQZRuntimeClass::GetClassCount();
}

// Test classes whose buckets no fixture class uses: lock-free lookups must never walk a chain
// that holds a record of a library being freed.
std::string NameOutsideDriverBuckets(int serial) {
    const DWORD used[] = {GetHashID("CFixtureDriverBase") & 0xFFFF,
                          GetHashID("CFixtureDriverLeaf") & 0xFFFF,
                          GetHashID("CFixtureDriverDerived") & 0xFFFF};
    for (int probe = 0;; ++probe) {
        std::string name = "CLoaderLock" + std::to_string(serial) + "_" + std::to_string(probe);
        const DWORD bucket = GetHashID(name.c_str()) & 0xFFFF;
        if (bucket != used[0] && bucket != used[1] && bucket != used[2]) return name;
    }
}

// Three threads register, unregister, enumerate and look up while another only looks up 300
// stable classes, and the main thread loads and frees a driver and its dependency 40 times. A
// reader standing on an unregistered record walks on through its old successor, so churned
// records are never reused while readers run.
QZO_PEER_COMMAND(registry_loader_lock) {
    if (args.size() != 1) return "usage";
    if (!CQZRuntimeClass::SetWorkingDir(Wide(args[0]).c_str())) return "workdir";
    std::vector<RecordPtr> stable;
    for (int i = 0; i < 300; ++i) {
        stable.push_back(NewRecord(NameOutsideDriverBuckets(-1 - i), MakeGuid(0x10AD0000 + i)));
        if (stable.back()->RegisterClass(TestModule(), nullptr, 0) != 0) return "stable";
    }
    auto lookUp = [&stable] {
        int misses = 0;
        for (auto& record : stable)
            misses += CQZRuntimeClass::GetClassPtr(&record->guid, record->dwHashID) != record.get();
        return misses;
    };
    std::atomic<bool> done{false};
    std::atomic<int> errors{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
        workers.emplace_back([&, w] {
            std::vector<RecordPtr> churned;
            for (int round = 0; !done; ++round) {
                auto record = NewRecord(NameOutsideDriverBuckets(1 + w * 100000 + round),
                                        MakeGuid(0x10AE0000 + w * 100000 + round));
                if (record->RegisterClass(TestModule(), nullptr, 0) == 0) record->UnRegisterClass();
                churned.push_back(std::move(record));
                CQZRuntimeClass::EnumClasses([](CQZRuntimeClass*, uintptr_t) { return TRUE; }, 0);
                CQZRuntimeClass::IsUnique(GetHashID("CFixtureDriverBase"));
                CQZRuntimeClass::IsClassLibraryLoaded(u"libqzo_fixture_derived.so");
                errors += lookUp() > 0;
            }
        });
    workers.emplace_back([&] {
        while (!done) errors += lookUp();
    });
    for (int round = 0; round < 40; ++round) {
        if (!CQZRuntimeClass::LoadClassLibrary(u"libqzo_fixture_derived.so", TRUE)) ++errors;
        CQZRuntimeClass::UnloadClassLibs();
    }
    done = true;
    for (auto& worker : workers) worker.join();
    stable.clear();
    return errors == 0 ? "OK" : "errors " + std::to_string(errors.load());
}

TEST_F(RegistryDrivers, LoadingAndFreeingRaceWithRegistryUsersWithoutDeadlock) {
    Install(kRegistering);
    Install(kDerived);
    Peer peer;
    // A deadlocked peer is killed at the limit and gives no answer.
    peer.SetTimeLimit(std::chrono::seconds(120));
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("registry_loader_lock " + TempDir()), "OK");
    peer.Send("exit 0");
    peer.Wait();
}

}  // namespace
}  // namespace qzo::test
