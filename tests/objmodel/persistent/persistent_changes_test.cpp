// A persistent object on its own: change tracking and its grades, the notices it sends and
// refuses, the undo comment, the parent location, copies, and the operations that need write
// access or a stored object refusing without them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "objmodel/persistent/persistent_support.h"
#include "qzobj/objmodel.h"

namespace qzo::test::persistent {
namespace {

using PersistentChanges = QzoTest;

std::u16string Comment(const CQZObject& object) {
    return std::u16string(object.GetUndoComment());
}

TEST_F(PersistentChanges, FreshObjectState) {
    ObjectRef object(NewLooseObject());
    ASSERT_TRUE(object);
    EXPECT_EQ(object->QueryLockCnt(), 1u);
    EXPECT_EQ(object->QueryVersion(), 0u);
    EXPECT_EQ(object->QueryChanged(), 0u);
    EXPECT_EQ(object->QueryChangeCnt(), 0u);
    EXPECT_EQ(object->QueryChangeGrade(), 0u);
    EXPECT_EQ(object->QueryTimestamp().dwLowDateTime, 0u);
    EXPECT_EQ(object->QueryTimestamp().dwHighDateTime, 0u);
    EXPECT_EQ(Comment(*object.get()), u"Edit");
    EXPECT_FALSE(object->GetLocator().IsValid());
    EXPECT_EQ(object->ObjProc(1, 2, 3), 0u);
    EXPECT_TRUE(object->ProjDestroy(0));
    EXPECT_TRUE(object->CopyObject());
    EXPECT_FALSE(object->QuerySystemObject());
}

TEST_F(PersistentChanges, GradesAndCounts) {
    NoticeLog log;
    ObjectRef object(NewLooseObject());
    log.Attach(*object.get());

    object->SignalChanged(1, 5);  // mode 1 only tells the callbacks
    EXPECT_EQ(object->QueryChangeGrade(), 0u);
    EXPECT_EQ(object->QueryChanged(), 0u);
    EXPECT_EQ(object->QueryChangeCnt(), 1u);
    object->SignalChanged(0, 5);
    EXPECT_EQ(object->QueryChangeGrade(), 5u);
    EXPECT_EQ(object->QueryChanged(), 0u);  // signalling never sets the changed bit
    object->SignalChanged(2, 3);            // a lower grade is reported but does not lower it
    EXPECT_EQ(object->QueryChangeGrade(), 5u);
    object->SetChanged(0, 7);
    EXPECT_EQ(object->QueryChangeGrade(), 7u);
    EXPECT_EQ(object->QueryChanged(), 1u);
    object->SetChanged(1, 2);
    EXPECT_EQ(object->QueryChangeGrade(), 7u);
    EXPECT_EQ(object->QueryChangeCnt(), 5u);
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{10, 0}, {9, 5}, {9, 3}, {9, 2}}));

    object->ClearChanged();
    EXPECT_EQ(object->QueryChangeGrade(), 0u);
    EXPECT_EQ(object->QueryChanged(), 0u);
    EXPECT_EQ(object->QueryChangeCnt(), 5u);
    EXPECT_EQ(log.Notices().size(), 4u);  // clearing tells nobody
}

TEST_F(PersistentChanges, UserNoticesStartAt4096) {
    NoticeLog log;
    ObjectRef object(NewLooseObject());
    log.Attach(*object.get());
    EXPECT_EQ(object->NotifyObject(4095, 1), 0u);
    EXPECT_EQ(object->NotifyObject(0, 1), 0u);
    EXPECT_EQ(object->NotifyObject(5, 1), 0u);
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_EQ(object->NotifyObject(4096, 42), 1u);
    EXPECT_EQ(object->NotifyObject(0xFFFFFFFF, 7), 1u);
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4096, 42}, {0xFFFFFFFF, 7}}));
}

int DropAfterFirst(void*, uintptr_t, uintptr_t& calls, uintptr_t&, uintptr_t) {
    ++*reinterpret_cast<int*>(calls);
    return 0;
}

TEST_F(PersistentChanges, CallbacksRegisterAndGo) {
    NoticeLog kept;
    NoticeLog removed;
    ObjectRef object(NewLooseObject());
    kept.Attach(*object.get());
    const DWORD handle = removed.Attach(*object.get());
    int dropCalls = 0;
    object->RegisterStateNotify(&DropAfterFirst, reinterpret_cast<uintptr_t>(&dropCalls), 0);
    object->NotifyObject(5000, 1);
    EXPECT_TRUE(object->UnregisterStateNotify(handle));
    object->NotifyObject(5001, 2);
    EXPECT_EQ(kept.Codes(), (std::vector<DWORD>{5000, 5001}));
    EXPECT_EQ(removed.Codes(), (std::vector<DWORD>{5000}));
    EXPECT_EQ(dropCalls, 1);  // a callback answering 0 is dropped
}

TEST_F(PersistentChanges, StoreOperationsRefuseWithoutAStoredObject) {
    NoticeLog log;
    ObjectRef object(NewLooseObject());
    log.Attach(*object.get());
    object->SetChanged(0, 3);
    EXPECT_EQ(object->QueryAccess(), 0x80000000u);
    EXPECT_FALSE(object->Commit(0));
    EXPECT_EQ(object->QueryChangeGrade(), 3u);  // nothing committed, nothing cleared
    EXPECT_TRUE(object->ReleaseAccess());       // no write access: nothing to give up
    DWORD result = 0;
    EXPECT_EQ(object->CopyOnWriteObject(0x80000000u, 100, &result), nullptr);
    EXPECT_EQ(result, 0xFFFFFFFFu);
    EXPECT_EQ(object->CopyOnWriteObject(0, 100, nullptr), nullptr);
    WCHAR path[MAX_PATH] = {u'x'};
    EXPECT_FALSE(object->GetObjectStoragePath(path, 0xFC00));
    EXPECT_EQ(path[0], 0);
    EXPECT_FALSE(object->GetObjectStoragePath(nullptr, 0xFC00));
    EXPECT_TRUE(log.Notices().empty());
}

TEST_F(PersistentChanges, UndoComments) {
    ObjectRef object(NewLooseObject());
    object->SetUndoComment(u"Trim clip", nullptr, 0);
    EXPECT_EQ(Comment(*object.get()), u"Trim clip");
    const std::u16string longText(40, u'L');
    object->SetUndoComment(longText.c_str(), nullptr, 0);
    EXPECT_EQ(Comment(*object.get()), longText.substr(0, 31));
    // A given text is taken as it is, even when a string ID comes with it.
    const HINSTANCE library = QZOBJ_ModuleFromAddress(&classCQZObject);
    object->SetUndoComment(u"Mine", library, 40001);
    EXPECT_EQ(Comment(*object.get()), u"Mine");
    object->SetUndoComment(nullptr, library, 40001);
    EXPECT_EQ(Comment(*object.get()), u"QZ base class");
    object->SetUndoComment(nullptr, library, 39999);
    EXPECT_EQ(Comment(*object.get()), u"");
}

TEST_F(PersistentChanges, ParentLocationDefaultsToTheObjectItself) {
    ObjectRef object(NewLooseObject());
    EXPECT_FALSE(object->GetParentLocation().IsValid());
    Location parent;
    parent.dwHashID = 0x12340056;
    parent.dwObjID = 1500;
    parent.dwProjID = 0x4321;
    parent.dwDataID = 9;
    parent.dwFlags = 0x01000000;
    EXPECT_TRUE(object->SetParentLocation(parent));
    const Location got = object->GetParentLocation();
    EXPECT_EQ(got.dwHashID, 0x12340056u);
    EXPECT_EQ(got.dwObjID, 1500u);
    EXPECT_EQ(got.dwProjID, 0x4321u);
    EXPECT_EQ(got.dwDataID, 9u);
    EXPECT_EQ(got.dwFlags, 0x01000000u);
    // In copy mode 0 a copy keeps its parent's project.
    Locator::SetCopyMode(0);
    EXPECT_TRUE(object->CopyObject());
    EXPECT_EQ(object->GetParentLocation().dwProjID, 0x4321u);
}

TEST_F(PersistentChanges, CopiesStartWithOneReferenceAndShareCallbacks) {
    NoticeLog log;
    ObjectRef source(NewLooseObject());
    source->Lock();
    source->Lock();
    ASSERT_EQ(source->QueryLockCnt(), 3u);
    source->SetChanged(0, 6);
    source->SetDelTrace();
    source->SetUndoComment(u"Copied", nullptr, 0);
    log.Attach(*source.get());

    ObjectRef copy(new CQZObject(*source.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->QueryLockCnt(), 1u);
    EXPECT_EQ(copy->QueryChangeGrade(), 6u);
    EXPECT_EQ(copy->QueryChanged(), 1u);
    EXPECT_EQ(copy->QueryChangeCnt(), 1u);
    EXPECT_EQ(Comment(*copy.get()), u"Copied");
    copy->ClearDelTrace();  // no watch line for the copy
    copy->NotifyObject(4100, 1);
    EXPECT_EQ(log.Codes(), (std::vector<DWORD>{4100}));
    source->ClearDelTrace();
    source->DelObject();
    source->DelObject();
}

TEST_F(PersistentChanges, LockAnswersOne) {
    ObjectRef object(NewLooseObject());
    EXPECT_EQ(object->Lock(), 1);
    EXPECT_EQ(object->QueryLockCnt(), 2u);
    object->DelObject();
    EXPECT_EQ(object->QueryLockCnt(), 1u);
}

}  // namespace
}  // namespace qzo::test::persistent
