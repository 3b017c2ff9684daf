// Stored bytes of the object store, byte for byte against the tests' own writer (which is itself
// pinned to literal bytes here): heritage records and their marks and library paths, undo list
// entries, the codec's header and index in both directions, and whole object files as creation
// and the first commit leave them.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>

#include "qzobj/hashid.h"
#include "qzobj/heritage.h"
#include "qzobj/history.h"
#include "qzobj/store.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "store/support/store_fixture.h"

namespace qzo::test::store {
namespace {

namespace format = qzo::store::object_file_format;

constexpr uint32_t kObjID = 0x00000400;
constexpr uint32_t kProjID = 0x1234ABCD;
constexpr uint32_t kDataID = 0x00000007;

// The first 28 bytes of the root class's heritage record, written out.
const Bytes kRootRecordStart = {0x24, 0x02, 0x00, 0x00,                          // 548
                                0x8D, 0xFC, 0x37, 0x34,                          // 0x3437FC8D
                                0x00, 0xB2, 0x1F, 0x6B, 0x7A, 0x2C, 0xCF, 0x11,  // GUID, 0x6B1FB200
                                0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77,  //
                                0x81, 0x00, 0x00, 0x00};                         // flags
const Bytes kEmptyRecordStart = {0x24, 0x02, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x00};

Bytes Range(const Bytes& bytes, size_t begin, size_t end) {
    return Bytes(bytes.begin() + long(begin), bytes.begin() + long(end));
}

// A class record like the library's root class, with the image's library path.
CQZRuntimeClass RootLikeClass() {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    std::strcpy(record.szClassName, "CQZObject");
    record.dwHashID = GetHashID("CQZObject");
    record.guid = {0x6B1F4E00u, 0x2C7A, 0x11CF, {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77}};
    record.dwFlags = 0x81;
    const std::u16string path = kRootLibraryPath;
    std::copy(path.begin(), path.end(), record.szDLLPath);
    return record;
}

Bytes StoredHeritage(const tagOBJHERITAGE& record) {
    Bytes bytes(OBJHERITAGE_SIZE);
    format::EncodeHeritage(record, bytes.data());
    return bytes;
}

ImageLocation FreshLocation() {
    return ImageLocation{kRootHashID, kObjID, kProjID, kDataID, 0x00440001};
}

// The fresh root-class file of FreshLocation as the image writer builds it.
Bytes FreshRootImage() {
    return FileBytes(FreshLocation(), {RootClass()}, OneVersionIndex(0x81, 20), RootNTBytes(),
                     RootVersionBytes(1));
}

TEST(StoreGoldenRecords, RootHeritageRecordIsMarkedHashAndGuid) {
    const CQZRuntimeClass root = RootLikeClass();
    ASSERT_EQ(root.dwHashID, kRootHashID);
    const Bytes image = HeritageBytes(RootClass());
    EXPECT_TRUE(SameBytes(Range(image, 0, 28), kRootRecordStart));
    Bytes path(520, 0);
    PutText(path, 0, kRootLibraryPath);
    EXPECT_TRUE(SameBytes(Range(image, 28, 548), path));

    tagOBJHERITAGE record;
    std::memset(static_cast<void*>(&record), 0x5A, sizeof record);  // stale bytes must go
    record.Set(&root);
    EXPECT_TRUE(SameBytes(StoredHeritage(record), image));
    EXPECT_TRUE(SameBytes(BytesOf(&record, sizeof record), image));  // plain data, no padding
    const tagOBJHERITAGE decoded = format::DecodeHeritage(image.data());
    EXPECT_TRUE(SameBytes(BytesOf(&decoded, sizeof decoded), image));
    EXPECT_EQ(record.GetClassHashID(), kRootHashID);
    EXPECT_TRUE(record.GetClassGUID() == root.guid);
    EXPECT_FALSE(record.IsEmpty());

    // The library's own root class.
    ASSERT_EQ(classCQZObject.dwHashID, kRootHashID);
    record.Set(&classCQZObject);
    EXPECT_TRUE(SameBytes(StoredHeritage(record), HeritageBytes(ClassOf(classCQZObject))));
    EXPECT_EQ(0, std::memcmp(&StoredHeritage(record)[8], &kRootRecordStart[8], 16));
    EXPECT_EQ(record.dwFlags & QZRTC_DECLAREDFLAGS, 0x81u);
}

TEST(StoreGoldenRecords, InitAndSetNullClearEveryByte) {
    const Bytes empty = EmptyHeritageBytes();
    EXPECT_TRUE(SameBytes(Range(empty, 0, 8), kEmptyRecordStart));
    EXPECT_TRUE(SameBytes(Range(empty, 8, 548), Bytes(540, 0)));
    tagOBJHERITAGE record;
    std::memset(static_cast<void*>(&record), 0xAB, sizeof record);
    record.Init();
    EXPECT_TRUE(SameBytes(BytesOf(&record, sizeof record), empty));
    EXPECT_TRUE(SameBytes(StoredHeritage(record), empty));
    EXPECT_TRUE(record.IsEmpty());
    EXPECT_TRUE(record.IsWellFormed());
    const CQZRuntimeClass root = RootLikeClass();
    record.Set(&root);
    std::memset(static_cast<void*>(&record), 0xCD, sizeof record);
    record.Set(nullptr);
    EXPECT_TRUE(SameBytes(StoredHeritage(record), empty));
    EXPECT_EQ(record.GetClassHashID(), QZO_NO_HASHID);
}

TEST(StoreGoldenRecords, MarksAnyIdentifierAndUndoesOnlyWhatIsMarked) {
    CQZRuntimeClass other = RootLikeClass();
    other.dwHashID = 0x12340056;
    other.guid.Data1 = 0x11111111;
    tagOBJHERITAGE record;
    record.Set(&other);
    EXPECT_EQ(record.dwHashID, 0x1234FC56u);
    EXPECT_EQ(record.guid.Data1, 0x1111ED11u);
    EXPECT_EQ(record.GetClassHashID(), 0x12340056u);
    EXPECT_EQ(record.GetClassGUID().Data1, 0x11111111u);
    // A record written without the marks holds identifier and GUID unchanged.
    record.dwHashID = 0x12340056;
    record.guid.Data1 = 0x11111111;
    EXPECT_EQ(record.GetClassHashID(), 0x12340056u);
    EXPECT_EQ(record.GetClassGUID().Data1, 0x11111111u);
    // Only the marked bits are undone from the GUID.
    record.dwHashID = 0x12340456;
    EXPECT_EQ(record.GetClassGUID().Data1, 0x11111111u ^ 0x0400u);
}

std::u16string PathOf(const tagOBJHERITAGE& record, unsigned size, BOOL* ok) {
    std::vector<char16_t> buffer(size + 4, u'#');
    *ok = record.GetDLLPath(buffer.data(), size);
    EXPECT_EQ(buffer[size], u'#') << "written past the buffer";
    return size > 0 ? std::u16string(buffer.data()) : std::u16string();
}

tagOBJHERITAGE WithPath(const std::u16string& path, DWORD flags) {
    tagOBJHERITAGE record;
    record.Init();
    record.dwFlags = flags;
    std::copy(path.begin(), path.end(), record.szDLLPath);
    return record;
}

TEST(StoreGoldenRecords, LibraryPathGetsItsMarkBeforeTheExtensionUnlessRecorded) {
    const struct {
        std::u16string stored;
        DWORD flags;
        std::u16string expected;
    } rows[] = {
        {u"D:\\drv\\fx.dll", 0x01, u"D:\\drv\\fxU.dll"},
        {u"D:\\drv\\fx.dll", 0x81, u"D:\\drv\\fx.dll"},
        {u"/opt/a.b/driver/libfx.so", 0x01, u"/opt/a.b/driver/libfxU.so"},
        {u"/opt/a.b/driver/libfx", 0x01, u"/opt/a.b/driver/libfxU"},
        {u"fx.old.so", 0x00, u"fx.oldU.so"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.stored));
        BOOL ok = FALSE;
        const tagOBJHERITAGE record = WithPath(row.stored, row.flags);
        EXPECT_EQ(PathOf(record, OBJHERITAGE_DLLPATH_BUFFER, &ok), row.expected);
        EXPECT_TRUE(ok);
        WCHAR buffer[OBJHERITAGE_DLLPATH_BUFFER];
        EXPECT_TRUE(record.GetDLLPath(buffer));
        EXPECT_EQ(std::u16string(buffer), row.expected);
    }
}

TEST(StoreGoldenRecords, LibraryPathIsBoundedByRecordAndBuffer) {
    BOOL ok = TRUE;
    // The longest stored path (259 units) with its 'U' fills the 261-unit buffer exactly.
    const std::u16string longest = std::u16string(255, u'a') + u".dll";
    ASSERT_EQ(longest.size(), 259u);
    const tagOBJHERITAGE record = WithPath(longest, 0x01);
    EXPECT_TRUE(record.IsWellFormed());
    EXPECT_EQ(PathOf(record, 261, &ok).size(), 260u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(PathOf(record, 260, &ok), u"");
    EXPECT_FALSE(ok);
    // An unterminated path is refused by every reader, whatever the buffer.
    tagOBJHERITAGE damaged = WithPath(std::u16string(260, u'x'), 0x81);
    EXPECT_FALSE(damaged.IsWellFormed());
    EXPECT_EQ(PathOf(damaged, 600, &ok), u"");
    EXPECT_FALSE(ok);
    // Empty paths and null buffers.
    EXPECT_EQ(PathOf(WithPath(u"", 0x01), 261, &ok), u"");
    EXPECT_FALSE(ok);
    EXPECT_FALSE(record.GetDLLPath(nullptr));
    EXPECT_FALSE(record.GetDLLPath(nullptr, 261));
    WCHAR untouched = u'#';
    EXPECT_FALSE(record.GetDLLPath(&untouched, 0));
    EXPECT_EQ(untouched, u'#');
    // A wrong size makes the record malformed as well.
    tagOBJHERITAGE resized = WithPath(u"a.so", 0x81);
    resized.cbSize = 547;
    EXPECT_FALSE(resized.IsWellFormed());
    // Set copies a class path without an end only as far as the record holds it.
    CQZRuntimeClass longPath = RootLikeClass();
    std::fill(std::begin(longPath.szDLLPath), std::end(longPath.szDLLPath), u'p');
    tagOBJHERITAGE copied;
    copied.Set(&longPath);
    EXPECT_TRUE(copied.IsWellFormed());
    EXPECT_EQ(std::u16string(copied.szDLLPath).size(), 259u);
}

TEST(StoreGoldenRecords, UndoListEntryIsSeventySixLittleEndianBytes) {
    static_assert(std::endian::native == std::endian::little);
    tagUNDOLIST entry{};
    entry.dwModifyCnt = 7;
    entry.dwSizeKB = 0x0103;
    const std::u16string comment = u"Undo me";
    std::copy(comment.begin(), comment.end(), entry.szComment);
    entry.dwModifyID = 0xCAFEBABE;
    Bytes expected(76, 0);
    const Bytes start = {0x07, 0x00, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 'U', 0,   'n',
                         0,    'd',  0,    'o',  0,    ' ',  0,    'm',  0,   'e', 0};
    std::copy(start.begin(), start.end(), expected.begin());
    Put32(expected, 72, 0xCAFEBABE);
    EXPECT_TRUE(SameBytes(BytesOf(&entry, sizeof entry), expected));
    EXPECT_TRUE(SameBytes(UndoEntryBytes(7, 0x103, comment, 0xCAFEBABE), expected));
}

TEST(StoreGoldenRecords, SlotCommentsAreBoundedToThirtyTwoUnits) {
    format::HistorySlot slot;
    const std::u16string longText(40, u'c');
    format::SetSlotComment(slot, longText.c_str());
    EXPECT_EQ(std::u16string(slot.szComment, 32), std::u16string(32, u'c'));
    format::SlotBytes bytes;
    format::EncodeSlot(slot, bytes);
    for (int i = 80; i < 88; ++i) EXPECT_EQ(bytes[i], 0) << i;  // no terminator spills over
    format::SetSlotComment(slot, u"Edit");
    EXPECT_EQ(std::u16string(slot.szComment), u"Edit");
    EXPECT_EQ(slot.szComment[4], 0);
    EXPECT_EQ(slot.szComment[31], 0);
    format::SetSlotComment(slot, nullptr);
    EXPECT_EQ(slot.szComment[0], 0);
}

// The writer's fresh root-class file against literal bytes, then the codec against the writer
// in both directions.
TEST(StoreGoldenFile, FreshRootFileImageAndTheCodec) {
    const Bytes file = FreshRootImage();
    ASSERT_EQ(file.size(), 10260u);
    EXPECT_TRUE(SameBytes(Range(file, 0, 8), {'F', 'O', 'Z', 'Q', 0xBC, 0x08, 0x00, 0x00}));
    EXPECT_EQ(Get32(file, 8), kRootHashID);
    EXPECT_EQ(Get32(file, 12), kObjID);
    EXPECT_EQ(Get32(file, 16), kProjID);
    EXPECT_EQ(Get32(file, 20), kDataID);
    EXPECT_EQ(Get32(file, 24), 0x00040000u);  // static kept; self-locator and mode dropped
    EXPECT_TRUE(SameBytes(Range(file, 28, 44),
                          {0xBC, 0x08, 0, 0, 0xF0, 0x1E, 0, 0, 0x00, 0x28, 0, 0, 4, 0, 0, 0}));
    EXPECT_TRUE(SameBytes(Range(file, 44, 72), kRootRecordStart));
    for (size_t record = 1; record < 4; ++record)
        EXPECT_TRUE(
            SameBytes(Range(file, 44 + 548 * record, 52 + 548 * record), kEmptyRecordStart));
    EXPECT_TRUE(SameBytes(Range(file, 2236, 2256), {0x34, 0x16, 0,    0,    0x81, 0, 0,  0, 0, 0,
                                                    0,    0,    0x14, 0x28, 0,    0, 64, 0, 0, 0}));
    EXPECT_TRUE(SameBytes(Range(file, 2288, 2316),
                          {1, 0, 0,   0, 0x00, 0x28, 0,   0, 0x14, 0x28, 0,   0, 0,   0,
                           0, 0, 'C', 0, 'r',  0,    'e', 0, 'a',  0,    't', 0, 'e', 0}));
    EXPECT_TRUE(SameBytes(Range(file, 7920, 7928), {0x8D, 0x00, 0x37, 0x34, 0, 0, 0, 0}));
    for (size_t i = 7928; i < 10240; ++i) ASSERT_EQ(file[i], 0) << i;
    EXPECT_TRUE(SameBytes(Range(file, 10240, 10260),
                          {0x8D, 0x00, 0x37, 0x34, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0x00,
                           0x37, 0x34, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));
    const ImageIndex parsed = ParseIndex(file);
    EXPECT_EQ(parsed.current, 0u);
    EXPECT_EQ(parsed.dataEnd, 10260u);
    EXPECT_EQ(parsed.slots[0], (ImageSlot{1, 10240, 10260, 0, u"Create"}));
    EXPECT_TRUE(SlotInBounds(parsed, 0, file.size()));
    EXPECT_FALSE(SlotInBounds(parsed, 1, file.size()));

    // Encoding: the header and index the library makes for such an object.
    const CQZRuntimeClass root = RootLikeClass();
    const CQZRuntimeClass* chain[] = {&root};
    Location location;
    location.dwHashID = kRootHashID;
    location.dwObjID = kObjID;
    location.dwProjID = kProjID;
    location.dwDataID = kDataID;
    location.dwFlags = 0x00440001;  // self-locator + static, mode 1
    format::HeaderBytes header;
    format::EncodeHeader(format::NewHeader(location, chain, 1), header);
    EXPECT_TRUE(SameBytes(BytesOf(header, sizeof header), Range(file, 0, 2236)));
    format::HistoryIndex index = format::NewIndex(0x81);
    EXPECT_EQ(index.header.dwCurrent, format::kNoSlot);
    EXPECT_EQ(index.header.dwDataEnd, 0u);
    index.header.dwCurrent = 0;
    index.header.dwDataEnd = 10260;
    index.slots[0].dwModifyCnt = 1;
    index.slots[0].dwOffset = 10240;
    index.slots[0].dwEnd = 10260;
    format::SetSlotComment(index.slots[0], u"Create");
    format::IndexBytes indexBytes;
    format::EncodeIndex(index, indexBytes);
    EXPECT_TRUE(SameBytes(BytesOf(indexBytes, sizeof indexBytes), Range(file, 2236, 7920)));
    // The index header and slot 0 alone, as a commit writes them.
    format::IndexHeaderBytes indexHeader;
    format::EncodeIndexHeader(index.header, indexHeader);
    EXPECT_TRUE(SameBytes(BytesOf(indexHeader, sizeof indexHeader), Range(file, 2236, 2288)));
    format::SlotBytes slot;
    format::EncodeSlot(index.slots[0], slot);
    EXPECT_EQ(format::SlotFileOffset(0), 2288u);
    EXPECT_TRUE(SameBytes(BytesOf(slot, sizeof slot), Range(file, 2288, 2376)));

    // Decoding: one usable "Create" version, and the same bytes when encoded again.
    format::ObjectFileHeader decoded;
    format::HistoryIndex decodedIndex;
    const format::HistoryCheck check =
        format::ReadHistory(file.data(), file.size(), file.size(), decoded, decodedIndex);
    ASSERT_TRUE(check.IsUsable()) << format::VerdictText(check.verdict);
    EXPECT_EQ(check.validSlots, 1u);
    EXPECT_EQ(decoded.location.dwFlags, 0x00040000u);
    EXPECT_EQ(decoded.classes[0].GetClassHashID(), kRootHashID);
    EXPECT_EQ(decoded.classes[0].GetClassGUID().Data1, 0x6B1F4E00u);
    EXPECT_TRUE(decoded.classes[1].IsEmpty());
    EXPECT_EQ(format::SlotEnd(decodedIndex, 0), 10260u);
    format::EncodeHeader(decoded, header);
    format::EncodeIndex(decodedIndex, indexBytes);
    EXPECT_TRUE(SameBytes(BytesOf(header, sizeof header), Range(file, 0, 2236)));
    EXPECT_TRUE(SameBytes(BytesOf(indexBytes, sizeof indexBytes), Range(file, 2236, 7920)));
    unsigned undo = 9, redo = 9;
    format::CountUndoRedo(decodedIndex, check, undo, redo);
    EXPECT_EQ(undo + redo, 0u);
    tagUNDOLIST list[2] = {};
    ASSERT_EQ(format::BuildUndoList(decodedIndex, check, list, 2), 1u);
    EXPECT_TRUE(SameBytes(BytesOf(&list[0], sizeof list[0]), UndoEntryBytes(1, 0, u"Create", 0)))
        << "(20 + 512) >> 10 kilobytes";
}

TEST(StoreGoldenFile, NewHeaderKeepsFourRecordsAndClearsTheRest) {
    CQZRuntimeClass derived = RootLikeClass();
    derived.dwHashID = 0x12340056;
    const CQZRuntimeClass root = RootLikeClass();
    const CQZRuntimeClass* chain[] = {&derived, &root, &root, &root, &derived};
    const format::ObjectFileHeader two = format::NewHeader(Location{}, chain, 2);
    EXPECT_EQ(two.classes[0].dwHashID, 0x1234FC56u);
    EXPECT_EQ(two.classes[1].dwHashID, 0x3437FC8Du);
    EXPECT_TRUE(two.classes[2].IsEmpty());
    EXPECT_TRUE(two.classes[3].IsEmpty());
    EXPECT_EQ(two.location.dwHashID, 0xFC00u);  // a cleared location stays cleared
    const format::ObjectFileHeader five = format::NewHeader(Location{}, chain, 5);
    EXPECT_EQ(five.classes[3].dwHashID, 0x3437FC8Du);
    const format::ObjectFileHeader none = format::NewHeader(Location{}, nullptr, 3);
    for (const tagOBJHERITAGE& record : none.classes) EXPECT_TRUE(record.IsEmpty());
}

using StoreGolden = StoreTest;

std::vector<ImageClass> TestClasses() {
    return {ClassOf(classCStoreTestObject), ClassOf(classCQZObject)};
}

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
    EXPECT_EQ(AccessRecordComputer(held, 10260), std::optional<std::string>("ALPHA"));

    object.reset();
    const Bytes expected =
        FileBytes(ImageLocationOf(location), {ClassOf(classCQZObject)},
                  OneVersionIndex(classCQZObject.dwFlags, 20), RootNTBytes(), RootVersionBytes(1));
    EXPECT_TRUE(SameBytes(ReadFile(path), expected));
}

TEST_F(StoreGolden, DerivedObjectWithPayloadAndNTWordMatchesTheImage) {
    ObjectRef object = Create();
    ASSERT_NE(object.test(), nullptr);
    const Location location = object->GetLocator().GetLocation();
    EXPECT_EQ(location.dwHashID, classCStoreTestObject.dwHashID);
    object.test()->SetContent(7, 1500);
    object.test()->ntValue = 0xC0FFEE01u;
    object->SetUndoComment(u"Add a title", nullptr, 0);
    object->SetModifyID(0x0BADF00Du);
    ASSERT_TRUE(object->Commit(0));
    object.reset();

    ImageIndex index = OneVersionIndex(classCStoreTestObject.dwFlags, VersionSize(0));
    const uint32_t start = kVersionsOffset + VersionSize(0);
    const uint32_t end = start + VersionSize(1500);
    index.current = 1;
    index.dataEnd = end;
    index.slots[1] = {2, start, end, 0x0BADF00Du, u"Add a title"};
    const Bytes expected = FileBytes(
        ImageLocationOf(location), TestClasses(), index, TestNTBytes(0xC0FFEE01u),
        Concat({TestVersionBytes(1, 0, {}), TestVersionBytes(2, 7, PayloadFor(7, 1500))}));
    EXPECT_TRUE(SameBytes(ReadFile(ObjectFile(location)), expected));
    // The class folder holds the class's reference record.
    const std::string reference = ResolveNative(
        ProjectDir(), "OBJ/" + Hex8(location.dwHashID) + "/CStoreTestObject.Classname");
    EXPECT_TRUE(SameBytes(ReadFile(reference), HeritageBytes(ClassOf(classCStoreTestObject))));

    Restored again = Restore(location, kRead);
    ASSERT_EQ(again.result, LOCATOR_OK);
    ASSERT_NE(again.test(), nullptr);
    EXPECT_EQ(again.test()->tag, 7u);
    EXPECT_TRUE(again.test()->Intact());
    EXPECT_EQ(again.test()->Size(), 1500u);
    EXPECT_EQ(again.test()->ntValue, 0xC0FFEE01u);
    EXPECT_EQ(again.object->QueryVersion(), 2u);
}

}  // namespace
}  // namespace qzo::test::store
