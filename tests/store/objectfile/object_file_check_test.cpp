// Damaged object files: every header and index field, truncations, and seeded mutations. A file
// is either refused or yields only slots that lie inside its data and its length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qzobj/objmodel.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "store/objectfile/byte_writer.h"

namespace {

using namespace qzo::test::objectfile;
namespace format = qzo::store::object_file_format;
using format::FileVerdict;

constexpr size_t kIndex = 2236;
constexpr size_t kSlot0 = 2288;
constexpr size_t kDataEnd = 10600;
constexpr size_t kTrailer = 168;
constexpr uint64_t kAllFour = 0xF;

size_t SlotAt(size_t slot) {
    return kSlot0 + 88 * slot;
}

// Four versions (slots 0 to 3, slot 3 ending at the data end), the current one in slot 2, and a
// writer's 168-byte trailer behind the data.
std::vector<uint8_t> ValidImage() {
    CQZRuntimeClass root{};
    root.dwHashID = kRootHashID;
    root.dwFlags = 0x81;
    std::u16string path = kRootLibraryPath;
    std::copy(path.begin(), path.end(), root.szDLLPath);
    Location location;
    location.dwHashID = kRootHashID;
    location.dwObjID = 1024;
    location.dwProjID = 0x5555;
    const CQZRuntimeClass* chain[] = {&root};
    format::HistoryIndex index = format::NewIndex(0x81);
    const DWORD ranges[4][3] = {
        {1, 10240, 10300}, {2, 10300, 10400}, {3, 10400, 10520}, {4, 10520, 0}};
    for (int i = 0; i < 4; ++i) {
        index.slots[i].dwModifyCnt = ranges[i][0];
        index.slots[i].dwOffset = ranges[i][1];
        index.slots[i].dwEnd = ranges[i][2];
        format::SetSlotComment(index.slots[i], u"Edit");
    }
    index.header.dwCurrent = 2;
    index.header.dwDataEnd = kDataEnd;
    std::vector<uint8_t> image(kDataEnd + kTrailer, 0x11);
    std::fill(image.begin() + 7920, image.begin() + 10240, 0);
    format::HeaderBytes header;
    format::EncodeHeader(format::NewHeader(location, chain, 1), header);
    format::IndexBytes indexBytes;
    format::EncodeIndex(index, indexBytes);
    std::copy(std::begin(header), std::end(header), image.begin());
    std::copy(std::begin(indexBytes), std::end(indexBytes), image.begin() + kIndex);
    return image;
}

// Reads the image as a file of exactly its own size, held in a heap block of that size so that
// a read past its end is caught by the address sanitizer.
struct Outcome {
    format::HistoryCheck check;
    format::ObjectFileHeader header;
    format::HistoryIndex index;
};

Outcome Read(const std::vector<uint8_t>& image) {
    Outcome out;
    const size_t size = image.size();
    std::unique_ptr<uint8_t[]> file(new uint8_t[size + 1]);
    std::copy(image.begin(), image.end(), file.get());
    out.check = format::ReadHistory(size ? file.get() : nullptr, size, size, out.header, out.index);
    return out;
}

struct FieldCase {
    const char* name;
    std::function<void(ByteWriter&)> damage;
    FileVerdict verdict;
    uint64_t validSlots;  // when usable
};

void UnterminatedPath(ByteWriter& w, size_t record) {
    w.Text(44 + 548 * record + 28, std::u16string(260, u'x'));
}

TEST(ObjectFileCheck, EveryHeaderAndIndexField) {
    const FileVerdict ok = FileVerdict::kUsable;
    const FieldCase cases[] = {
        {"intact", [](ByteWriter&) {}, ok, kAllFour},
        {"magic", [](ByteWriter& w) { w.U32(0, 0x515A4F47); }, FileVerdict::kBadMagic, 0},
        {"header size", [](ByteWriter& w) { w.U32(4, 2237); }, FileVerdict::kBadHeaderSize, 0},
        {"location hash", [](ByteWriter& w) { w.U32(8, 0xFFFFFFFF); }, ok, kAllFour},
        {"location object", [](ByteWriter& w) { w.U32(12, 0); }, ok, kAllFour},
        {"location project", [](ByteWriter& w) { w.U32(16, 0xFC00); }, ok, kAllFour},
        {"location data", [](ByteWriter& w) { w.U32(20, 0xDEAD); }, ok, kAllFour},
        {"location flags", [](ByteWriter& w) { w.U32(24, 0xFFFFFFFF); }, ok, kAllFour},
        {"index offset", [](ByteWriter& w) { w.U32(28, 0); }, FileVerdict::kBadOffsets, 0},
        {"NT offset", [](ByteWriter& w) { w.U32(32, 7921); }, FileVerdict::kBadOffsets, 0},
        {"version offset", [](ByteWriter& w) { w.U32(36, 10239); }, FileVerdict::kBadOffsets, 0},
        {"class count 3", [](ByteWriter& w) { w.U32(40, 3); }, FileVerdict::kBadClassCount, 0},
        {"class count huge", [](ByteWriter& w) { w.U32(40, 0xFFFFFFFF); },
         FileVerdict::kBadClassCount, 0},
        {"record 0 size", [](ByteWriter& w) { w.U32(44, 0); }, FileVerdict::kBadClassRecord, 0},
        {"record 3 size", [](ByteWriter& w) { w.U32(44 + 3 * 548, 549); },
         FileVerdict::kBadClassRecord, 0},
        {"record 0 path", [](ByteWriter& w) { UnterminatedPath(w, 0); },
         FileVerdict::kBadClassRecord, 0},
        {"record 2 path", [](ByteWriter& w) { UnterminatedPath(w, 2); },
         FileVerdict::kBadClassRecord, 0},
        {"record hash, GUID, flags",
         [](ByteWriter& w) {
             w.U32(48, 0x12345678);
             w.U32(52, 0);
             w.U32(68, 0xFFFFFFFF);
         },
         ok, kAllFour},
        {"index size", [](ByteWriter& w) { w.U32(kIndex, 5685); }, FileVerdict::kBadIndexSize, 0},
        {"class flags", [](ByteWriter& w) { w.U32(kIndex + 4, 0); }, ok, kAllFour},
        {"current none", [](ByteWriter& w) { w.U32(kIndex + 8, 0xFFFFFFFF); },
         FileVerdict::kNoCurrentSlot, 0},
        {"current 64", [](ByteWriter& w) { w.U32(kIndex + 8, 64); }, FileVerdict::kBadCurrentSlot,
         0},
        {"current huge", [](ByteWriter& w) { w.U32(kIndex + 8, 0x80000000); },
         FileVerdict::kBadCurrentSlot, 0},
        {"current empty", [](ByteWriter& w) { w.U32(kIndex + 8, 10); },
         FileVerdict::kEmptyCurrentSlot, 0},
        {"data end 0", [](ByteWriter& w) { w.U32(kIndex + 12, 0); }, FileVerdict::kBadDataEnd, 0},
        {"data end 10239", [](ByteWriter& w) { w.U32(kIndex + 12, 10239); },
         FileVerdict::kBadDataEnd, 0},
        {"data end past file", [](ByteWriter& w) { w.U32(kIndex + 12, kDataEnd + kTrailer + 1); },
         FileVerdict::kBadDataEnd, 0},
        {"data end max", [](ByteWriter& w) { w.U32(kIndex + 12, 0xFFFFFFFF); },
         FileVerdict::kBadDataEnd, 0},
        {"data end at file end", [](ByteWriter& w) { w.U32(kIndex + 12, kDataEnd + kTrailer); }, ok,
         kAllFour},
        {"data end cuts last slot to nothing", [](ByteWriter& w) { w.U32(kIndex + 12, 10520); }, ok,
         kAllFour},
        {"data end inside current", [](ByteWriter& w) { w.U32(kIndex + 12, 10500); },
         FileVerdict::kInvalidCurrentSlot, 0},
        {"slot count", [](ByteWriter& w) { w.U32(kIndex + 16, 65); }, FileVerdict::kBadSlotCount,
         0},
        {"index reserved", [](ByteWriter& w) { w.U32(kIndex + 20, 0xFFFFFFFF); }, ok, kAllFour},
        {"slot 0 emptied", [](ByteWriter& w) { w.U32(SlotAt(0), 0); }, ok, 0xE},
        {"slot 1 offset in NT block", [](ByteWriter& w) { w.U32(SlotAt(1) + 4, 10239); }, ok, 0xD},
        {"slot 1 offset max", [](ByteWriter& w) { w.U32(SlotAt(1) + 4, 0xFFFFFFFF); }, ok, 0xD},
        {"slot 1 end max", [](ByteWriter& w) { w.U32(SlotAt(1) + 8, 0xFFFFFFFF); }, ok, 0xD},
        {"slot 1 end before offset", [](ByteWriter& w) { w.U32(SlotAt(1) + 8, 10299); }, ok, 0xD},
        {"slot 1 end past data end", [](ByteWriter& w) { w.U32(SlotAt(1) + 8, kDataEnd + 1); }, ok,
         0xD},
        {"slot 3 offset past data end", [](ByteWriter& w) { w.U32(SlotAt(3) + 4, kDataEnd + 1); },
         ok, 0x7},
        {"slot 1 repeats the current stamp", [](ByteWriter& w) { w.U32(SlotAt(1), 3); }, ok, 0xD},
        {"slots 1 and 3 share a stamp", [](ByteWriter& w) { w.U32(SlotAt(1), 4); }, ok, 0x5},
        {"stamp shared with a slot out of range",
         [](ByteWriter& w) {
             w.U32(SlotAt(7), 4);
             w.U32(SlotAt(7) + 4, 5);
         },
         ok, kAllFour},
        {"empty slot with garbage", [](ByteWriter& w) { w.U32(SlotAt(5) + 4, 0xFFFFFFFF); }, ok,
         kAllFour},
        {"slot 63 live with its own end",
         [](ByteWriter& w) {
             w.U32(SlotAt(63), 9);
             w.U32(SlotAt(63) + 4, 10240);
             w.U32(SlotAt(63) + 8, 10300);
         },
         ok, kAllFour | (uint64_t(1) << 63)},
        {"current offset in NT block", [](ByteWriter& w) { w.U32(SlotAt(2) + 4, 7920); },
         FileVerdict::kInvalidCurrentSlot, 0},
        {"current end past data end", [](ByteWriter& w) { w.U32(SlotAt(2) + 8, kDataEnd + 8); },
         FileVerdict::kInvalidCurrentSlot, 0},
        {"caller value, comment, reserved",
         [](ByteWriter& w) {
             w.U32(SlotAt(2) + 12, 0xFFFFFFFF);
             w.Text(SlotAt(2) + 16, std::u16string(32, u'z'));
             w.U32(SlotAt(2) + 80, 0xFFFFFFFF);
         },
         ok, kAllFour},
    };
    for (const FieldCase& c : cases) {
        ByteWriter w(0);
        w.bytes() = ValidImage();
        c.damage(w);
        const Outcome out = Read(w.bytes());
        EXPECT_EQ(out.check.verdict, c.verdict)
            << c.name << ": " << format::VerdictText(out.check.verdict);
        EXPECT_EQ(out.check.validSlots, c.validSlots) << c.name;
    }
}

TEST(ObjectFileCheck, TruncatedFiles) {
    const std::vector<uint8_t> image = ValidImage();
    const struct {
        size_t length;
        FileVerdict verdict;
    } cases[] = {
        {0, FileVerdict::kTruncated},
        {1, FileVerdict::kTruncated},
        {2236, FileVerdict::kTruncated},
        {7919, FileVerdict::kTruncated},
        {7920, FileVerdict::kTruncated},
        {10239, FileVerdict::kTruncated},
        {10240, FileVerdict::kBadDataEnd},
        {10450, FileVerdict::kBadDataEnd},
        {kDataEnd - 1, FileVerdict::kBadDataEnd},
        {kDataEnd, FileVerdict::kUsable},
    };
    for (const auto& c : cases) {
        const Outcome out =
            Read(std::vector<uint8_t>(image.begin(), image.begin() + ptrdiff_t(c.length)));
        EXPECT_EQ(out.check.verdict, c.verdict)
            << c.length << ": " << format::VerdictText(out.check.verdict);
        if (c.verdict != FileVerdict::kUsable) {
            EXPECT_EQ(out.check.validSlots, 0u) << c.length;
        }
    }
    // The records can come from a short read of a longer file: the length decides.
    format::ObjectFileHeader header;
    format::HistoryIndex index;
    EXPECT_EQ(format::ReadHistory(image.data(), 7919, image.size(), header, index).verdict,
              FileVerdict::kTruncated);
    EXPECT_TRUE(format::ReadHistory(image.data(), 7920, image.size(), header, index).IsUsable());
}

TEST(ObjectFileCheck, RangesAreComparedInSixtyFourBits) {
    const Outcome base = Read(ValidImage());
    ASSERT_TRUE(base.check.IsUsable());
    format::HistoryIndex index = base.index;
    index.header.dwDataEnd = 0xFFFFFFFF;
    index.slots[3].dwEnd = 0xFFFFFFFF;
    index.slots[1].dwOffset = 0xFFFFFFFF;  // offset > end (10400): wrapping would hide it
    const uint64_t bigFile = 0x100000010ull;
    const format::HistoryCheck check = format::CheckHistory(base.header, index, bigFile);
    ASSERT_TRUE(check.IsUsable());
    EXPECT_EQ(check.validSlots, 0xDu);
    // The same index against a file of 4 GiB - 2 bytes loses its data end.
    EXPECT_EQ(format::CheckHistory(base.header, index, 0xFFFFFFFEull).verdict,
              FileVerdict::kBadDataEnd);
}

TEST(ObjectFileCheck, UndoListIsSortedAndCountsSteps) {
    Outcome out = Read(ValidImage());
    format::HistoryIndex& index = out.index;
    // After a ring wrap: stamps 1, 64, 65 (current), 4 in slots 0 to 3.
    const DWORD stamps[] = {1, 64, 65, 4};
    for (int i = 0; i < 4; ++i) index.slots[i].dwModifyCnt = stamps[i];
    index.slots[0].dwEnd = 10240 + 1536;
    index.slots[1].dwOffset = 10240 + 1536;
    index.slots[1].dwEnd = 10240 + 1536 + 511;
    index.slots[2].dwOffset = 10240 + 1536 + 511;
    index.slots[2].dwEnd = 10240 + 4096;
    index.slots[3].dwOffset = 10240 + 4096;
    index.slots[1].dwModifyID = 0xABCD;
    format::SetSlotComment(index.slots[1], u"Paint");
    index.header.dwDataEnd = 10240 + 4096 + 3000;
    const format::HistoryCheck check = format::CheckHistory(out.header, index, 20000);
    ASSERT_TRUE(check.IsUsable()) << format::VerdictText(check.verdict);

    unsigned undo = 0, redo = 0;
    format::CountUndoRedo(index, check, undo, redo);
    EXPECT_EQ(undo, 3u);
    EXPECT_EQ(redo, 0u);
    EXPECT_EQ(format::CountListed(check), 4u);

    tagUNDOLIST list[8] = {};
    ASSERT_EQ(format::BuildUndoList(index, check, list, 8), 4u);
    const DWORD expectedStamps[] = {1, 4, 64, 65};
    const DWORD expectedKB[] = {2, 3, 0, 2};  // (1536+512)>>10, (3000+512)>>10, ...
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list[i].dwModifyCnt, expectedStamps[i]) << i;
        EXPECT_EQ(list[i].dwSizeKB, expectedKB[i]) << i;
    }
    EXPECT_EQ(list[2].dwModifyID, 0xABCDu);
    EXPECT_EQ(std::u16string(list[2].szComment), u"Paint");

    tagUNDOLIST two[3] = {};
    two[2].dwModifyCnt = 0x5A5A;
    EXPECT_EQ(format::BuildUndoList(index, check, two, 2), 2u);
    EXPECT_EQ(two[1].dwModifyCnt, 4u);
    EXPECT_EQ(two[2].dwModifyCnt, 0x5A5Au);  // untouched
    EXPECT_EQ(format::BuildUndoList(index, check, nullptr, 8), 0u);

    // A refused file lists nothing.
    format::HistoryCheck refused;
    EXPECT_EQ(format::BuildUndoList(index, refused, list, 8), 0u);
    format::CountUndoRedo(index, refused, undo, redo);
    EXPECT_EQ(undo + redo, 0u);
}

uint32_t SeedFromEnvironment() {
    const char* text = std::getenv("QZO_TEST_SEED");
    return text && *text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 0)) : 0x0B7EC7u;
}

// One damage step: a byte, a field set to a boundary value, or a new length.
void Damage(std::vector<uint8_t>& image, std::mt19937& random) {
    const uint32_t boundaries[] = {0,          1,          63,         64,        2236,  7920,
                                   10239,      10240,      10300,      10520,     10600, 10768,
                                   0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
    switch (random() % 5) {
        case 0:
        case 1: {  // a field of the header or index: most of the interesting words live here
            const size_t at = (random() % (7920 / 4)) * 4;
            if (at + 4 > image.size()) return;
            const uint32_t value = boundaries[random() % std::size(boundaries)];
            for (int i = 0; i < 4; ++i) image[at + i] = uint8_t(value >> (8 * i));
            return;
        }
        case 2: {  // a slot word of the first few slots
            const size_t at = SlotAt(random() % 6) + 4 * (random() % 4);
            if (at + 4 > image.size()) return;
            const uint32_t value =
                random() % 2 ? boundaries[random() % std::size(boundaries)] : random() % 11000;
            for (int i = 0; i < 4; ++i) image[at + i] = uint8_t(value >> (8 * i));
            return;
        }
        case 3: {  // any byte
            if (image.empty()) return;
            image[random() % image.size()] ^= uint8_t(1u << (random() % 8));
            return;
        }
        default: {  // a new length, mostly near the interesting places
            const int64_t near = int64_t(boundaries[random() % 12]) + int64_t(random() % 3) - 1;
            image.resize(random() % 4 ? size_t(std::max<int64_t>(near, 0)) : random() % 11000);
            return;
        }
    }
}

TEST(ObjectFileCheck, SeededMutationsNeverYieldSlotsOutsideTheFile) {
    const uint32_t seed = SeedFromEnvironment();
    std::cout << "[ seed     ] QZO_TEST_SEED=" << seed << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    const std::vector<uint8_t> original = ValidImage();
    unsigned usable = 0, refused = 0;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> image = original;
        const int steps = 1 + int(random() % 4);
        for (int s = 0; s < steps; ++s) Damage(image, random);
        const Outcome out = Read(image);
        SCOPED_TRACE("round " + std::to_string(round));
        if (!out.check.IsUsable()) {
            ++refused;
            ASSERT_EQ(out.check.validSlots, 0u);
            ASSERT_EQ(format::CountListed(out.check), 0u);
            continue;
        }
        ++usable;
        const format::HistoryIndex& index = out.index;
        const uint64_t dataEnd = index.header.dwDataEnd;
        ASSERT_GE(dataEnd, 10240u);
        ASSERT_LE(dataEnd, image.size());
        ASSERT_TRUE(out.check.IsValidSlot(index.header.dwCurrent));
        std::unique_ptr<uint8_t[]> file(new uint8_t[image.size()]);
        std::copy(image.begin(), image.end(), file.get());
        for (DWORD slot = 0; slot < 64; ++slot) {
            if (!out.check.IsValidSlot(slot)) continue;
            const uint64_t offset = index.slots[slot].dwOffset;
            const uint64_t end = format::SlotEnd(index, slot);
            ASSERT_NE(index.slots[slot].dwModifyCnt, 0u);
            ASSERT_GE(offset, 10240u);
            ASSERT_LE(offset, end);
            ASSERT_LE(end, dataEnd);
            // Load the version's bytes as a reader would.
            std::vector<uint8_t> version(file.get() + offset, file.get() + end);
            ASSERT_EQ(version.size(), end - offset);
        }
        for (const tagOBJHERITAGE& record : out.header.classes) {
            WCHAR path[OBJHERITAGE_DLLPATH_BUFFER];
            record.GetDLLPath(path);
            ASSERT_TRUE(record.IsWellFormed());
        }
        unsigned undo = 0, redo = 0;
        format::CountUndoRedo(index, out.check, undo, redo);
        tagUNDOLIST list[64];
        const unsigned listed = format::BuildUndoList(index, out.check, list, 64);
        ASSERT_EQ(listed, format::CountListed(out.check));
        ASSERT_EQ(undo + redo + 1, listed);  // stamps are distinct among listed versions
        for (unsigned i = 1; i < listed; ++i)
            ASSERT_LT(list[i - 1].dwModifyCnt, list[i].dwModifyCnt);
    }
    std::cout << "[ outcome  ] " << usable << " usable, " << refused << " refused" << std::endl;
    EXPECT_GT(usable, 100u);
    EXPECT_GT(refused, 100u);
}

}  // namespace
