// The run-time object's self-checks: every AssertValid reason with its exact report, class
// tests, and objects whose virtual-table pointer was forged.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "qzobj/objmodel.h"
#include "qzobj/platform/guard.h"
#include "objmodel/rtobject/rtobject_test_support.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using RTObjectChecks = QzoTest;

const void* const kZeroTable[4] = {};

void PlainFunction() {}

// Overwrites the object's virtual-table pointer.
void ForgeTable(void* object, const void* table) {
    std::memcpy(object, &table, sizeof table);
}

std::string Report(const char* reason, int line, const char* file) {
    return std::string("\r\nAssertion [") + reason + "] failed! Line: " + std::to_string(line) +
           " File:" + file + "\r\n";
}

TEST_F(RTObjectChecks, ClassTestsFollowTheBaseChain) {
    auto* object = new CountedObject;
    ASSERT_NE(object, nullptr);
    DebugCapture capture;
    EXPECT_TRUE(object->AssertValid(QZRTOBJ_ASSERT_KIND, &classCQZRTObject, nullptr, "a.cpp", 1));
    EXPECT_TRUE(object->AssertValid(QZRTOBJ_ASSERT_TYPE, &classCountedObject, nullptr, "a.cpp", 2));
    EXPECT_TRUE(object->AssertValid(0, nullptr, nullptr, "a.cpp", 3));
    EXPECT_TRUE(object->AssertValid(0x10002, &classCountedObject, nullptr, "a.cpp", 4));
    EXPECT_EQ(capture.Count(), 0u);

    EXPECT_TRUE(object->IsKindOf(&classCQZRTObject));
    EXPECT_TRUE(object->IsKindOf(&classCountedObject));
    EXPECT_FALSE(object->IsKindOf(&classUnrelatedObject));
    EXPECT_FALSE(object->IsKindOf(nullptr));

    CQZRuntimeClass* family[] = {&classUnrelatedObject, &classCQZRTObject, &classCountedObject};
    EXPECT_EQ(object->GetClassFamily(family, 3), 1u);
    EXPECT_EQ(object->GetClassFamily(family, 1), 0xFFFFFFFFu);
    object->DelObject();
}

TEST_F(RTObjectChecks, FailedAssertionsReportTheirReasonAndTheStack) {
    auto* object = new CountedObject;
    ASSERT_NE(object, nullptr);
    struct Case {
        DWORD mode;
        const CQZRuntimeClass* record;
        const char* reason;
    };
    const Case cases[] = {
        {QZRTOBJ_ASSERT_TYPE, &classCQZRTObject, "TYPE"},
        {QZRTOBJ_ASSERT_KIND, &classUnrelatedObject, "KIND"},
        {QZRTOBJ_ASSERT_KIND, nullptr, "KIND"},
        {0x10001, &classUnrelatedObject, "TYPE"},
    };
    for (const Case& c : cases) {
        DebugCapture capture;
        EXPECT_FALSE(object->AssertValid(c.mode, c.record, nullptr, "src/probe.cpp", 321));
        const auto messages = capture.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0].level, 0);
        EXPECT_EQ(messages[0].Utf8(), Report(c.reason, 321, "src/probe.cpp"));
        EXPECT_NE(capture.Text().find("Call stack:"), std::string::npos);
    }
    object->DelObject();
}

TEST_F(RTObjectChecks, ObjectModeRunsAssertObject) {
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

struct ProbeResults {
    BOOL valid;
    BOOL object;
    BOOL plausible;
    BOOL kind;
    DWORD family;
};

// The checks on an object whose table was forged. The undefined-behaviour sanitizer's dynamic
// type check would stop at the call site itself, before the checks under test can refuse the
// object, so it is left out here.
__attribute__((no_sanitize("vptr"))) ProbeResults ProbeForged(CountedObject* object) {
    CQZRuntimeClass* family[] = {&classCQZRTObject};
    return {object->AssertValid(0, nullptr, nullptr, "forged.cpp", 55), object->AssertObject(),
            object->CQZRTObject::Assert(), object->IsKindOf(&classCQZRTObject),
            object->GetClassFamily(family, 1)};
}

TEST_F(RTObjectChecks, ForgedTablesAreRefusedWithoutACall) {
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
        const ProbeResults results = ProbeForged(object);
        EXPECT_FALSE(results.valid);
        EXPECT_TRUE(capture.Contains(Report("BAD ACCESS", 55, "forged.cpp")));
        EXPECT_FALSE(results.object);
        EXPECT_FALSE(results.plausible);
        EXPECT_FALSE(results.kind);
        EXPECT_EQ(results.family, 0xFFFFFFFFu);

        ForgeTable(object, genuine);
        EXPECT_TRUE(object->AssertObject());
        object->~CountedObject();
    }
}

}  // namespace
}  // namespace qzo::test

namespace qzo::test {
namespace {

// An object pointer into memory that cannot be read: the checks fail instead of faulting.
TEST_F(RTObjectChecks, UnreadableObjectsAreRefused) {
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

}  // namespace
}  // namespace qzo::test
