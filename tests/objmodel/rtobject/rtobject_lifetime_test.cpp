// The run-time object's life: lock counts across threads, the single free, refusal of objects
// whose signature was cleared, copies, allocation from the object heap and the class record.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "qzobj/memory.h"
#include "qzobj/objmodel.h"
#include "objmodel/rtobject/rtobject_test_support.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

namespace qzo::test {
namespace {

using RTObject = QzoTest;

DWORD ObjHeapBlocks() {
    DWORD count = 0;
    memory::ObjHeap().GetHeapState(&count);
    return count;
}

TEST_F(RTObject, ClassRecordDescribesTheRootClass) {
    const GUID guid = {
        0x6B1F4E01, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};
    EXPECT_EQ(classCQZRTObject.cbSize, sizeof(CQZRuntimeClass));
    EXPECT_EQ(classCQZRTObject.dwObjSize, sizeof(CQZRTObject));
    EXPECT_STREQ(classCQZRTObject.szClassName, "CQZRTObject");
    EXPECT_EQ(classCQZRTObject.uNameID, 40002u);
    EXPECT_EQ(classCQZRTObject.guid, guid);
    EXPECT_EQ(classCQZRTObject.dwFlags & QZRTC_DECLAREDFLAGS, 0x01u);
    EXPECT_EQ(classCQZRTObject.pfnCreateObject, &CQZRTObject::CreateObject);
    EXPECT_EQ(classCQZRTObject.pfnClassCtrlProc, nullptr);
    EXPECT_EQ(classCQZRTObject.dwVTblVersion, 1u);
    EXPECT_EQ(CQZRTObject::GetClassRegisterPtr(), &classCQZRTObject);
}

TEST_F(RTObject, TheRootClassIsRegisteredWhenTheLibraryLoads) {
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&classCQZRTObject.guid, classCQZRTObject.dwHashID),
              &classCQZRTObject);
    EXPECT_EQ(classCQZRTObject.dwStatus, QZRTC_REGISTERED);
}

TEST_F(RTObject, CreatedObjectsComeFromTheObjectHeapAndGoBackAtTheLastRelease) {
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
    object->DelObject();
    EXPECT_EQ(ObjHeapBlocks(), before);
}

TEST_F(RTObject, LockCountsFromEightThreadsEndInOneDestruction) {
    constexpr int kThreads = 8;
    CountedObject::destroyed = 0;
    auto* object = new CountedObject;
    ASSERT_NE(object, nullptr);
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
        ASSERT_NE(object, nullptr);
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
    object->DelObject();
    EXPECT_EQ(object->freed.load(), 1);
    EXPECT_EQ(object->QueryLockCnt(), 0u);
    object->DelObject();
    EXPECT_EQ(object->freed.load(), 1);
    EXPECT_EQ(object->QueryLockCnt(), 0u);
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
    ASSERT_NE(source, nullptr);
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

TEST_F(RTObject, BaseStoresAndLoadsNothing) {
    CQZRTObject* object = CQZRTObject::CreateObject();
    ASSERT_NE(object, nullptr);
    RecordingArchive archive;
    EXPECT_TRUE(object->StoreData(archive));
    EXPECT_TRUE(object->LoadData(archive));
    EXPECT_TRUE(archive.Log().empty());
    object->DelObject();
}

}  // namespace
}  // namespace qzo::test
