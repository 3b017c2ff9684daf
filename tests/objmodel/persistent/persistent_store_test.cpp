// A persistent object in a working project: the notices that need an object file (commit,
// release, refresh, copy on write, destruction, undo), forwards to the self-locator, and a
// refresh whose reload throws keeping its callbacks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "objmodel/persistent/persistent_support.h"
#include "qzobj/store.h"

namespace qzo::test::persistent {
namespace {

constexpr DWORD kRead = 0x80000000u;
constexpr DWORD kAll = 0xE0000000u;

class PersistentStore : public ProjectTest {
  protected:
    // A new stored object of the probe class, held with write access.
    CLoadProbeObject* Create() {
        Locator creator;
        return static_cast<CLoadProbeObject*>(creator.CreateObject(&classCLoadProbeObject, 0));
    }
};

TEST_F(PersistentStore, CommitNotifiesTheGradeAndClearsTheChanges) {
    NoticeLog log;
    ObjectRef object(Create());
    ASSERT_TRUE(object);
    EXPECT_EQ(object->QueryAccess() & kAll, kAll);
    EXPECT_EQ(object->QueryVersion(), 1u);
    log.Attach(*object.get());
    object->SetChanged(0, 4);
    object->SetModifyID(77);
    ASSERT_TRUE(object->Commit(0));
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{2, 4}}));
    EXPECT_EQ(object->QueryChangeGrade(), 0u);
    EXPECT_EQ(object->QueryChanged(), 0u);
    EXPECT_EQ(object->QueryChangeCnt(), 1u);
    EXPECT_EQ(object->QueryVersion(), 2u);
    EXPECT_EQ(std::u16string(object->GetUndoComment()), u"Edit");
    unsigned undo = 9, redo = 9;
    EXPECT_TRUE(object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 0u);
    tagUNDOLIST list[4] = {};
    ASSERT_EQ(object->GetUndoRedoList(list, 4), 2u);
    EXPECT_FALSE(object->QuerySystemObject());
    WCHAR path[MAX_PATH];
    ASSERT_TRUE(object->GetObjectStoragePath(path, 0xFC00));
    const std::u16string storage(path);
    EXPECT_EQ(storage.substr(storage.size() - 12), u"Obj/storage/");
}

TEST_F(PersistentStore, ReleaseNotifiesAndCommitsThenRefuse) {
    NoticeLog log;
    ObjectRef object(Create());
    ASSERT_TRUE(object);
    log.Attach(*object.get());
    EXPECT_TRUE(object->ReleaseAccess());
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{3, 0}}));
    EXPECT_EQ(object->QueryAccess(), kRead);
    EXPECT_TRUE(object->ReleaseAccess());  // nothing left to give up
    object->SetChanged(0, 2);
    EXPECT_FALSE(object->Commit(0));
    EXPECT_EQ(log.Notices().size(), 1u);
    EXPECT_EQ(object->QueryChangeGrade(), 2u);
}

TEST_F(PersistentStore, CopyOnWriteRefreshAndUndo) {
    NoticeLog log;
    NoticeLog writerLog;
    ObjectRef reader(Create());
    ASSERT_TRUE(reader);
    reader->SetUndoComment(u"Second", nullptr, 0);
    ASSERT_TRUE(reader->Commit(0));
    ASSERT_TRUE(reader->ReleaseAccess());
    Location parent;
    parent.dwHashID = 0x12340056;
    parent.dwObjID = 2000;
    parent.dwProjID = 0x4321;
    reader->SetParentLocation(parent);
    log.Attach(*reader.get());

    DWORD result = 1;
    ObjectRef writer(reader->CopyOnWriteObject(kAll, 1000, &result));
    ASSERT_TRUE(writer) << result;
    EXPECT_EQ(result, 0u);
    EXPECT_NE(writer.get(), reader.get());
    EXPECT_EQ(writer->GetParentLocation().dwObjID, 2000u);
    EXPECT_EQ(log.Notices(),
              (std::vector<Notice>{{11, reinterpret_cast<uintptr_t>(writer.get())}}));
    // A writable object asks for no copy.
    result = 0;
    EXPECT_EQ(writer->CopyOnWriteObject(kAll, 1000, &result), nullptr);
    EXPECT_EQ(result, 0xFFFFFFFFu);

    static_cast<CLoadProbeObject*>(writer.get())->word = 42;
    ASSERT_TRUE(writer->Commit(0));
    log.Clear();
    ASSERT_TRUE(reader->RefreshObject(kRead, 1000, &result));
    EXPECT_EQ(static_cast<CLoadProbeObject*>(reader.get())->word, 42u);
    EXPECT_EQ(reader->QueryVersion(), writer->QueryVersion());
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4, 1}}));

    // Undo on the writer: a change of the highest grade.
    writerLog.Attach(*writer.get());
    const DWORD latest = writer->QueryVersion();
    ASSERT_TRUE(writer->UnwindObject(-1, TRUE));
    EXPECT_EQ(writer->QueryVersion(), latest - 1);
    EXPECT_EQ(writer->QueryChangeGrade(), 0xFFFFFFFFu);
    EXPECT_EQ(writerLog.Notices(), (std::vector<Notice>{{9, 0xFFFFFFFF}}));
    EXPECT_FALSE(writer->UnwindObject(0, FALSE));
    writer.Reset();  // gives up its write access

    // An older version (the writer undid one step) and more access than before.
    log.Clear();
    ASSERT_TRUE(reader->RefreshObject(kAll, 1000, &result));
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4, 0x3}}));
}

TEST_F(PersistentStore, RefreshKeepsItsCallbacksWhenTheReloadThrows) {
    NoticeLog log;
    ObjectRef reader(Create());
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->ReleaseAccess());
    log.Attach(*reader.get());
    {
        ObjectRef writer(Locator::RestoreObject(reader->GetLocator().GetLocation(), kAll, 1000));
        ASSERT_TRUE(writer);
        static_cast<CLoadProbeObject*>(writer.get())->word = 9;
        ASSERT_TRUE(writer->Commit(0));
    }
    log.Clear();
    CLoadProbeObject::throwOnLoad = true;
    DWORD result = 0;
    const BOOL refreshed = reader->RefreshObject(kRead, 1000, &result);
    CLoadProbeObject::throwOnLoad = false;
    EXPECT_FALSE(refreshed);
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_EQ(reader->NotifyObject(4096, 3), 1u);
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{4096, 3}}));
    // The object file is not left locked: the next refresh goes through.
    log.Clear();
    ASSERT_TRUE(reader->RefreshObject(kRead, 1000, &result)) << result;
    EXPECT_EQ(static_cast<CLoadProbeObject*>(reader.get())->word, 9u);
    EXPECT_EQ(log.Codes(), (std::vector<DWORD>{4}));
}

TEST_F(PersistentStore, DestroyNotifiesThenDropsTheReference) {
    NoticeLog log;
    CQZObject* object = Create();
    ASSERT_NE(object, nullptr);
    log.Attach(*object);
    const Location location = object->GetLocator().GetLocation();
    ASSERT_TRUE(object->DestroyObject(1));
    const std::vector<DWORD> codes = log.Codes();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], 6u);
    EXPECT_EQ(codes.back(), 5u);
    EXPECT_EQ(Locator::RestoreObject(location, kRead, 100), nullptr);
}

TEST_F(PersistentStore, TemporaryObjectsHoldAllAccessWithoutAFile) {
    NoticeLog log;
    Locator creator;
    CQZObject* object = creator.CreateObject(&classCQZObject, LOCATOR_CREATE_TEMPORARY);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->QueryAccess(), kAll);
    log.Attach(*object);
    EXPECT_FALSE(object->Commit(0));
    EXPECT_TRUE(log.Notices().empty());
    EXPECT_TRUE(object->ReleaseAccess());
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{3, 0}}));
    log.Clear();
    object->DelObject();
    EXPECT_EQ(log.Notices(), (std::vector<Notice>{{3, 0}, {5, 0}}));
}

TEST_F(PersistentStore, SystemObjectsAndWatchedIDs) {
    Locator creator;
    CQZObject* object = creator.CreateObjectAt(7, &classCQZObject, 0);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetLocator().GetObjID(), 7u);
    EXPECT_TRUE(object->QuerySystemObject());
    object->DelObject();
}

TEST_F(PersistentStore, SnoopSeesAnotherWritersCommit) {
    ObjectRef reader(Create());
    ASSERT_TRUE(reader);
    ASSERT_TRUE(reader->ReleaseAccess());
    EXPECT_FALSE(reader->Snoop());
    {
        ObjectRef writer(Locator::RestoreObject(reader->GetLocator().GetLocation(), kAll, 1000));
        ASSERT_TRUE(writer);
        ASSERT_TRUE(writer->Commit(0));
    }
    EXPECT_TRUE(reader->Snoop());
    DWORD result = 0;
    ASSERT_TRUE(reader->RefreshObject(kRead, 1000, &result));
    EXPECT_FALSE(reader->Snoop());
}

TEST_F(PersistentStore, CopyModeOneMovesTheParentIntoTheWorkingProject) {
    ObjectRef object(NewLooseObject());
    Location own;
    own.dwHashID = 0x3437008D;
    own.dwObjID = 1500;
    own.dwProjID = 0x1234;
    const_cast<Locator&>(object->GetLocator()) = own;
    Location parent = own;
    parent.dwObjID = 1499;
    object->SetParentLocation(parent);
    Locator::SetCopyMode(1);
    EXPECT_TRUE(object->CopyObject());
    EXPECT_EQ(object->GetParentLocation().dwProjID, projectID_);
    // A parent in another project than the object's own stays where it is.
    parent.dwProjID = 0x5678;
    object->SetParentLocation(parent);
    EXPECT_TRUE(object->CopyObject());
    EXPECT_EQ(object->GetParentLocation().dwProjID, 0x5678u);
    Locator::SetCopyMode(0);
}

TEST_F(PersistentStore, DestroyingATemporaryObjectDropsIt) {
    NoticeLog log;
    Locator creator;
    CQZObject* object = creator.CreateObject(&classCQZObject, LOCATOR_CREATE_TEMPORARY);
    ASSERT_NE(object, nullptr);
    log.Attach(*object);
    EXPECT_TRUE(object->DestroyObject(0));
    ASSERT_FALSE(log.Codes().empty());
    EXPECT_EQ(log.Codes().back(), 5u);
}

}  // namespace
}  // namespace qzo::test::persistent
