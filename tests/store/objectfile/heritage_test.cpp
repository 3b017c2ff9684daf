// The heritage record: cleared bytes after Init and Set, the marks on identifier and GUID and
// their undoing, and library paths that never run past the record.
#include "qzobj/heritage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/hashid.h"
#include "qzobj/objmodel.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "store/objectfile/byte_writer.h"

namespace {

using namespace qzo::test::objectfile;
namespace format = qzo::store::object_file_format;

std::vector<uint8_t> StoredBytes(const tagOBJHERITAGE& record) {
    std::vector<uint8_t> bytes(OBJHERITAGE_SIZE);
    format::EncodeHeritage(record, bytes.data());
    return bytes;
}

std::vector<uint8_t> MemoryBytes(const tagOBJHERITAGE& record) {
    std::vector<uint8_t> bytes(sizeof(record));
    std::memcpy(bytes.data(), &record, sizeof(record));
    return bytes;
}

CQZRuntimeClass RootLikeClass() {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    std::strcpy(record.szClassName, "CQZObject");
    record.dwHashID = GetHashID("CQZObject");
    record.guid.Data1 = kRootGuidData1;
    record.guid.Data2 = kRootGuidData2;
    record.guid.Data3 = kRootGuidData3;
    std::memcpy(record.guid.Data4, kRootGuidData4, 8);
    record.dwFlags = 0x81;
    std::u16string path = kRootLibraryPath;
    std::copy(path.begin(), path.end(), record.szDLLPath);
    return record;
}

// The empty record as the test writes it: cbSize 548, identifier 0xFC00, every other byte 0.
std::vector<uint8_t> EmptyRecordBytes() {
    ByteWriter writer(OBJHERITAGE_SIZE);
    writer.Raw(0, {0x24, 0x02, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x00});
    return writer.bytes();
}

TEST(Heritage, InitAndSetNullClearEveryByte) {
    tagOBJHERITAGE record;
    std::memset(static_cast<void*>(&record), 0xAB, sizeof(record));
    record.Init();
    EXPECT_EQ(MemoryBytes(record), EmptyRecordBytes());
    EXPECT_EQ(StoredBytes(record), EmptyRecordBytes());
    EXPECT_TRUE(record.IsEmpty());
    EXPECT_TRUE(record.IsWellFormed());

    const CQZRuntimeClass root = RootLikeClass();
    record.Set(&root);
    record.Set(nullptr);
    EXPECT_EQ(StoredBytes(record), EmptyRecordBytes());
    EXPECT_EQ(record.GetClassHashID(), QZO_NO_HASHID);
}

TEST(Heritage, RootClassRecordGoldenBytes) {
    const CQZRuntimeClass root = RootLikeClass();
    ASSERT_EQ(root.dwHashID, kRootHashID);
    tagOBJHERITAGE record;
    std::memset(static_cast<void*>(&record), 0x5A, sizeof(record));  // stale bytes must go
    record.Set(&root);

    ByteWriter writer(OBJHERITAGE_SIZE);
    writer.Raw(0, {0x24, 0x02, 0x00, 0x00,                          // 548
                   0x8D, 0xFC, 0x37, 0x34,                          // 0x3437FC8D
                   0x00, 0xB2, 0x1F, 0x6B, 0x7A, 0x2C, 0xCF, 0x11,  // GUID, word 0x6B1FB200
                   0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77,  //
                   0x81, 0x00, 0x00, 0x00});                        // flags
    writer.Text(28, kRootLibraryPath);
    EXPECT_EQ(StoredBytes(record), writer.bytes());
    EXPECT_EQ(MemoryBytes(record), writer.bytes());  // plain data, no padding

    EXPECT_EQ(record.dwHashID, 0x3437FC8Du);
    EXPECT_EQ(record.guid.Data1, 0x6B1FB200u);
    EXPECT_EQ(record.GetClassHashID(), kRootHashID);
    EXPECT_TRUE(record.GetClassGUID() == root.guid);
    EXPECT_FALSE(record.IsEmpty());

    const tagOBJHERITAGE decoded = format::DecodeHeritage(writer.bytes().data());
    EXPECT_EQ(MemoryBytes(decoded), writer.bytes());
}

TEST(Heritage, MarksAnyIdentifierAndUndoesOnlyWhatIsMarked) {
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

TEST(Heritage, LibraryPathGetsItsMarkBeforeTheExtensionUnlessRecorded) {
    struct Case {
        std::u16string stored;
        DWORD flags;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"D:\\drv\\fx.dll", 0x01, u"D:\\drv\\fxU.dll"},
        {u"D:\\drv\\fx.dll", 0x81, u"D:\\drv\\fx.dll"},
        {u"/opt/a.b/driver/libfx.so", 0x01, u"/opt/a.b/driver/libfxU.so"},
        {u"/opt/a.b/driver/libfx", 0x01, u"/opt/a.b/driver/libfxU"},
        {u"fx.old.so", 0x00, u"fx.oldU.so"},
    };
    for (const Case& c : cases) {
        BOOL ok = FALSE;
        const tagOBJHERITAGE record = WithPath(c.stored, c.flags);
        EXPECT_EQ(PathOf(record, OBJHERITAGE_DLLPATH_BUFFER, &ok), c.expected);
        EXPECT_TRUE(ok);
        WCHAR buffer[OBJHERITAGE_DLLPATH_BUFFER];
        EXPECT_TRUE(record.GetDLLPath(buffer));
        EXPECT_EQ(std::u16string(buffer), c.expected);
    }
}

TEST(Heritage, LibraryPathIsBoundedByRecordAndBuffer) {
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
}

TEST(Heritage, SetCopiesTheClassPathWithinTheRecord) {
    CQZRuntimeClass longPath = RootLikeClass();
    std::fill(std::begin(longPath.szDLLPath), std::end(longPath.szDLLPath), u'p');  // no end
    tagOBJHERITAGE record;
    record.Set(&longPath);
    EXPECT_TRUE(record.IsWellFormed());
    EXPECT_EQ(std::u16string(record.szDLLPath).size(), 259u);
}

}  // namespace
