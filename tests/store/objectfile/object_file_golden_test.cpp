// Stored bytes of a fresh object file of the persistent root class, written field by field by
// the test and compared with the codec in both directions, and the undo list entry's layout.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "qzobj/hashid.h"
#include "qzobj/history.h"
#include "qzobj/objmodel.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "store/objectfile/byte_writer.h"

namespace {

using namespace qzo::test::objectfile;
namespace format = qzo::store::object_file_format;

constexpr uint32_t kObjID = 0x00000400;
constexpr uint32_t kProjID = 0x1234ABCD;
constexpr uint32_t kDataID = 0x00000007;
constexpr size_t kFreshLength = 10260;

CQZRuntimeClass RootLikeClass() {
    CQZRuntimeClass record{};
    record.dwHashID = GetHashID("CQZObject");
    record.guid.Data1 = kRootGuidData1;
    record.guid.Data2 = kRootGuidData2;
    record.guid.Data3 = kRootGuidData3;
    std::memcpy(record.guid.Data4, kRootGuidData4, 8);
    record.dwFlags = 0x81;
    const std::u16string path = kRootLibraryPath;
    std::copy(path.begin(), path.end(), record.szDLLPath);
    return record;
}

// The whole fresh file: header, index with slot 0 = {1, 10240, 10260, 0, "Create"}, current 0,
// data end 10260, the root class's empty NT chunk at 7920, zeros to 10240, version 1.
std::vector<uint8_t> FreshFileBytes() {
    ByteWriter w(kFreshLength);
    w.Raw(0, {'F', 'O', 'Z', 'Q'});
    w.Raw(4, {0xBC, 0x08, 0x00, 0x00});  // 2236
    w.U32(8, kRootHashID);
    w.U32(12, kObjID);
    w.U32(16, kProjID);
    w.U32(20, kDataID);
    w.U32(24, 0x00040000);                // static kept; self-locator and mode dropped
    w.Raw(28, {0xBC, 0x08, 0x00, 0x00});  // index at 2236
    w.Raw(32, {0xF0, 0x1E, 0x00, 0x00});  // NT block at 7920
    w.Raw(36, {0x00, 0x28, 0x00, 0x00});  // versions at 10240
    w.U32(40, 4);
    // Record 0: the root class; records 1 to 3 empty.
    w.Raw(44, {0x24, 0x02, 0x00, 0x00, 0x8D, 0xFC, 0x37, 0x34, 0x00, 0xB2, 0x1F, 0x6B, 0x7A, 0x2C,
               0xCF, 0x11, 0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77, 0x81, 0x00, 0x00, 0x00});
    w.Text(44 + 28, kRootLibraryPath);
    for (size_t record = 1; record < 4; ++record) {
        w.Raw(44 + 548 * record, {0x24, 0x02, 0x00, 0x00, 0x00, 0xFC, 0x00, 0x00});
    }
    // History index.
    w.Raw(2236, {0x34, 0x16, 0x00, 0x00});  // 5684
    w.U32(2240, 0x81);                      // class flags
    w.U32(2244, 0);                         // current slot
    w.Raw(2248, {0x14, 0x28, 0x00, 0x00});  // data end 10260
    w.U32(2252, 64);
    w.U32(2288, 1);      // slot 0: ModifyCnt
    w.U32(2292, 10240);  // offset
    w.U32(2296, 10260);  // end
    w.U32(2300, 0);      // caller value
    w.Text(2304, u"Create");
    // NT block: an empty chunk "CQZObject".
    w.Raw(7920, {0x8D, 0x00, 0x37, 0x34, 0x00, 0x00, 0x00, 0x00});
    // Version 1: chunk "CQZObject" holding chunk "CQZObject" holding the version word.
    w.Raw(10240, {0x8D, 0x00, 0x37, 0x34, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0x00,
                  0x37, 0x34, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});
    return w.bytes();
}

format::ObjectFileHeader FreshHeader(const CQZRuntimeClass& root) {
    Location location;
    location.dwHashID = root.dwHashID;
    location.dwObjID = kObjID;
    location.dwProjID = kProjID;
    location.dwDataID = kDataID;
    location.dwFlags = 0x00440001;  // self-locator + static, mode 1
    const CQZRuntimeClass* chain[] = {&root};
    return format::NewHeader(location, chain, 1);
}

format::HistoryIndex FreshIndex() {
    format::HistoryIndex index = format::NewIndex(0x81);
    EXPECT_EQ(index.header.dwCurrent, format::kNoSlot);
    EXPECT_EQ(index.header.dwDataEnd, 0u);
    index.header.dwCurrent = 0;
    index.header.dwDataEnd = 10260;
    index.slots[0].dwModifyCnt = 1;
    index.slots[0].dwOffset = 10240;
    index.slots[0].dwEnd = 10260;
    format::SetSlotComment(index.slots[0], u"Create");
    return index;
}

TEST(ObjectFileGolden, FreshHeaderAndIndexEncodeToTheTestImage) {
    const CQZRuntimeClass root = RootLikeClass();
    ASSERT_EQ(root.dwHashID, kRootHashID);
    const std::vector<uint8_t> image = FreshFileBytes();

    format::HeaderBytes header;
    format::EncodeHeader(FreshHeader(root), header);
    EXPECT_EQ(std::vector<uint8_t>(header, header + sizeof(header)),
              std::vector<uint8_t>(image.begin(), image.begin() + 2236));

    format::IndexBytes index;
    format::EncodeIndex(FreshIndex(), index);
    EXPECT_EQ(std::vector<uint8_t>(index, index + sizeof(index)),
              std::vector<uint8_t>(image.begin() + 2236, image.begin() + 7920));

    // The index header and slot 0 alone, as a commit writes them.
    format::IndexHeaderBytes indexHeader;
    format::EncodeIndexHeader(FreshIndex().header, indexHeader);
    EXPECT_EQ(0, std::memcmp(indexHeader, image.data() + 2236, sizeof(indexHeader)));
    format::SlotBytes slot;
    format::EncodeSlot(FreshIndex().slots[0], slot);
    EXPECT_EQ(format::SlotFileOffset(0), 2288u);
    EXPECT_EQ(0, std::memcmp(slot, image.data() + format::SlotFileOffset(0), sizeof(slot)));
}

TEST(ObjectFileGolden, FreshFileDecodesAsOneCreateVersion) {
    const std::vector<uint8_t> image = FreshFileBytes();
    format::ObjectFileHeader header;
    format::HistoryIndex index;
    const format::HistoryCheck check =
        format::ReadHistory(image.data(), image.size(), image.size(), header, index);
    ASSERT_TRUE(check.IsUsable()) << format::VerdictText(check.verdict);
    EXPECT_EQ(check.validSlots, 1u);
    EXPECT_EQ(header.location.dwHashID, kRootHashID);
    EXPECT_EQ(header.location.dwFlags, 0x00040000u);
    EXPECT_EQ(header.classes[0].GetClassHashID(), kRootHashID);
    EXPECT_EQ(header.classes[0].GetClassGUID().Data1, kRootGuidData1);
    EXPECT_TRUE(header.classes[1].IsEmpty());
    EXPECT_EQ(format::SlotEnd(index, 0), 10260u);

    // Decoding then encoding gives the same bytes back.
    format::HeaderBytes headerAgain;
    format::IndexBytes indexAgain;
    format::EncodeHeader(header, headerAgain);
    format::EncodeIndex(index, indexAgain);
    EXPECT_EQ(0, std::memcmp(headerAgain, image.data(), sizeof(headerAgain)));
    EXPECT_EQ(0, std::memcmp(indexAgain, image.data() + 2236, sizeof(indexAgain)));

    unsigned undo = 9, redo = 9;
    format::CountUndoRedo(index, check, undo, redo);
    EXPECT_EQ(undo, 0u);
    EXPECT_EQ(redo, 0u);
    tagUNDOLIST list[2] = {};
    ASSERT_EQ(format::BuildUndoList(index, check, list, 2), 1u);
    EXPECT_EQ(list[0].dwModifyCnt, 1u);
    EXPECT_EQ(list[0].dwSizeKB, 0u);  // (20 + 512) >> 10
    EXPECT_EQ(std::u16string(list[0].szComment), u"Create");
}

TEST(ObjectFileGolden, FileBeforeTheFirstCommitIsRefused) {
    // Creation died between writing the header and committing version 1.
    std::vector<uint8_t> image = FreshFileBytes();
    ByteWriter w(0);
    w.bytes() = image;
    w.U32(2244, 0xFFFFFFFF);
    format::ObjectFileHeader header;
    format::HistoryIndex index;
    EXPECT_EQ(
        format::ReadHistory(w.bytes().data(), w.bytes().size(), w.bytes().size(), header, index)
            .verdict,
        format::FileVerdict::kNoCurrentSlot);
}

TEST(ObjectFileGolden, NewHeaderKeepsFourRecordsAndClearsTheRest) {
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

TEST(UndoList, EntryLayoutIsSeventySixLittleEndianBytes) {
    static_assert(std::endian::native == std::endian::little);
    tagUNDOLIST entry{};
    entry.dwModifyCnt = 7;
    entry.dwSizeKB = 0x0103;
    const std::u16string comment = u"Undo me";
    std::copy(comment.begin(), comment.end(), entry.szComment);
    entry.dwModifyID = 0xCAFEBABE;

    ByteWriter w(76);
    w.Raw(0, {0x07, 0x00, 0x00, 0x00, 0x03, 0x01, 0x00, 0x00});
    w.Raw(8, {'U', 0, 'n', 0, 'd', 0, 'o', 0, ' ', 0, 'm', 0, 'e', 0});
    w.Raw(72, {0xBE, 0xBA, 0xFE, 0xCA});
    std::vector<uint8_t> memory(sizeof(entry));
    std::memcpy(memory.data(), &entry, sizeof(entry));
    EXPECT_EQ(memory, w.bytes());
}

TEST(UndoList, CommentsAreBoundedToThirtyTwoUnits) {
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

}  // namespace
