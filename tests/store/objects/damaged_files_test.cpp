// Damaged object files at two layers. The codec's verdict on every header and index field,
// truncations and slot damage of a synthetic image, and seeded mutations that never yield a slot
// outside the file. The same header and index damage written over a real object's file: a
// reader's restore refuses it with 128 and the object's state 6, never crashes, and leaves every
// byte as it was; likewise chunk sizes past the end, slots outside the data and seeded mutations.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <string>

#include "qzobj/store/objfile/object_file_format.h"
#include "store/support/store_fixture.h"

namespace qzo::test::store {
namespace {

namespace format = qzo::store::object_file_format;
using format::FileVerdict;

constexpr uint64_t kAllFour = 0xF;

uint32_t SeedOfRun(const char* variable, uint32_t fallback) {
    if (const char* text = std::getenv(variable); text && *text)
        return uint32_t(std::strtoul(text, nullptr, 0));
    return fallback ? fallback : std::random_device{}();
}

// One damage of a file image; `verdict` is the codec's answer to it.
struct FieldRow {
    std::string name;
    std::function<void(Bytes&)> damage;
    FileVerdict verdict;
};

std::function<void(Bytes&)> Set(size_t at, uint32_t value) {
    return [=](Bytes& bytes) { Put32(bytes, at, value); };
}

void UnterminatedPath(Bytes& bytes, size_t record) {
    PutText(bytes, 44 + kHeritageSize * record + 28, std::u16string(260, u'x'));
}

// Damage of the header and the index header, which mean the same in every file.
std::vector<FieldRow> HeaderRows() {
    const FileVerdict ok = FileVerdict::kUsable;
    std::vector<FieldRow> rows;
    for (size_t i = 0; i < 4; ++i)
        rows.push_back({"magic byte " + std::to_string(i), [i](Bytes& b) { b[i] ^= 0x20; },
                        FileVerdict::kBadMagic});
    for (uint32_t size : {0u, 2235u, 2237u, 0xFFFFFFFFu})
        rows.push_back(
            {"header size " + std::to_string(size), Set(4, size), FileVerdict::kBadHeaderSize});
    rows.push_back({"location hash", Set(8, 0xFFFFFFFF), ok});
    rows.push_back({"location object", Set(12, 0), ok});
    rows.push_back({"location project", Set(16, 0xFC00), ok});
    rows.push_back({"location data", Set(20, 0xDEAD), ok});
    rows.push_back({"location flags", Set(24, 0xFFFFFFFF), ok});
    for (const auto& [at, value] : std::vector<std::pair<size_t, uint32_t>>{
             {28, 0}, {28, 2237}, {32, 7921}, {36, 10239}, {36, 10241}, {36, 0xFFFFFFFF}})
        rows.push_back({"offset at " + std::to_string(at) + " = " + std::to_string(value),
                        Set(at, value), FileVerdict::kBadOffsets});
    for (uint32_t count : {0u, 3u, 5u, 0xFFFFFFFFu})
        rows.push_back(
            {"class count " + std::to_string(count), Set(40, count), FileVerdict::kBadClassCount});
    rows.push_back({"record 0 size 0", Set(44, 0), FileVerdict::kBadClassRecord});
    rows.push_back(
        {"record 3 size 549", Set(44 + 3 * kHeritageSize, 549), FileVerdict::kBadClassRecord});
    for (size_t record = 0; record < 4; ++record) {
        rows.push_back({"record " + std::to_string(record) + " size 547",
                        Set(44 + record * kHeritageSize, 547), FileVerdict::kBadClassRecord});
        rows.push_back({"record " + std::to_string(record) + " path unterminated",
                        [record](Bytes& b) { UnterminatedPath(b, record); },
                        FileVerdict::kBadClassRecord});
    }
    rows.push_back({"record hash, GUID, flags",
                    [](Bytes& b) {
                        Put32(b, 48, 0x12345678);
                        Put32(b, 52, 0);
                        Put32(b, 68, 0xFFFFFFFF);
                    },
                    ok});
    rows.push_back({"class GUID", [](Bytes& b) { b[52] ^= 0x10; }, ok});
    rows.push_back({"unknown class, base class kept", Set(48, 0x7777FC77u), ok});
    for (uint32_t size : {0u, 5683u, 5685u})
        rows.push_back({"index size " + std::to_string(size), Set(kIndexOffset, size),
                        FileVerdict::kBadIndexSize});
    rows.push_back({"index class flags 0", Set(kIndexOffset + 4, 0), ok});
    rows.push_back({"index class flags all", Set(kIndexOffset + 4, 0xFFFFFFFF), ok});
    rows.push_back(
        {"current none", Set(kCurrentFieldOffset, 0xFFFFFFFF), FileVerdict::kNoCurrentSlot});
    for (uint32_t current : {64u, 0x80000000u})
        rows.push_back({"current " + std::to_string(current), Set(kCurrentFieldOffset, current),
                        FileVerdict::kBadCurrentSlot});
    for (uint32_t current : {10u, 40u})
        rows.push_back({"current " + std::to_string(current) + " empty",
                        Set(kCurrentFieldOffset, current), FileVerdict::kEmptyCurrentSlot});
    for (uint32_t end : {0u, 10239u, 0xFFFFFFFFu})
        rows.push_back({"data end " + std::to_string(end), Set(kDataEndFieldOffset, end),
                        FileVerdict::kBadDataEnd});
    rows.push_back({"data end past the file",
                    [](Bytes& b) { Put32(b, kDataEndFieldOffset, uint32_t(b.size() + 1)); },
                    FileVerdict::kBadDataEnd});
    for (uint32_t count : {63u, 65u})
        rows.push_back({"slot count " + std::to_string(count), Set(kIndexOffset + 16, count),
                        FileVerdict::kBadSlotCount});
    for (size_t at = kIndexOffset + 20; at < kIndexOffset + kIndexHeaderSize; at += 4)
        rows.push_back({"index reserved word at " + std::to_string(at), Set(at, 0xA5A5A5A5u), ok});
    return rows;
}

// ---- The codec -----------------------------------------------------------------------------

constexpr uint32_t kDataEnd = 10600;

// Four versions (slots 0 to 3, slot 3 ending at the data end), the current one in slot 2, and a
// writer's 168-byte access record behind the data.
Bytes ValidImage() {
    ImageIndex index;
    index.classFlags = 0x81;
    index.current = 2;
    index.dataEnd = kDataEnd;
    index.slots[0] = {1, 10240, 10300, 0, u"Edit"};
    index.slots[1] = {2, 10300, 10400, 0, u"Edit"};
    index.slots[2] = {3, 10400, 10520, 0, u"Edit"};
    index.slots[3] = {4, 10520, 0, 0, u"Edit"};
    return FileBytes(ImageLocation{kRootHashID, 1024, 0x5555, 0, 0}, {RootClass()}, index, {},
                     Bytes(kDataEnd + kAccessInfoSize - kVersionsOffset, 0x11));
}

struct Outcome {
    format::HistoryCheck check;
    format::ObjectFileHeader header;
    format::HistoryIndex index;
};

// Reads the image as a file of exactly its own size, held in a heap block of that size so that
// a read past its end is caught by the address sanitizer.
Outcome Read(const Bytes& image) {
    Outcome out;
    const size_t size = image.size();
    std::unique_ptr<uint8_t[]> file(new uint8_t[size + 1]);
    std::copy(image.begin(), image.end(), file.get());
    out.check = format::ReadHistory(size ? file.get() : nullptr, size, size, out.header, out.index);
    return out;
}

TEST(ObjectFileCheck, EveryHeaderAndIndexField) {
    struct SlotRow {
        FieldRow row;
        uint64_t validSlots;
    };
    const FileVerdict ok = FileVerdict::kUsable;
    std::vector<SlotRow> rows = {
        {{"intact", [](Bytes&) {}, ok}, kAllFour},
        {{"data end at file end", Set(kDataEndFieldOffset, kDataEnd + kAccessInfoSize), ok},
         kAllFour},
        {{"data end cuts last slot to nothing", Set(kDataEndFieldOffset, 10520), ok}, kAllFour},
        {{"data end inside current", Set(kDataEndFieldOffset, 10500),
          FileVerdict::kInvalidCurrentSlot},
         0},
        {{"slot 0 emptied", Set(SlotOffset(0), 0), ok}, 0xE},
        {{"slot 1 offset in NT block", Set(SlotOffset(1) + 4, 10239), ok}, 0xD},
        {{"slot 1 offset max", Set(SlotOffset(1) + 4, 0xFFFFFFFF), ok}, 0xD},
        {{"slot 1 end max", Set(SlotOffset(1) + 8, 0xFFFFFFFF), ok}, 0xD},
        {{"slot 1 end before offset", Set(SlotOffset(1) + 8, 10299), ok}, 0xD},
        {{"slot 1 end past data end", Set(SlotOffset(1) + 8, kDataEnd + 1), ok}, 0xD},
        {{"slot 3 offset past data end", Set(SlotOffset(3) + 4, kDataEnd + 1), ok}, 0x7},
        {{"slot 1 repeats the current stamp", Set(SlotOffset(1), 3), ok}, 0xD},
        {{"slots 1 and 3 share a stamp", Set(SlotOffset(1), 4), ok}, 0x5},
        {{"stamp shared with a slot out of range",
          [](Bytes& b) {
              Put32(b, SlotOffset(7), 4);
              Put32(b, SlotOffset(7) + 4, 5);
          },
          ok},
         kAllFour},
        {{"empty slot with garbage", Set(SlotOffset(5) + 4, 0xFFFFFFFF), ok}, kAllFour},
        {{"slot 63 live with its own end",
          [](Bytes& b) {
              Put32(b, SlotOffset(63), 9);
              Put32(b, SlotOffset(63) + 4, 10240);
              Put32(b, SlotOffset(63) + 8, 10300);
          },
          ok},
         kAllFour | (uint64_t(1) << 63)},
        {{"current offset in NT block", Set(SlotOffset(2) + 4, 7920),
          FileVerdict::kInvalidCurrentSlot},
         0},
        {{"current end past data end", Set(SlotOffset(2) + 8, kDataEnd + 8),
          FileVerdict::kInvalidCurrentSlot},
         0},
        {{"caller value, comment, reserved",
          [](Bytes& b) {
              Put32(b, SlotOffset(2) + 12, 0xFFFFFFFF);
              PutText(b, SlotOffset(2) + 16, std::u16string(32, u'z'));
              Put32(b, SlotOffset(2) + 80, 0xFFFFFFFF);
          },
          ok},
         kAllFour},
    };
    for (const FieldRow& row : HeaderRows())
        rows.push_back({row, row.verdict == FileVerdict::kUsable ? kAllFour : 0});
    for (const SlotRow& row : rows) {
        SCOPED_TRACE(row.row.name);
        Bytes image = ValidImage();
        row.row.damage(image);
        const Outcome out = Read(image);
        EXPECT_EQ(out.check.verdict, row.row.verdict) << format::VerdictText(out.check.verdict);
        EXPECT_EQ(out.check.validSlots, row.validSlots);
    }
}

TEST(ObjectFileCheck, TruncatedFiles) {
    const Bytes image = ValidImage();
    const struct {
        size_t length;
        FileVerdict verdict;
    } rows[] = {
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
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        const Outcome out = Read(Bytes(image.begin(), image.begin() + ptrdiff_t(row.length)));
        EXPECT_EQ(out.check.verdict, row.verdict) << format::VerdictText(out.check.verdict);
        if (row.verdict != FileVerdict::kUsable) {
            EXPECT_EQ(out.check.validSlots, 0u);
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
    const format::HistoryCheck check = format::CheckHistory(base.header, index, 0x100000010ull);
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

// One seeded damage: bytes of the header, index or NT block, any byte, a word of header or
// index or of a slot, a chunk size (of `chunkSizes`) set to a boundary value, a new length
// (mostly near a boundary), or trailing garbage. Returns the kind.
unsigned Mutate(Bytes& bytes, std::mt19937& random, const std::vector<size_t>& chunkSizes) {
    const uint32_t length = uint32_t(bytes.size());
    const uint32_t values[] = {0,
                               1,
                               63,
                               64,
                               2236,
                               7920,
                               10239,
                               10240,
                               length - 1,
                               length,
                               length + 1,
                               0x7FFFFFFF,
                               0x80000000u,
                               0xFFFFFFFEu,
                               0xFFFFFFFFu,
                               uint32_t(random() % 11000),
                               uint32_t(random())};
    const uint32_t value = values[random() % std::size(values)];
    auto put = [&](size_t at) {
        if (at + 4 <= bytes.size()) Put32(bytes, at, value);
    };
    const unsigned kind = random() % 8;
    if (bytes.empty() && kind < 2) return kind;
    switch (kind) {
        case 0:  // a few bytes of header, index or NT block
            for (unsigned n = 1 + random() % 4; n > 0; --n)
                bytes[random() % std::min<size_t>(bytes.size(), kNTOffset + 64)] ^=
                    uint8_t(1 + random() % 255);
            break;
        case 1:  // any byte
            bytes[random() % bytes.size()] = uint8_t(random());
            break;
        case 2:  // an aligned word of header or index
            put(4 * (random() % (kNTOffset / 4)));
            break;
        case 3:  // a word of one of the first slots
            put(SlotOffset(random() % 6) + 4 * (random() % 4));
            break;
        case 4:  // a word of any slot
            put(SlotOffset(random() % kSlotCount) + 4 * (random() % 4));
            break;
        case 5:  // a chunk size
            if (!chunkSizes.empty()) put(chunkSizes[random() % chunkSizes.size()]);
            break;
        case 6:  // a new length
            bytes.resize(random() % 2 ? std::min<size_t>(value, bytes.size())
                                      : random() % (bytes.size() + 1));
            break;
        default:  // trailing garbage
            for (unsigned n = 1 + random() % 300; n > 0; --n) bytes.push_back(uint8_t(random()));
            break;
    }
    return kind;
}

TEST(ObjectFileCheck, SeededMutationsNeverYieldSlotsOutsideTheFile) {
    const uint32_t seed = SeedOfRun("QZO_TEST_SEED", 0x0B7EC7u);
    std::cout << "[ seed     ] QZO_TEST_SEED=" << seed << std::endl;
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    const Bytes original = ValidImage();
    unsigned usable = 0, refused = 0;
    for (int round = 0; round < 2000; ++round) {
        Bytes image = original;
        for (int s = 1 + int(random() % 4); s > 0; --s) Mutate(image, random, {});
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
            const Bytes version(file.get() + offset, file.get() + end);
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

// ---- A real object's file ----------------------------------------------------------------

int MutationCount() {
    if (const char* text = std::getenv("QZO_STORE_MUTATIONS"); text && *text)
        return std::atoi(text);
    return 2000;
}

class StoreDamagedFiles : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (HasFatalFailure()) return;
        // Versions 1 to 6, the current one 5 (one redo step), and an NT word.
        ObjectRef editor = Create();
        ASSERT_NE(editor.test(), nullptr);
        editor.test()->ntValue = 0x4E545754u;
        const uint32_t sizes[] = {50, 1500, 300, 900, 120};
        for (uint32_t i = 0; i < 5; ++i) {
            editor.test()->SetContent(100 + i, sizes[i]);
            ASSERT_TRUE(editor->Commit(0));
        }
        ASSERT_TRUE(editor->UnwindObject(-1, TRUE));
        location_ = editor->GetLocator().GetLocation();
        editor.reset();
        path_ = ObjectFile(location_);
        good_ = ReadFile(path_);
        const ImageIndex index = ParseIndex(good_);
        ASSERT_EQ(index.current, 4u);
        ASSERT_EQ(good_.size(), index.dataEnd);
        current_ = index.slots[index.current];
    }

    // Writes `bytes` as the object's file and restores it for reading: never a crash, never a
    // changed byte; `refused`: the restore gives 128; `unusable`: the state is 6 as well.
    void Expect(const Bytes& bytes, bool refused, bool unusable, const std::string& label) {
        SCOPED_TRACE(label);
        ASSERT_TRUE(WriteFile(path_, bytes));
        Restored restored = Restore(location_, kRead);
        EXPECT_TRUE(restored.result == LOCATOR_OK || restored.result == LOCATOR_FAILED)
            << restored.result;
        EXPECT_EQ(restored.object != nullptr, restored.result == LOCATOR_OK);
        if (refused) {
            EXPECT_EQ(restored.result, LOCATOR_FAILED);
        }
        restored.object.reset();
        if (unusable) {
            Locator probe(location_);
            EXPECT_EQ(probe.QueryObjectState(), LOCATOR_STATE_DAMAGED);
        }
        EXPECT_TRUE(SameBytes(ReadFile(path_), bytes)) << "the file changed";
    }

    Bytes With32(size_t at, uint32_t value) const {
        Bytes bytes = good_;
        Put32(bytes, at, value);
        return bytes;
    }

    // Every entry of the undo list names a slot whose range lies inside the data, as the test's
    // own reading of the file finds it.
    void ExpectListedSlotsInBounds(const Bytes& bytes) {
        Locator fresh(location_);
        tagUNDOLIST list[kSlotCount + 1] = {};
        const unsigned count = fresh.GetUndoRedoList(list, kSlotCount + 1);
        ASSERT_LE(count, kSlotCount);
        if (bytes.size() < kNTOffset) {
            EXPECT_EQ(count, 0u);
            return;
        }
        const ImageIndex index = ParseIndex(bytes);
        for (unsigned i = 0; i < count; ++i) {
            bool found = false;
            for (uint32_t slot = 0; slot < kSlotCount && !found; ++slot)
                found = index.slots[slot].modifyCnt == list[i].dwModifyCnt &&
                        SlotInBounds(index, slot, bytes.size());
            EXPECT_TRUE(found) << "listed version " << list[i].dwModifyCnt
                               << " has no slot inside the data";
        }
    }

    Location location_;
    std::string path_;
    Bytes good_;
    ImageSlot current_;
};

TEST_F(StoreDamagedFiles, TheValidFileRestores) {
    Expect(good_, false, false, "valid");
    Restored restored = Restore(location_, kRead);
    ASSERT_EQ(restored.result, LOCATOR_OK);
    ASSERT_NE(restored.test(), nullptr);
    EXPECT_EQ(restored.object->QueryVersion(), 5u);
    EXPECT_EQ(restored.test()->tag, 103u);
    EXPECT_TRUE(restored.test()->Intact());
    EXPECT_EQ(restored.test()->ntValue, 0x4E545754u);
    Locator probe(location_);
    EXPECT_EQ(probe.QueryObjectState(), LOCATOR_STATE_WHOLE);
}

// The codec's rows over the real file: what it refuses is unusable here as well.
TEST_F(StoreDamagedFiles, HeaderAndIndexFieldsAreChecked) {
    for (const FieldRow& row : HeaderRows()) {
        Bytes bytes = good_;
        row.damage(bytes);
        const bool refused = row.verdict != FileVerdict::kUsable;
        Expect(bytes, refused, refused, row.name);
    }
    const uint32_t length = uint32_t(good_.size());
    const size_t slot = SlotOffset(4);
    Expect(With32(slot, 0), true, true, "current slot emptied");
    for (uint32_t offset : {0u, 10239u, current_.end + 1, 0xFFFFFFFFu})
        Expect(With32(slot + 4, offset), true, true, "current offset " + std::to_string(offset));
    for (uint32_t end : {current_.offset - 1, length + 1, 0xFFFFFFFFu})
        Expect(With32(slot + 8, end), true, true, "current end " + std::to_string(end));
    Expect(With32(slot + 16, 0x00410041u), false, false, "current comment");
    Expect(With32(slot + 80, 0xFFFFFFFFu), false, false, "slot reserved bytes");
}

TEST_F(StoreDamagedFiles, TruncationsAreRefused) {
    for (size_t length : {size_t(0), size_t(100), size_t(kIndexOffset), size_t(kNTOffset),
                          size_t(kVersionsOffset), size_t(current_.offset + 10), good_.size() - 1})
        Expect(Bytes(good_.begin(), good_.begin() + long(length)), true, true,
               "truncated at " + std::to_string(length));
}

TEST_F(StoreDamagedFiles, ChunkSizesPastTheEndAreRefused) {
    const uint32_t length = uint32_t(good_.size());
    const struct {
        size_t at;
        const char* what;
    } fields[] = {
        {kNTOffset + 4, "NT chunk"},
        {kNTOffset + 12, "NT word chunk"},
        {current_.offset + 4, "version chunk"},
        {current_.offset + 12, "version word chunk"},
        {current_.offset + 24, "head chunk"},
        {current_.offset + 48, "payload chunk"},
    };
    for (const auto& field : fields)
        for (uint32_t size : {0xFFFFFFF0u, 0x7FFFFFF8u, length})
            Expect(With32(field.at, size), true, false,
                   std::string(field.what) + " size " + std::to_string(size));
}

// A slot outside the data is neither listed nor made current; the file stays as it is.
TEST_F(StoreDamagedFiles, SlotsOutsideTheDataAreNeverListed) {
    const uint32_t length = uint32_t(good_.size());
    Bytes bytes = With32(SlotOffset(2) + 8, length + 100);
    Expect(bytes, false, false, "slot 2 past the data");
    ExpectListedSlotsInBounds(bytes);
    Locator fresh(location_);
    unsigned undo = 0, redo = 0;
    EXPECT_TRUE(fresh.QueryUndoRedo(undo, redo));
    EXPECT_EQ(undo, 3u);
    EXPECT_EQ(redo, 1u);
    EXPECT_FALSE(fresh.SetHistoryIndex(3)) << "version 3 lies outside the data";
    // A writer may empty the slot no reader can list; nothing else changes.
    Bytes after = ReadFile(path_);
    ASSERT_EQ(after.size(), bytes.size());
    if (Get32(after, SlotOffset(2)) == 0)
        std::copy(bytes.begin() + SlotOffset(2), bytes.begin() + SlotOffset(3),
                  after.begin() + SlotOffset(2));
    EXPECT_TRUE(SameBytes(after, bytes)) << "a refused index move changed the file";
    EXPECT_EQ(ParseIndex(after).current, 4u);

    // A slot repeating the current ModifyCnt is dropped in favour of the current one.
    bytes = With32(SlotOffset(1), 5);
    Expect(bytes, false, false, "slot 1 repeats the current stamp");
    Restored restored = Restore(location_, kRead);
    ASSERT_EQ(restored.result, LOCATOR_OK);
    EXPECT_EQ(restored.test()->tag, 103u);
    ExpectListedSlotsInBounds(bytes);
}

TEST_F(StoreDamagedFiles, SeededMutationsNeverCrashOrChangeTheFile) {
    const uint32_t seed = SeedOfRun("QZO_SEED", 0);
    const int count = MutationCount();
    std::printf("store damaged files: seed %u, %d mutations (QZO_SEED, QZO_STORE_MUTATIONS)\n",
                unsigned(seed), count);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    const ImageIndex index = ParseIndex(good_);
    std::vector<size_t> chunkSizeFields = {kNTOffset + 4, kNTOffset + 12};
    for (const ImageSlot& slot : index.slots)
        if (slot.modifyCnt)
            for (size_t at : {4, 12, 24, 48}) chunkSizeFields.push_back(slot.offset + at);
    int refusedCount = 0;
    for (int i = 0; i < count; ++i) {
        Bytes bytes = good_;
        const unsigned kind = Mutate(bytes, random, chunkSizeFields);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", mutation " + std::to_string(i) +
                     ", kind " + std::to_string(kind));
        ASSERT_TRUE(WriteFile(path_, bytes));
        Restored restored = Restore(location_, kRead);
        ASSERT_TRUE(restored.result == LOCATOR_OK || restored.result == LOCATOR_FAILED)
            << restored.result;
        ASSERT_EQ(restored.object != nullptr, restored.result == LOCATOR_OK);
        restored.object.reset();
        Locator probe(location_);
        const unsigned state = probe.QueryObjectState();
        ASSERT_TRUE(state == LOCATOR_STATE_DAMAGED || state == LOCATOR_STATE_BASECLASS ||
                    state == LOCATOR_STATE_WHOLE)
            << state;
        if (state == LOCATOR_STATE_DAMAGED) {
            ASSERT_EQ(restored.result, LOCATOR_FAILED);
        }
        ASSERT_NO_FATAL_FAILURE(ExpectListedSlotsInBounds(bytes));
        ASSERT_TRUE(SameBytes(ReadFile(path_), bytes)) << "the file changed";
        if (restored.result != LOCATOR_OK) ++refusedCount;
    }
    std::printf("store damaged files: %d of %d mutations refused\n", refusedCount, count);
}

}  // namespace
}  // namespace qzo::test::store
