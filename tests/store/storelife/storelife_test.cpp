// StoreLife: an object's road from creation through commits, undo, redo and compaction, checked
// through the public API and against the bytes of its file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qzobj/store/objfile/locfile_format.h"
#include "store/storelife/storelife_support.h"

namespace qzo::test::storelife {
namespace {

namespace fmt = qzo::store::object_file_format;

Locator& Self(CQZObject* object) {
    return const_cast<Locator&>(object->GetLocator());
}

// Commits `payload` as the object's next version.
bool CommitPayload(ObjectHolder& held, const std::string& payload, DWORD flags = 0) {
    held.payload()->payload = payload;
    return held.object->Commit(flags) != FALSE;
}

using StoreLife = LifeTest;

TEST_F(StoreLife, WriterFileEndsWithItsAccessRecordWhileOpen) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    const std::string bytes = FileBytes(where);
    ASSERT_EQ(bytes.size(), Index(where).header.dwDataEnd + 168u);
    EXPECT_EQ(bytes.substr(bytes.size() - 168, 4), "IAZQ");
    held.Reset();
    EXPECT_EQ(FileBytes(where).size(), Index(where).header.dwDataEnd);
}

// A version whose last 168 bytes look like a writer's access record must survive the next
// writer's open, which replaces a dead writer's record at the end of the file.
TEST_F(StoreLife, VersionEndingLikeAnAccessRecordSurvivesTheNextWriter) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    const std::string payload = std::string(32, 'x') + "IAZQ" + std::string(164, 'y');
    ASSERT_TRUE(CommitPayload(held, payload));
    held.Reset();
    const std::string closed = FileBytes(where);
    EXPECT_NE(closed.substr(closed.size() - 168, 4), "IAZQ");

    Locator writer(where);
    DWORD result = 0;
    ObjectHolder reopened(writer.RestoreObject(LOCATOR_ACCESS_RWE, 1000, 0, &result));
    ASSERT_NE(reopened.object, nullptr) << result;
    EXPECT_EQ(reopened.payload()->payload, payload);
    reopened.Reset();
    EXPECT_EQ(RestoredPayload(where), payload);
    EXPECT_EQ(FileBytes(where), closed);
}

TEST_F(StoreLife, CreateRestoreCommitUndoRedoPurge) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    ASSERT_TRUE(CommitPayload(held, "second"));
    ASSERT_TRUE(CommitPayload(held, "third"));
    EXPECT_EQ(held.object->QueryVersion(), 3u);
    EXPECT_EQ(RestoredPayload(where), "third");

    unsigned undo = 0, redo = 0;
    ASSERT_TRUE(held.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 2u);
    EXPECT_EQ(redo, 0u);

    ASSERT_TRUE(held.object->UnwindObject(-1, TRUE));
    EXPECT_EQ(held.payload()->payload, "second");
    EXPECT_EQ(held.object->QueryVersion(), 2u);
    EXPECT_EQ(RestoredPayload(where), "second");
    ASSERT_TRUE(held.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 1u);

    ASSERT_TRUE(held.object->UnwindObject(1, TRUE));
    EXPECT_EQ(held.payload()->payload, "third");
    EXPECT_EQ(RestoredPayload(where), "third");

    ASSERT_TRUE(Self(held.object).Purge());
    ASSERT_TRUE(held.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 0u);
    EXPECT_EQ(redo, 0u);
    EXPECT_EQ(RestoredPayload(where), "third");
    held.Reset();

    const fmt::HistoryIndex index = Index(where);
    EXPECT_EQ(index.header.dwCurrent, 0u);
    EXPECT_EQ(index.slots[0].dwModifyCnt, 3u);
    EXPECT_EQ(index.slots[0].dwOffset, 10240u);
    for (DWORD slot = 1; slot < 64; ++slot) EXPECT_EQ(index.slots[slot].dwModifyCnt, 0u);
    EXPECT_EQ(FileBytes(where).size(), index.header.dwDataEnd);
    EXPECT_EQ(RestoredPayload(where), "third");
}

TEST_F(StoreLife, NTOnlyCommitChangesNoSlotIndexOrLength) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    const std::string before = FileBytes(where);
    held.payload()->ntBytes = 100;
    ASSERT_TRUE(held.object->Commit(LOCATOR_COMMIT_NTONLY));
    const std::string after = FileBytes(where);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(0, 7920), before.substr(0, 7920));
    EXPECT_NE(after.substr(7920, 2320), before.substr(7920, 2320));
    EXPECT_EQ(after.substr(10240), before.substr(10240));
}

TEST_F(StoreLife, ReaderRefreshSeesAnotherVersionWithTheSameModifyCnt) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    ASSERT_TRUE(CommitPayload(held, "old"));

    Locator readerLocator(where);
    DWORD result = 1;
    ObjectHolder reader(readerLocator.RestoreObject(LOCATOR_ACCESS_READ, 1000, 0, &result));
    ASSERT_NE(reader.object, nullptr);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(reader.payload()->payload, "old");

    ASSERT_TRUE(held.object->UnwindObject(-1, TRUE));
    ASSERT_TRUE(CommitPayload(held, "new"));
    EXPECT_EQ(held.object->QueryVersion(), reader.object->QueryVersion());

    ASSERT_TRUE(reader.object->RefreshObject(LOCATOR_ACCESS_READ, 1000, &result));
    EXPECT_EQ(reader.payload()->payload, "new");
}

}  // namespace
}  // namespace qzo::test::storelife
