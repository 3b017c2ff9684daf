// The run-time object base: lock counts across threads, the single free, refusal of objects whose
// signature was cleared, copies, allocation from the object heap; its self-checks with their
// exact reports, objects whose virtual-table pointer was forged or that cannot be read; and its
// chunk helpers, byte for byte, with refusals that leave the surrounding chunk as it was.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "objmodel/registry/drivers/fixture_classes.h"
#include "qzobj/memblock.h"
#include "qzobj/memory.h"
#include "qzobj/objmodel.h"
#include "qzobj/platform/guard.h"
#include "qzobj/store.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

namespace qzo::test {
namespace {

// Class records as registration would link them.
CQZRuntimeClass classUnrelatedObject = fixture::MakeRecord("UnrelatedObject", {}, 16, 0, nullptr);

// Counts its destructions.
class CountedObject : public CQZRTObject {
  public:
    CountedObject() = default;
    CountedObject(const CountedObject&) = default;
    CountedObject& operator=(const CountedObject&) = default;
    ~CountedObject() override { destroyed.fetch_add(1); }
    CQZRuntimeClass* GetRuntimeClass() const override { return &record; }

    using CQZRTObject::ClearSignature;
    using CQZRTObject::IsValidSignature;

    static inline std::atomic<int> destroyed{0};
    static CQZRuntimeClass record;
};
CQZRuntimeClass CountedObject::record = [] {
    CQZRuntimeClass record =
        fixture::MakeRecord("CountedObject", {}, sizeof(CountedObject), 0, nullptr);
    record.pBaseClass = &classCQZRTObject;
    return record;
}();

// FreeObject only counts, so the object (in storage the test owns) survives a count of 0.
class KeptObject : public CQZRTObject {
  public:
    void FreeObject() override { freed.fetch_add(1); }
    using CQZRTObject::ClearSignature;
    std::atomic<int> freed{0};
};

// Storage for an object the test constructs in place.
template <class T>
struct alignas(T) InPlace {
    unsigned char bytes[sizeof(T)];
    T* Make() { return new (static_cast<void*>(bytes)) T(); }
};

using RTObject = QzoTest;

DWORD ObjHeapBlocks() {
    DWORD count = 0;
    memory::ObjHeap().GetHeapState(&count);
    return count;
}

std::string Report(const char* reason, int line, const char* file) {
    return std::string("\r\nAssertion [") + reason + "] failed! Line: " + std::to_string(line) +
           " File:" + file + "\r\n";
}

TEST_F(RTObject, CreatedObjectsComeFromTheObjectHeapAndGoBackAtTheLastRelease) {
    // The root class is registered when the library loads.
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&classCQZRTObject.guid, classCQZRTObject.dwHashID),
              &classCQZRTObject);
    EXPECT_EQ(classCQZRTObject.dwStatus, QZRTC_REGISTERED);
    const DWORD before = ObjHeapBlocks();
    CQZRTObject* object = classCQZRTObject.pfnCreateObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(ObjHeapBlocks(), before + 1);
    EXPECT_EQ(object->GetRuntimeClass(), &classCQZRTObject);
    EXPECT_EQ(object->QueryLockCnt(), 1u);
    EXPECT_TRUE(object->Lock());
    EXPECT_EQ(object->QueryLockCnt(), 2u);
    object->DelObject();
    EXPECT_EQ(object->QueryLockCnt(), 1u);
    EXPECT_EQ(ObjHeapBlocks(), before + 1);
    // The base stores and loads nothing.
    RecordingArchive archive;
    EXPECT_TRUE(object->StoreData(archive));
    EXPECT_TRUE(object->LoadData(archive));
    EXPECT_TRUE(archive.Log().empty());
    object->DelObject();
    EXPECT_EQ(ObjHeapBlocks(), before);
}

TEST_F(RTObject, LockCountsFromEightThreadsEndInOneDestruction) {
    constexpr int kThreads = 8;
    CountedObject::destroyed = 0;
    auto* object = new CountedObject;
    for (int i = 0; i < kThreads; ++i) object->Lock();
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([object] {
            for (int round = 0; round < 5000; ++round) {
                object->Lock();
                object->DelObject();
            }
            object->DelObject();
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(CountedObject::destroyed.load(), 0);
    EXPECT_EQ(object->QueryLockCnt(), 1u);
    object->DelObject();
    EXPECT_EQ(CountedObject::destroyed.load(), 1);
}

TEST_F(RTObject, RacingLastReleasesFreeExactlyOnce) {
    constexpr int kThreads = 8;
    CountedObject::destroyed = 0;
    for (int round = 0; round < 40; ++round) {
        auto* object = new CountedObject;
        for (int i = 1; i < kThreads; ++i) object->Lock();
        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&start, object] {
                start.arrive_and_wait();
                object->DelObject();
            });
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(CountedObject::destroyed.load(), round + 1);
    }
}

TEST_F(RTObject, CountNeverGoesBelowZero) {
    InPlace<KeptObject> storage;
    KeptObject* object = storage.Make();
    for (int drop = 0; drop < 2; ++drop) {
        object->DelObject();
        EXPECT_EQ(object->freed.load(), 1);
        EXPECT_EQ(object->QueryLockCnt(), 0u);
    }
    EXPECT_FALSE(object->Assert());
    EXPECT_FALSE(object->AssertObject());
    object->~KeptObject();
}

TEST_F(RTObject, DelObjectRefusesAClearedSignatureOnChannelZero) {
    CountedObject::destroyed = 0;
    InPlace<CountedObject> storage;
    CountedObject* object = storage.Make();
    object->ClearSignature();
    EXPECT_FALSE(object->IsValidSignature());

    DebugCapture capture;
    object->DelObject();
    EXPECT_EQ(object->QueryLockCnt(), 1u);
    EXPECT_EQ(CountedObject::destroyed.load(), 0);
    const auto messages = capture.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 2);
    EXPECT_EQ(messages[0].Utf8(), "\rCQZRTObject::DelObject() called for INVALID object\r\n");
    EXPECT_NE(capture.Text().find("Call stack:"), std::string::npos);
    EXPECT_FALSE(object->AssertObject());
    object->~CountedObject();
}

TEST_F(RTObject, DeleteRefusesAClearedSignatureAndFreesNothing) {
    const DWORD before = ObjHeapBlocks();
    void* block = CQZRTObject::operator new(sizeof(CountedObject));
    ASSERT_NE(block, nullptr);
    auto* object = new (block) CountedObject;
    object->ClearSignature();
    {
        DebugCapture capture;
        delete object;
        EXPECT_TRUE(capture.Contains("CQZRTObject: Delete bad signature\r\n"));
    }
    EXPECT_EQ(ObjHeapBlocks(), before + 1);

    // Brought back to life, the block is given back normally and its signature cleared.
    object = new (block) CountedObject;
    delete object;
    EXPECT_EQ(ObjHeapBlocks(), before);
    CQZRTObject::operator delete(nullptr);
}

TEST_F(RTObject, CopiesStartWithOneReferenceAndAssignmentKeepsOwnWords) {
    auto* source = new CountedObject;
    source->Lock();
    source->Lock();

    CountedObject copy(*source);
    EXPECT_EQ(copy.QueryLockCnt(), 1u);
    EXPECT_TRUE(copy.IsValidSignature());
    EXPECT_TRUE(copy.AssertObject());

    InPlace<CountedObject> storage;
    CountedObject* damaged = storage.Make();
    damaged->ClearSignature();
    CountedObject fromDamaged(*damaged);
    EXPECT_TRUE(fromDamaged.IsValidSignature());
    EXPECT_EQ(fromDamaged.QueryLockCnt(), 1u);

    copy = *damaged;
    EXPECT_TRUE(copy.IsValidSignature());
    *damaged = *source;
    EXPECT_FALSE(damaged->IsValidSignature());
    EXPECT_EQ(damaged->QueryLockCnt(), 1u);
    EXPECT_EQ(source->QueryLockCnt(), 3u);
    damaged->~CountedObject();

    for (int i = 0; i < 3; ++i) source->DelObject();
}

TEST_F(RTObject, ClassTestsFollowTheBaseChain) {
    auto* object = new CountedObject;
    DebugCapture capture;
    EXPECT_TRUE(object->AssertValid(QZRTOBJ_ASSERT_KIND, &classCQZRTObject, nullptr, "a.cpp", 1));
    EXPECT_TRUE(
        object->AssertValid(QZRTOBJ_ASSERT_TYPE, &CountedObject::record, nullptr, "a.cpp", 2));
    EXPECT_TRUE(object->AssertValid(0, nullptr, nullptr, "a.cpp", 3));
    EXPECT_TRUE(object->AssertValid(0x10002, &CountedObject::record, nullptr, "a.cpp", 4));
    EXPECT_EQ(capture.Count(), 0u);

    EXPECT_TRUE(object->IsKindOf(&classCQZRTObject));
    EXPECT_TRUE(object->IsKindOf(&CountedObject::record));
    EXPECT_FALSE(object->IsKindOf(&classUnrelatedObject));
    EXPECT_FALSE(object->IsKindOf(nullptr));
    CQZRuntimeClass* family[] = {&classUnrelatedObject, &classCQZRTObject, &CountedObject::record};
    EXPECT_EQ(object->GetClassFamily(family, 3), 1u);
    EXPECT_EQ(object->GetClassFamily(family, 1), 0xFFFFFFFFu);
    object->DelObject();
}

TEST_F(RTObject, FailedAssertionsReportTheirReasonAndTheStack) {
    auto* object = new CountedObject;
    struct Row {
        DWORD mode;
        const CQZRuntimeClass* record;
        const char* reason;
    };
    const Row rows[] = {
        {QZRTOBJ_ASSERT_TYPE, &classCQZRTObject, "TYPE"},
        {QZRTOBJ_ASSERT_KIND, &classUnrelatedObject, "KIND"},
        {QZRTOBJ_ASSERT_KIND, nullptr, "KIND"},
        {0x10001, &classUnrelatedObject, "TYPE"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mode);
        DebugCapture capture;
        EXPECT_FALSE(object->AssertValid(row.mode, row.record, nullptr, "src/probe.cpp", 321));
        const auto messages = capture.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0].level, 0);
        EXPECT_EQ(messages[0].Utf8(), Report(row.reason, 321, "src/probe.cpp"));
        EXPECT_NE(capture.Text().find("Call stack:"), std::string::npos);
    }
    object->DelObject();
}

TEST_F(RTObject, ObjectModeRunsAssertObject) {
    InPlace<KeptObject> storage;
    KeptObject* object = storage.Make();
    object->DelObject();  // count 0, memory kept
    ASSERT_EQ(object->QueryLockCnt(), 0u);

    EXPECT_TRUE(object->AssertValid(QZRTOBJ_ASSERT_KIND, &classCQZRTObject, nullptr, "b.cpp", 7));
    // Only a high half of exactly 1 asks for the object test.
    EXPECT_TRUE(object->AssertValid(0x20002, &classCQZRTObject, nullptr, "b.cpp", 7));
    DebugCapture capture;
    EXPECT_FALSE(object->AssertValid(0x10002, &classCQZRTObject, nullptr, "b.cpp", 7));
    EXPECT_TRUE(capture.Contains(Report("OBJECT", 7, "b.cpp")));
    object->~KeptObject();

    InPlace<CountedObject> other;
    CountedObject* cleared = other.Make();
    cleared->ClearSignature();
    EXPECT_FALSE(cleared->AssertValid(0x10000, nullptr, nullptr, "c.cpp", 9));
    EXPECT_TRUE(capture.Contains(Report("OBJECT", 9, "c.cpp")));
    cleared->~CountedObject();
}

const void* const kZeroTable[4] = {};

void PlainFunction() {}

// Overwrites the object's virtual-table pointer.
void ForgeTable(void* object, const void* table) {
    std::memcpy(object, &table, sizeof table);
}

// The checks on an object whose table was forged, in order: AssertValid, AssertObject, Assert,
// IsKindOf, GetClassFamily. The undefined-behaviour sanitizer's dynamic type check would stop at
// the call site itself, before the checks under test can refuse the object, so it is left out.
__attribute__((no_sanitize("vptr"))) std::vector<DWORD> ProbeForged(CountedObject* object) {
    CQZRuntimeClass* family[] = {&classCQZRTObject};
    return {DWORD(object->AssertValid(0, nullptr, nullptr, "forged.cpp", 55)),
            DWORD(object->AssertObject()), DWORD(object->CQZRTObject::Assert()),
            DWORD(object->IsKindOf(&classCQZRTObject)), object->GetClassFamily(family, 1)};
}

TEST_F(RTObject, ForgedTablesAreRefusedWithoutACall) {
    auto heapTable = std::make_unique<const void*[]>(4);
    heapTable[0] = reinterpret_cast<const void*>(&PlainFunction);
    const void* forgeries[] = {
        nullptr,                                        // no table
        heapTable.get(),                                // a table outside every module
        reinterpret_cast<const void*>(&PlainFunction),  // module code, not data
        kZeroTable,                                     // module data whose entry is no code
        reinterpret_cast<const char*>(kZeroTable) + 1,  // misplaced into module data
    };
    for (const void* forged : forgeries) {
        InPlace<CountedObject> storage;
        CountedObject* object = storage.Make();
        ASSERT_TRUE(object->AssertObject());
        const void* genuine = nullptr;
        std::memcpy(&genuine, object, sizeof genuine);
        ForgeTable(object, forged);

        DebugCapture capture;
        EXPECT_EQ(ProbeForged(object), (std::vector<DWORD>{0, 0, 0, 0, 0xFFFFFFFF}));
        EXPECT_TRUE(capture.Contains(Report("BAD ACCESS", 55, "forged.cpp")));

        ForgeTable(object, genuine);
        EXPECT_TRUE(object->AssertObject());
        object->~CountedObject();
    }
}

// An object pointer into memory that cannot be read: the checks fail instead of faulting.
TEST_F(RTObject, UnreadableObjectsAreRefused) {
    if (!platform::SignalGuardEnabled()) GTEST_SKIP() << "the fault guard is compiled out";
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* region = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    auto* object = static_cast<CQZRTObject*>(region);

    DebugCapture capture;
    EXPECT_FALSE(object->AssertValid(0, nullptr, nullptr, "page.cpp", 5));
    EXPECT_TRUE(capture.Contains(Report("BAD ACCESS", 5, "page.cpp")));
    EXPECT_FALSE(object->AssertObject());
    EXPECT_FALSE(object->IsKindOf(&classCQZRTObject));
    munmap(region, page);
}

const GUID kRootGuid = {
    0x6B1F4E01, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};

// Chunk header of the name "A": GetHashID("A") = 0x58E500D8, then the payload size.
std::string HeaderA(unsigned char size) {
    return std::string("\xD8\x00\xE5\x58", 4) + char(size) + std::string(3, '\0');
}

CPProperty MakeProperty(DWORD type, const GUID& id, const std::string& bytes) {
    CPProperty property(type, id);
    if (!bytes.empty()) {
        property.Alloc(static_cast<DWORD>(bytes.size()));
        std::memcpy(property.GetDataPtr(), bytes.data(), bytes.size());
    }
    return property;
}

TEST_F(RTObject, StoreMemoryWritesOneChunkAndLoadMemoryReadsAtMostTheChunk) {
    RecordingArchive archive, empty, refused;
    EXPECT_TRUE(CQZRTObject::StoreMemory(archive, "A", "abcdefghij", 10));
    EXPECT_EQ(archive.Bytes(), HeaderA(10) + "abcdefghij");
    EXPECT_TRUE(CQZRTObject::StoreMemory(empty, "A", nullptr, 0));
    EXPECT_EQ(empty.Bytes(), HeaderA(0));
    EXPECT_FALSE(CQZRTObject::StoreMemory(refused, "A", nullptr, 4));
    EXPECT_TRUE(refused.Bytes().empty());

    RecordingArchive shortChunk(HeaderA(2) + "xy"), longChunk(HeaderA(4) + "wxyz");
    char buffer[4] = {'-', '-', '-', '-'};
    EXPECT_TRUE(CQZRTObject::LoadMemory(shortChunk, "A", buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "xy--");
    char two[2] = {};
    EXPECT_TRUE(CQZRTObject::LoadMemory(longChunk, "A", two, 2));
    EXPECT_EQ(std::string(two, 2), "wx");
    RecordingArchive otherName(ChunkBytes("B", "wxyz"));
    EXPECT_FALSE(CQZRTObject::LoadMemory(otherName, "A", two, 2));
}

TEST_F(RTObject, StorePropertyNestsTheBlockBehindTypeAndIdentifier) {
    CPProperty property = MakeProperty(0x12345678, kRootGuid, "xyz");
    RecordingArchive archive;
    ASSERT_TRUE(CQZRTObject::StoreProperty(archive, "A", property));
    const std::string guidBytes(
        "\x01\x4E\x1F\x6B\x7A\x2C\xCF\x11"
        "\x8E\x3D\x00\x00\xC4\xA5\x1B\x77",
        16);
    EXPECT_EQ(archive.Bytes(),
              HeaderA(28 + 3) + "\x78\x56\x34\x12" + guidBytes + HeaderA(3) + "xyz");

    CPProperty loaded = MakeProperty(0x99, GUID{}, "old contents");
    archive.Rewind();
    ASSERT_TRUE(CQZRTObject::LoadProperty(archive, "A", loaded));
    EXPECT_EQ(loaded.GetPropertyType(), 0x12345678u);
    EXPECT_EQ(loaded.GetPropertyID(), kRootGuid);
    ASSERT_EQ(loaded.GetSize(), 3u);
    EXPECT_EQ(std::memcmp(loaded.GetCDataPtr(), "xyz", 3), 0);

    // A header too short for type and identifier: refused, the target left empty.
    RecordingArchive shortHeader(HeaderA(10) + "0123456789");
    CPProperty target = MakeProperty(0x5, kRootGuid, "keep");
    EXPECT_FALSE(CQZRTObject::LoadProperty(shortHeader, "A", target));
    EXPECT_EQ(target.GetPropertyType(), 0u);
    EXPECT_EQ(target.GetPropertyID(), GUID{});
    EXPECT_EQ(target.GetCDataPtr(), nullptr);
    EXPECT_EQ(shortHeader.OpenLayers(), 0u);
}

// With every layer taken, the property's chunk cannot open: nothing may be written into or
// read out of the innermost open chunk.
TEST_F(RTObject, AFailedPropertyOpenLeavesTheParentIntact) {
    CMemChunkArchive archive;
    ASSERT_TRUE(archive.Open(CHNK_WRITE));
    for (unsigned i = 0; i < CHNK_MAX_LAYERS; ++i) ASSERT_EQ(archive.Chnk_Open("L", CHNK_WRITE), i);
    ASSERT_EQ(archive.Chnk_Write("payload", 7), 7u);
    CPProperty property = MakeProperty(0x7, kRootGuid, "block");
    EXPECT_FALSE(CQZRTObject::StoreProperty(archive, "P", property));
    EXPECT_FALSE(CQZRTObject::StoreMemory(archive, "P", "block", 5));
    ASSERT_EQ(archive.Chnk_Write("tail", 4), 4u);
    ASSERT_TRUE(archive.Close());

    ASSERT_TRUE(archive.Open(CHNK_READ));
    unsigned innermost = 0;
    for (unsigned i = 0; i < CHNK_MAX_LAYERS; ++i) innermost = archive.Chnk_Open("L", CHNK_READ);
    ASSERT_EQ(innermost, CHNK_MAX_LAYERS - 1);
    EXPECT_EQ(archive.Chnk_GetSize(innermost), 11u);
    CPProperty loaded;
    EXPECT_FALSE(CQZRTObject::LoadProperty(archive, "L", loaded));
    char buffer[16] = {};
    EXPECT_FALSE(CQZRTObject::LoadMemory(archive, "L", buffer, sizeof buffer));
    ASSERT_EQ(archive.Chnk_Read(buffer, 11), 11u);
    EXPECT_EQ(std::string(buffer, 11), "payloadtail");
    archive.Close();
}

}  // namespace
}  // namespace qzo::test
