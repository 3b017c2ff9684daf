// Damaged object files: every header and index field, truncations, chunk sizes past the end, and
// seeded mutations of a valid file. A reader's restore refuses a damaged file with 128 (the
// object's state 6 when the header or index is unusable), never crashes, never lists or loads a
// slot outside the data, and leaves every byte of the file as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "store/objects/store_history_model.h"
#include "store/objects/store_test_support.h"

namespace qzo::test::store {
namespace {

uint32_t SeedOfRun() {
    if (const char* text = std::getenv("QZO_SEED"); text && *text)
        return uint32_t(std::strtoul(text, nullptr, 0));
    return std::random_device{}();
}

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
        ObjectRef editor = CreateTestObject();
        ASSERT_NE(editor, nullptr);
        auto* object = dynamic_cast<CStoreTestObject*>(editor.get());
        object->ntValue = 0x4E545754u;
        const uint32_t sizes[] = {50, 1500, 300, 900, 120};
        for (uint32_t i = 0; i < 5; ++i) {
            object->payload = PayloadFor(100 + i, sizes[i]);
            ASSERT_TRUE(object->Commit(0));
        }
        ASSERT_TRUE(object->UnwindObject(-1, TRUE));
        location_ = editor->GetLocator().GetLocation();
        editor.reset();
        path_ = ObjectFile(location_);
        good_ = ReadFile(path_);
        const ImageIndex index = ParseIndex(good_);
        ASSERT_EQ(index.current, 4u);
        ASSERT_EQ(good_.size(), index.dataEnd);
        current_ = index.slots[index.current];
    }

    // Writes `bytes` as the object's file, restores it for reading and checks the answer.
    // `refused`: the restore must give 128; `unusable`: the state must be 6 as well.
    void Expect(const Bytes& bytes, bool refused, bool unusable, const std::string& label) {
        SCOPED_TRACE(label);
        ASSERT_TRUE(WriteFile(path_, bytes));
        Restored restored = Restore(location_, kRead);
        EXPECT_TRUE(restored.result == LOCATOR_OK || restored.result == LOCATOR_FAILED)
            << restored.result;
        EXPECT_EQ(restored.object != nullptr, restored.result == LOCATOR_OK);
        if (refused) {
            EXPECT_EQ(restored.result, LOCATOR_FAILED);
            EXPECT_EQ(restored.object, nullptr);
        }
        Locator probe(location_);
        const unsigned state = probe.QueryObjectState();
        if (unusable) {
            EXPECT_EQ(state, LOCATOR_STATE_DAMAGED);
        }
        restored.object.reset();
        EXPECT_TRUE(SameBytes(ReadFile(path_), bytes)) << "the file changed";
    }

    void ExpectUnusable(const Bytes& bytes, const std::string& label) {
        Expect(bytes, true, true, label);
    }

    Bytes With32(size_t at, uint32_t value) const {
        Bytes bytes = good_;
        Put32(bytes, at, value);
        return bytes;
    }

    Bytes Truncated(size_t length) const {
        return Bytes(good_.begin(), good_.begin() + long(length));
    }

    // Entries of the undo list, each checked against the test's own reading of the file: it
    // must name a slot whose range lies inside the data.
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
            for (uint32_t slot = 0; slot < kSlotCount && !found; ++slot) {
                found = index.slots[slot].modifyCnt == list[i].dwModifyCnt &&
                        SlotInBounds(index, slot, bytes.size());
            }
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
    EXPECT_TRUE(restored.test()->payload == PayloadFor(103, 900));
    EXPECT_EQ(restored.test()->ntValue, 0x4E545754u);
    Locator probe(location_);
    EXPECT_EQ(probe.QueryObjectState(), LOCATOR_STATE_WHOLE);
}

TEST_F(StoreDamagedFiles, HeaderFieldsAreChecked) {
    for (size_t i = 0; i < 4; ++i) {
        Bytes bytes = good_;
        bytes[i] ^= 0x20;
        ExpectUnusable(bytes, "magic byte " + std::to_string(i));
    }
    for (uint32_t size : {0u, 2235u, 2237u, 0xFFFFFFFFu})
        ExpectUnusable(With32(4, size), "header size " + std::to_string(size));
    ExpectUnusable(With32(28, 2237), "index offset");
    ExpectUnusable(With32(28, 0), "index offset 0");
    ExpectUnusable(With32(32, 7921), "NT offset");
    ExpectUnusable(With32(36, 10241), "version offset");
    ExpectUnusable(With32(36, 0xFFFFFFFFu), "version offset past everything");
    for (uint32_t count : {0u, 3u, 5u, 0xFFFFFFFFu})
        ExpectUnusable(With32(40, count), "class count " + std::to_string(count));
    for (size_t record = 0; record < 4; ++record) {
        const size_t at = 44 + record * kHeritageSize;
        ExpectUnusable(With32(at, 547), "record size " + std::to_string(record));
        Bytes bytes = good_;
        for (size_t unit = 0; unit < 260; ++unit) {
            bytes[at + 28 + 2 * unit] = 'A';
            bytes[at + 29 + 2 * unit] = 0;
        }
        ExpectUnusable(bytes, "unterminated path in record " + std::to_string(record));
    }
}

// Fields a reader does not judge: the restore may go either way but changes nothing and
// never crashes.
TEST_F(StoreDamagedFiles, UnjudgedFieldsChangeNothing) {
    for (size_t at = 8; at < 28; at += 4) {
        Expect(With32(at, Get32(good_, at) ^ 0x00010001u), false, false,
               "location word at " + std::to_string(at));
    }
    Expect(With32(44 + 8, Get32(good_, 44 + 8) ^ 0x10u), false, false, "class GUID");
    Expect(With32(44 + 4, 0x7777FC77u), false, false, "unknown class, base class kept");
    Expect(With32(44 + 24, 0xFFFFFFFFu), false, false, "class flags in the record");
    Expect(With32(kIndexOffset + 4, 0xFFFFFFFFu), false, false, "class flags in the index");
    for (size_t at = kIndexOffset + 20; at < kIndexOffset + kIndexHeaderSize; at += 4)
        Expect(With32(at, 0xA5A5A5A5u), false, false, "reserved word at " + std::to_string(at));
    Expect(With32(SlotOffset(4) + 16, 0x00410041u), false, false, "current comment");
    Expect(With32(SlotOffset(4) + 80, 0xFFFFFFFFu), false, false, "slot reserved bytes");
}

TEST_F(StoreDamagedFiles, IndexFieldsAreChecked) {
    ExpectUnusable(With32(kIndexOffset, 5683), "index size");
    ExpectUnusable(With32(kIndexOffset, 0), "index size 0");
    ExpectUnusable(With32(kIndexOffset + 16, 63), "slot count 63");
    ExpectUnusable(With32(kIndexOffset + 16, 65), "slot count 65");
    for (uint32_t current : {0xFFFFFFFFu, 64u, 0x80000000u, 40u})
        ExpectUnusable(With32(kCurrentFieldOffset, current), "current " + std::to_string(current));
    const uint32_t length = uint32_t(good_.size());
    for (uint32_t end : {0u, 10239u, length + 1, 0xFFFFFFFFu})
        ExpectUnusable(With32(kDataEndFieldOffset, end), "data end " + std::to_string(end));

    const size_t slot = SlotOffset(4);
    ExpectUnusable(With32(slot, 0), "current slot emptied");
    for (uint32_t offset : {0u, 10239u, current_.end + 1, 0xFFFFFFFFu})
        ExpectUnusable(With32(slot + 4, offset), "current offset " + std::to_string(offset));
    for (uint32_t end : {current_.offset - 1, length + 1, 0xFFFFFFFFu})
        ExpectUnusable(With32(slot + 8, end), "current end " + std::to_string(end));
}

TEST_F(StoreDamagedFiles, TruncationsAreRefused) {
    for (size_t length :
         {size_t(0), size_t(100), size_t(kIndexOffset), size_t(kNTOffset), size_t(kVersionsOffset),
          size_t(current_.offset + 10), good_.size() - 1}) {
        ExpectUnusable(Truncated(length), "truncated at " + std::to_string(length));
    }
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
        {current_.offset + 24, "payload chunk"},
    };
    for (const auto& field : fields) {
        for (uint32_t size : {0xFFFFFFF0u, 0x7FFFFFF8u, length}) {
            Expect(With32(field.at, size), true, false,
                   std::string(field.what) + " size " + std::to_string(size));
        }
    }
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
    if (Get32(after, SlotOffset(2)) == 0) {
        std::copy(bytes.begin() + SlotOffset(2), bytes.begin() + SlotOffset(3),
                  after.begin() + SlotOffset(2));
    }
    EXPECT_TRUE(SameBytes(after, bytes)) << "a refused index move changed the file";
    EXPECT_EQ(ParseIndex(after).current, 4u);

    // A slot repeating the current ModifyCnt is dropped in favour of the current one.
    bytes = With32(SlotOffset(1), 5);
    Expect(bytes, false, false, "slot 1 repeats the current stamp");
    Restored restored = Restore(location_, kRead);
    ASSERT_EQ(restored.result, LOCATOR_OK);
    EXPECT_TRUE(restored.test()->payload == PayloadFor(103, 900));
    ExpectListedSlotsInBounds(bytes);
}

TEST_F(StoreDamagedFiles, SeededMutationsNeverCrashOrChangeTheFile) {
    const uint32_t seed = SeedOfRun();
    const int count = MutationCount();
    std::printf("store damaged files: seed %u, %d mutations (QZO_SEED, QZO_STORE_MUTATIONS)\n",
                unsigned(seed), count);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    const ImageIndex index = ParseIndex(good_);
    std::vector<size_t> chunkSizeFields = {kNTOffset + 4, kNTOffset + 12};
    for (const ImageSlot& slot : index.slots) {
        if (!slot.modifyCnt) continue;
        for (size_t at : {slot.offset + 4, slot.offset + 12, slot.offset + 24})
            chunkSizeFields.push_back(at);
    }
    const uint32_t length = uint32_t(good_.size());
    auto Interesting = [&]() -> uint32_t {
        const uint32_t values[] = {0,     1,     0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u,
                                   10239, 10240, length - 1,  length,      length + 1,
                                   63,    64,    2236,        7920,        uint32_t(random())};
        return values[random() % (sizeof values / sizeof values[0])];
    };

    int refusedCount = 0;
    for (int i = 0; i < count; ++i) {
        Bytes bytes = good_;
        const unsigned kind = random() % 7;
        switch (kind) {
            case 0:  // a few bytes of header, index or NT block
                for (unsigned n = 1 + random() % 4; n > 0; --n)
                    bytes[random() % (kNTOffset + 64)] ^= uint8_t(1 + random() % 255);
                break;
            case 1:  // any byte
                bytes[random() % bytes.size()] = uint8_t(random());
                break;
            case 2:  // an aligned word of header or index
                Put32(bytes, 4 * (random() % (kNTOffset / 4)), Interesting());
                break;
            case 3:  // a chunk size
                Put32(bytes, chunkSizeFields[random() % chunkSizeFields.size()], Interesting());
                break;
            case 4:  // cut anywhere
                bytes.resize(random() % bytes.size());
                break;
            case 5:  // trailing garbage
                for (unsigned n = 1 + random() % 300; n > 0; --n)
                    bytes.push_back(uint8_t(random()));
                break;
            default:  // a field of a slot
                Put32(bytes, SlotOffset(random() % kSlotCount) + 4 * (random() % 4), Interesting());
                break;
        }
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
