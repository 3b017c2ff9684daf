// StoreLife: an object's road from creation through commits, undo, redo and compaction, checked
// through the public API and against the bytes of its file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qzobj/store/locfile_format.h"
#include "storelife/storelife_support.h"

namespace qzo::test::storelife {
namespace {

namespace fmt = qzo::store::object_file_format;

std::string Hex(const std::string& bytes, size_t offset, size_t count) {
    std::string text;
    char cell[4];
    for (size_t i = offset; i < offset + count && i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, "%02X ", static_cast<unsigned char>(bytes[i]));
        text += cell;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

std::u16string Comment(const fmt::HistorySlot& slot) {
    std::u16string text;
    for (WCHAR unit : slot.szComment) {
        if (!unit) break;
        text += unit;
    }
    return text;
}

Locator& Self(CQZObject* object) {
    return const_cast<Locator&>(object->GetLocator());
}

// Commits `payload` as the object's next version.
bool CommitPayload(ObjectHolder& held, const std::string& payload, DWORD flags = 0) {
    held.payload()->payload = payload;
    return held.object->Commit(flags) != FALSE;
}

using StoreLife = LifeTest;

TEST_F(StoreLife, FreshObjectFileHoldsVersionOneInSlotZero) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCQZObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    EXPECT_GE(where.dwObjID, 1024u);
    EXPECT_EQ(held.object->QueryVersion(), 1u);
    held.Reset();

    const std::string bytes = FileBytes(where);
    ASSERT_EQ(bytes.size(), 10260u);
    const fmt::HistoryIndex index = Index(where);
    EXPECT_EQ(index.header.dwSize, 5684u);
    EXPECT_EQ(index.header.dwCurrent, 0u);
    EXPECT_EQ(index.header.dwDataEnd, 10260u);
    EXPECT_EQ(index.header.dwSlotCount, 64u);
    EXPECT_EQ(index.slots[0].dwModifyCnt, 1u);
    EXPECT_EQ(index.slots[0].dwOffset, 10240u);
    EXPECT_EQ(index.slots[0].dwEnd, 10260u);
    EXPECT_EQ(index.slots[0].dwModifyID, 0u);
    EXPECT_EQ(Comment(index.slots[0]), u"Create");
    for (DWORD slot = 1; slot < 64; ++slot) EXPECT_EQ(index.slots[slot].dwModifyCnt, 0u);
    EXPECT_EQ(Hex(bytes, 7920, 8), "8D 00 37 34 00 00 00 00");
    EXPECT_EQ(bytes.substr(7928, 10240 - 7928), std::string(10240 - 7928, '\0'));
    EXPECT_EQ(Hex(bytes, 10240, 20), "8D 00 37 34 0C 00 00 00 8D 00 37 34 04 00 00 00 01 00 00 00");
    EXPECT_EQ(bytes.substr(0, 4), "FOZQ");
    // The class reference file sits in the class folder.
    char name[64];
    std::snprintf(name, sizeof name, "proj/OBJ/%08X/CQZObject.Classname", where.dwHashID);
    EXPECT_EQ(ReadFileBytes(TempPath(name)).size(), 548u);
}

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

TEST_F(StoreLife, SeventyCommitsKeepSlotZeroAndReuseTheRing) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    for (int i = 2; i <= 71; ++i) ASSERT_TRUE(CommitPayload(held, "v" + std::to_string(i)));
    fmt::HistoryIndex index = Index(where);
    EXPECT_EQ(index.slots[0].dwModifyCnt, 1u);
    EXPECT_EQ(index.header.dwCurrent, 7u);
    EXPECT_EQ(index.slots[7].dwModifyCnt, 71u);
    EXPECT_EQ(index.slots[8].dwModifyCnt, 9u);

    tagUNDOLIST list[70] = {};
    ASSERT_EQ(held.object->GetUndoRedoList(list, 70), 64u);
    EXPECT_EQ(list[0].dwModifyCnt, 1u);
    EXPECT_EQ(list[1].dwModifyCnt, 9u);
    EXPECT_EQ(list[63].dwModifyCnt, 71u);
    EXPECT_EQ(std::u16string(list[63].szComment), u"Edit");
    EXPECT_EQ(std::u16string(list[0].szComment), u"Create");

    EXPECT_FALSE(held.object->UnwindObject(5, FALSE));
    ASSERT_TRUE(held.object->UnwindObject(9, FALSE));
    EXPECT_EQ(held.payload()->payload, "v9");
    held.Reset();
    EXPECT_EQ(RestoredPayload(where), "v9");
    EXPECT_EQ(FileBytes(where).size(), Index(where).header.dwDataEnd);
}

TEST_F(StoreLife, CommitAfterUndoDropsTheRedoVersions) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    for (const char* text : {"b", "c", "d"}) ASSERT_TRUE(CommitPayload(held, text));
    ASSERT_TRUE(held.object->UnwindObject(-2, TRUE));
    EXPECT_EQ(held.payload()->payload, "b");
    ASSERT_TRUE(CommitPayload(held, "b2"));
    unsigned undo = 0, redo = 0;
    ASSERT_TRUE(held.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 2u);
    EXPECT_EQ(redo, 0u);
    tagUNDOLIST list[8] = {};
    ASSERT_EQ(held.object->GetUndoRedoList(list, 8), 3u);
    EXPECT_EQ(list[2].dwModifyCnt, 3u);
    held.Reset();
    EXPECT_EQ(RestoredPayload(where), "b2");
    EXPECT_EQ(FileBytes(where).size(), Index(where).header.dwDataEnd);
}

TEST_F(StoreLife, OversizedNTBlockFailsTouchingNothing) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    ASSERT_TRUE(CommitPayload(held, "kept"));
    const std::string before = FileBytes(where);
    held.payload()->ntBytes = 2400;
    EXPECT_FALSE(CommitPayload(held, "lost"));
    EXPECT_EQ(held.object->QueryVersion(), 2u);
    EXPECT_EQ(FileBytes(where), before);
    held.payload()->ntBytes = 2000;
    EXPECT_TRUE(CommitPayload(held, "fits"));
    held.Reset();
    EXPECT_EQ(RestoredPayload(where), "fits");
}

TEST_F(StoreLife, FailedStoreDataKeepsThePreviousVersionCurrent) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    ASSERT_TRUE(CommitPayload(held, "kept"));
    const std::string before = FileBytes(where);
    held.payload()->failStore = true;
    EXPECT_FALSE(CommitPayload(held, "lost"));
    EXPECT_EQ(held.object->QueryVersion(), 2u);
    EXPECT_EQ(FileBytes(where), before);
    held.payload()->failStore = false;
    ASSERT_TRUE(CommitPayload(held, "next"));
    EXPECT_EQ(held.object->QueryVersion(), 3u);
    held.Reset();
    EXPECT_EQ(RestoredPayload(where), "next");
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

TEST_F(StoreLife, TargetZeroIsRefused) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    ASSERT_TRUE(CommitPayload(held, "two"));
    ASSERT_TRUE(CommitPayload(held, "three"));
    EXPECT_FALSE(held.object->UnwindObject(0, FALSE));
    EXPECT_FALSE(held.object->UnwindObject(-3, TRUE));
    held.Reset();

    Locator history(where);
    EXPECT_FALSE(history.SetHistoryIndex(0));
    EXPECT_FALSE(history.SetHistoryIndex(7));
    EXPECT_EQ(history.QueryModifyCnt(), 3u);
    ASSERT_TRUE(history.SetHistoryIndex(2));
    EXPECT_EQ(history.QueryModifyCnt(), 2u);
    EXPECT_EQ(RestoredPayload(where), "two");
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

TEST_F(StoreLife, RestoreOfAMissingOrDamagedFileFailsWith128) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    held.Reset();
    std::string bytes = FileBytes(where);
    bytes[4] = 0x7F;  // header size
    WriteFileBytes(ObjectFile(where), bytes);
    DWORD result = 0;
    EXPECT_EQ(RestoredPayload(where, &result), "<none>");
    EXPECT_EQ(result, 128u);
    EXPECT_EQ(FileBytes(where), bytes);

    // A class whose LoadData fails gives a null restore with a non-zero result too.
    Locator again;
    ObjectHolder other(again.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(other.object, nullptr);
    other.Reset();
    CPayloadObject::failLoad = true;
    EXPECT_EQ(RestoredPayload(again.GetLocation(), &result), "<none>");
    CPayloadObject::failLoad = false;
    EXPECT_EQ(result, 128u);

    Location missing = where;
    missing.dwObjID += 77;
    EXPECT_EQ(RestoredPayload(missing, &result), "<none>");
    EXPECT_EQ(result, 128u);
}

}  // namespace
}  // namespace qzo::test::storelife
