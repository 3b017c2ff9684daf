// Stored bytes of the object store, byte for byte against the tests' own writer: heritage
// records, the cleared location's text, the root class's data and NT streams, undo list entries,
// and whole object files as creation and the first commit leave them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qzobj/heritage.h"
#include "qzobj/history.h"
#include "qzobj/store.h"
#include "store/objects/store_test_support.h"

namespace qzo::test::store {
namespace {

Bytes BytesOf(const void* data, size_t size) {
    const auto* at = static_cast<const uint8_t*>(data);
    return Bytes(at, at + size);
}

Bytes ArchiveBytes(CMemChunkArchive& archive) {
    CPMemoryFile content = archive.GetContent();
    return BytesOf(content.GetDataPtr(), content.GetSize());
}

Bytes Word(uint32_t value) {
    Bytes bytes(4);
    Put32(bytes, 0, value);
    return bytes;
}

// The NT block and version stream of the test class.
Bytes TestNTBytes(uint32_t ntValue) {
    return Concat({RootNTBytes(), Chunk(ChunkID(kNTValueChunk), Word(ntValue))});
}
Bytes TestVersionBytes(uint32_t version, const Bytes& payload) {
    return Concat({RootVersionBytes(version), Chunk(ChunkID(kPayloadChunk), payload)});
}

ImageIndex OneVersionIndex(uint32_t classFlags, uint32_t size) {
    ImageIndex index;
    index.classFlags = classFlags;
    index.current = 0;
    index.dataEnd = kVersionsOffset + size;
    index.slots[0] = {1, kVersionsOffset, kVersionsOffset + size, 0, u"Create"};
    return index;
}

TEST(StoreGoldenRecords, RootHeritageRecordIsMarkedHashAndGuid) {
    ASSERT_EQ(classCQZObject.dwHashID, kRootHashID);
    tagOBJHERITAGE record;
    std::memset(&record, 0xAB, sizeof record);
    record.Set(&classCQZObject);
    const Bytes stored = BytesOf(&record, sizeof record);
    EXPECT_TRUE(SameBytes(stored, HeritageBytes(ClassOf(classCQZObject))));
    EXPECT_EQ(Get32(stored, 0), 548u);
    EXPECT_EQ(Get32(stored, 4), 0x3437FC8Du);
    EXPECT_EQ(Get32(stored, 8), 0x6B1FB200u);
    EXPECT_EQ(0, std::memcmp(&stored[12], &kRootGuid[4], 12));
    EXPECT_EQ(Get32(stored, 24) & QZRTC_DECLAREDFLAGS, 0x81u);
}

TEST(StoreGoldenRecords, EmptyHeritageRecordsHoldNoStaleBytes) {
    tagOBJHERITAGE record;
    std::memset(&record, 0xAB, sizeof record);
    record.Init();
    EXPECT_TRUE(SameBytes(BytesOf(&record, sizeof record), EmptyHeritageBytes()));
    std::memset(&record, 0xCD, sizeof record);
    record.Set(nullptr);
    EXPECT_TRUE(SameBytes(BytesOf(&record, sizeof record), EmptyHeritageBytes()));
}

TEST(StoreGoldenRecords, ClearedLocationText) {
    const std::u16string expected = u"AAMPAAAAPPPPPPPPAAMPAAAAAAAAAAAAAAAAAAAA";
    Location location;
    location.dwFlags = 0x12345678u;  // nothing of it survives Init
    location.Init();
    WCHAR text[LOCATION_TEXT_CHARS] = {};
    ASSERT_TRUE(location.GetLocationAsString(text, LOCATION_TEXT_CHARS));
    EXPECT_EQ(std::u16string(text), expected);
    Locator locator;
    WCHAR locatorText[LOCATION_TEXT_CHARS] = {};
    ASSERT_TRUE(locator.GetLocationAsString(locatorText, LOCATION_TEXT_CHARS));
    EXPECT_EQ(std::u16string(locatorText), expected);
}

TEST(StoreGoldenRecords, RootDataAndNTStreams) {
    ObjectRef object(static_cast<CQZObject*>(CQZObject::CreateObject()));
    ASSERT_NE(object, nullptr);
    {
        CMemChunkArchive archive;
        ASSERT_TRUE(archive.Open(0x40000000u));
        ASSERT_TRUE(object->StoreData(archive));
        ASSERT_TRUE(archive.Close());
        const Bytes data = ArchiveBytes(archive);
        EXPECT_TRUE(SameBytes(data, {0x8D, 0x00, 0x37, 0x34, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0x00,
                                     0x37, 0x34, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
        EXPECT_TRUE(SameBytes(data, RootVersionBytes(0)));
    }
    {
        CMemChunkArchive archive;
        ASSERT_TRUE(archive.Open(0x40000000u));
        ASSERT_TRUE(object->StoreNT(archive));
        ASSERT_TRUE(archive.Close());
        EXPECT_TRUE(SameBytes(ArchiveBytes(archive), {0x8D, 0x00, 0x37, 0x34, 0, 0, 0, 0}));
    }
}

TEST(StoreGoldenRecords, UndoListEntryIsSeventySixBytes) {
    tagUNDOLIST entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwModifyCnt = 0x11223344u;
    entry.dwSizeKB = 65;
    const std::u16string comment = u"Resize clip";
    std::copy(comment.begin(), comment.end(), entry.szComment);
    entry.dwModifyID = 0xA5A5F00Du;
    EXPECT_TRUE(SameBytes(BytesOf(&entry, sizeof entry),
                          UndoEntryBytes(0x11223344u, 65, comment, 0xA5A5F00Du)));
}

using StoreGolden = StoreTest;

TEST_F(StoreGolden, FreshRootObjectFileIsTenThousandTwoHundredSixtyBytes) {
    Locator creator;
    ObjectRef object(creator.CreateObject(&classCQZObject, 0));
    ASSERT_NE(object, nullptr);
    const Location location = object->GetLocator().GetLocation();
    EXPECT_EQ(location.dwHashID, kRootHashID);
    EXPECT_EQ(location.dwProjID, ProjectID());
    EXPECT_GE(location.dwObjID, 1024u);
    EXPECT_EQ(location.dwDataID, classCQZObject.dwDataID);
    EXPECT_EQ(object->QueryVersion(), 1u);
    EXPECT_EQ(std::u16string(object->GetUndoComment()), u"Edit");
    const std::string path = ObjectFile(location);

    // While the writer holds the file, its access record follows the data.
    const Bytes held = ReadFile(path);
    ASSERT_EQ(held.size(), 10260u + kAccessInfoSize);
    EXPECT_EQ(0, std::memcmp(&held[10260], "IAZQ", 4));

    object.reset();
    const Bytes expected =
        FileBytes(ImageLocationOf(location), {ClassOf(classCQZObject)},
                  OneVersionIndex(classCQZObject.dwFlags, 20), RootNTBytes(), RootVersionBytes(1));
    ASSERT_EQ(expected.size(), 10260u);
    EXPECT_TRUE(SameBytes(ReadFile(path), expected));
}

TEST_F(StoreGolden, FirstCommitOfAFreshFileGoesToSlotOneAfterVersionOne) {
    Locator creator;
    ObjectRef object(creator.CreateObject(&classCQZObject, 0));
    ASSERT_NE(object, nullptr);
    const Location location = object->GetLocator().GetLocation();
    object->SetModifyID(0x0BADF00Du);
    ASSERT_TRUE(object->Commit(0));
    EXPECT_EQ(object->QueryVersion(), 2u);
    object.reset();

    ImageIndex index = OneVersionIndex(classCQZObject.dwFlags, 20);
    index.current = 1;
    index.dataEnd = 10280;
    index.slots[1] = {2, 10260, 10280, 0x0BADF00Du, u"Edit"};
    const Bytes expected =
        FileBytes(ImageLocationOf(location), {ClassOf(classCQZObject)}, index, RootNTBytes(),
                  Concat({RootVersionBytes(1), RootVersionBytes(2)}));
    EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), expected));
}

TEST_F(StoreGolden, FreshDerivedObjectNamesItsClassAndBase) {
    ObjectRef object = CreateTestObject();
    ASSERT_NE(object, nullptr);
    const Location location = object->GetLocator().GetLocation();
    EXPECT_EQ(location.dwHashID, classCStoreTestObject.dwHashID);
    object.reset();

    const uint32_t size = kVersionOverhead;
    const Bytes expected = FileBytes(ImageLocationOf(location),
                                     {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)},
                                     OneVersionIndex(classCStoreTestObject.dwFlags, size),
                                     TestNTBytes(0), TestVersionBytes(1, {}));
    EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), expected));

    // The class folder holds the class's reference record.
    char folder[16];
    std::snprintf(folder, sizeof folder, "%08X", unsigned(location.dwHashID));
    const std::string reference =
        ResolveNative(ProjectDir(), std::string("OBJ/") + folder + "/CStoreTestObject.Classname");
    EXPECT_TRUE(SameBytes(ReadFile(reference), HeritageBytes(ClassOf(classCStoreTestObject))));
}

TEST_F(StoreGolden, CommitWithPayloadAndNTWordMatchesTheImage) {
    ObjectRef object = CreateTestObject();
    ASSERT_NE(object, nullptr);
    auto* test = dynamic_cast<CStoreTestObject*>(object.get());
    const Location location = object->GetLocator().GetLocation();
    const Bytes payload = PayloadFor(7, 1500);
    test->payload = payload;
    test->ntValue = 0xC0FFEE01u;
    test->SetUndoComment(u"Add a title", nullptr, 0);
    ASSERT_TRUE(test->Commit(0));
    object.reset();

    ImageIndex index = OneVersionIndex(classCStoreTestObject.dwFlags, kVersionOverhead);
    const uint32_t start = kVersionsOffset + kVersionOverhead;
    const uint32_t end = start + kVersionOverhead + uint32_t(payload.size());
    index.current = 1;
    index.dataEnd = end;
    index.slots[1] = {2, start, end, 0, u"Add a title"};
    const Bytes expected = FileBytes(
        ImageLocationOf(location), {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)}, index,
        TestNTBytes(0xC0FFEE01u), Concat({TestVersionBytes(1, {}), TestVersionBytes(2, payload)}));
    EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), expected));

    Restored again = Restore(location, kRead);
    ASSERT_EQ(again.result, LOCATOR_OK);
    ASSERT_NE(again.test(), nullptr);
    EXPECT_EQ(again.test()->payload, payload);
    EXPECT_EQ(again.test()->ntValue, 0xC0FFEE01u);
    EXPECT_EQ(again.object->QueryVersion(), 2u);
}

// The writer's own image agrees with the literal bytes a fresh root object file starts with.
TEST(StoreGoldenWriter, HeaderAndIndexFieldsLieWhereTheLayoutSays) {
    ImageLocation location{kRootHashID, 0x400, 0x1234ABCD, 7, 0x00440001};
    ImageClass root;
    root.hashID = kRootHashID;
    std::memcpy(root.guid, kRootGuid, 16);
    root.flags = 0x81;
    root.path = u"/opt/suite/lib/libqzobju.so";
    const Bytes file =
        FileBytes(location, {root}, OneVersionIndex(0x81, 20), RootNTBytes(), RootVersionBytes(1));
    ASSERT_EQ(file.size(), 10260u);
    EXPECT_TRUE(SameBytes(Bytes(file.begin(), file.begin() + 8),
                          {'F', 'O', 'Z', 'Q', 0xBC, 0x08, 0x00, 0x00}));
    EXPECT_EQ(Get32(file, 24), 0x00040000u);  // identity flags only
    EXPECT_TRUE(SameBytes(Bytes(file.begin() + 28, file.begin() + 44),
                          {0xBC, 0x08, 0, 0, 0xF0, 0x1E, 0, 0, 0x00, 0x28, 0, 0, 4, 0, 0, 0}));
    EXPECT_TRUE(SameBytes(
        Bytes(file.begin() + 44, file.begin() + 72),
        {0x24, 0x02, 0x00, 0x00, 0x8D, 0xFC, 0x37, 0x34, 0x00, 0xB2, 0x1F, 0x6B, 0x7A, 0x2C,
         0xCF, 0x11, 0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77, 0x81, 0x00, 0x00, 0x00}));
    for (size_t record = 1; record < 4; ++record) {
        EXPECT_EQ(Get32(file, 44 + 548 * record + 4), 0xFC00u);
    }
    EXPECT_TRUE(
        SameBytes(Bytes(file.begin() + 2236, file.begin() + 2256),
                  {0x34, 0x16, 0, 0, 0x81, 0, 0, 0, 0, 0, 0, 0, 0x14, 0x28, 0, 0, 64, 0, 0, 0}));
    EXPECT_EQ(Get32(file, 2288), 1u);
    EXPECT_EQ(Get32(file, 2292), 10240u);
    EXPECT_EQ(Get32(file, 2296), 10260u);
    EXPECT_EQ(file[2304], 'C');
    EXPECT_TRUE(SameBytes(Bytes(file.begin() + 7920, file.begin() + 7928),
                          {0x8D, 0x00, 0x37, 0x34, 0, 0, 0, 0}));
    for (size_t i = 7928; i < 10240; ++i) ASSERT_EQ(file[i], 0) << i;
    const ImageIndex parsed = ParseIndex(file);
    EXPECT_EQ(parsed.current, 0u);
    EXPECT_EQ(parsed.dataEnd, 10260u);
    EXPECT_EQ(parsed.slots[0], (ImageSlot{1, 10240, 10260, 0, u"Create"}));
    EXPECT_TRUE(SlotInBounds(parsed, 0, file.size()));
    EXPECT_FALSE(SlotInBounds(parsed, 1, file.size()));
}

}  // namespace
}  // namespace qzo::test::store
