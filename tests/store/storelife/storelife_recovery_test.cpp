// StoreLifeRecovery: compaction when the current data overlap their destination, the repair a
// writer makes of what an interrupted commit left behind the data end, and the 2 GiB bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "store/storelife/storelife_support.h"

namespace qzo::test::storelife {
namespace {

namespace fmt = qzo::store::object_file_format;

using StoreLifeRecovery = LifeTest;

Locator& Self(CQZObject* object) {
    return const_cast<Locator&>(object->GetLocator());
}

// Writes the index back into the file bytes.
void PutIndex(std::string& bytes, const fmt::HistoryIndex& index) {
    fmt::IndexBytes raw{};
    fmt::EncodeIndex(index, raw);
    std::memcpy(bytes.data() + fmt::kIndexOffset, raw, fmt::kIndexSize);
}

TEST_F(StoreLifeRecovery, PurgeMovesOverlappingCurrentDataAsideFirst) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    // Version 2 starts right behind version 1 and is longer than it: compacting it to 10240
    // overlaps its own bytes.
    held.payload()->payload = std::string(3000, 'x') + "end";
    ASSERT_TRUE(held.object->Commit(0));
    ASSERT_TRUE(Self(held.object).Purge());
    held.Reset();
    const fmt::HistoryIndex index = Index(where);
    EXPECT_EQ(index.header.dwCurrent, 0u);
    EXPECT_EQ(index.slots[0].dwModifyCnt, 2u);
    for (DWORD slot = 1; slot < 64; ++slot) EXPECT_EQ(index.slots[slot].dwModifyCnt, 0u);
    EXPECT_EQ(FileBytes(where).size(), index.header.dwDataEnd);
    EXPECT_EQ(RestoredPayload(where), std::string(3000, 'x') + "end");
}

TEST_F(StoreLifeRecovery, CommitWithPurgeAndFlushCompacts) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    held.payload()->payload = "one";
    ASSERT_TRUE(held.object->Commit(0));
    held.payload()->payload = "two";
    ASSERT_TRUE(held.object->Commit(LOCATOR_COMMIT_PURGE | LOCATOR_COMMIT_FLUSH));
    unsigned undo = 9, redo = 9;
    ASSERT_TRUE(held.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 0u);
    EXPECT_EQ(redo, 0u);
    held.Reset();
    EXPECT_EQ(Index(where).slots[0].dwModifyCnt, 3u);
    EXPECT_EQ(RestoredPayload(where), "two");
}

TEST_F(StoreLifeRecovery, WriterTrimsBytesBehindTheDataEndReaderDoesNot) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    held.payload()->payload = "kept";
    ASSERT_TRUE(held.object->Commit(0));
    held.Reset();
    std::string bytes = FileBytes(where);
    bytes += std::string(1000, '\x5A');
    WriteFileBytes(ObjectFile(where), bytes);

    EXPECT_EQ(RestoredPayload(where), "kept");
    EXPECT_EQ(FileBytes(where), bytes);

    Locator writer(where);
    DWORD result = 1;
    ObjectHolder edited(writer.RestoreObject(LOCATOR_ACCESS_RWE, 1000, 0, &result));
    ASSERT_NE(edited.object, nullptr);
    edited.Reset();
    EXPECT_EQ(FileBytes(where).size(), Index(where).header.dwDataEnd);
    EXPECT_EQ(RestoredPayload(where), "kept");
}

TEST_F(StoreLifeRecovery, WriterListsAVersionWrittenJustBeforeTheCommitPoint) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    held.payload()->payload = "finished";
    ASSERT_TRUE(held.object->Commit(0));
    held.payload()->payload = "in flight";
    ASSERT_TRUE(held.object->Commit(0));
    held.Reset();
    // As if the process died after the new slot record and before the index header.
    std::string bytes = FileBytes(where);
    fmt::HistoryIndex index = Index(where);
    ASSERT_EQ(index.header.dwCurrent, 2u);
    index.header.dwCurrent = 1;
    index.header.dwDataEnd = index.slots[1].dwEnd;
    PutIndex(bytes, index);
    WriteFileBytes(ObjectFile(where), bytes);

    Locator reader(where);
    unsigned undo = 9, redo = 9;
    ASSERT_TRUE(reader.QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 0u);
    EXPECT_EQ(RestoredPayload(where), "finished");

    Locator writer(where);
    ObjectHolder edited(writer.RestoreObject(LOCATOR_ACCESS_RWE, 1000, 0, nullptr));
    ASSERT_NE(edited.object, nullptr);
    ASSERT_TRUE(edited.object->QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 1u);
    EXPECT_EQ(redo, 1u);
    ASSERT_TRUE(edited.object->UnwindObject(1, TRUE));
    EXPECT_EQ(edited.payload()->payload, "in flight");
    edited.Reset();
    EXPECT_EQ(FileBytes(where).size(), Index(where).header.dwDataEnd);
}

}  // namespace
}  // namespace qzo::test::storelife
