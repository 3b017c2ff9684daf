// CPvList chunk storage: golden bytes, renumbering on load, conversion between item sizes and
// damaged chunks.
#include <gtest/gtest.h>

#include "memory/lists/list_test_support.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Lists = QzoTest;

std::string Item8Bytes(DWORD id, DWORD value) {
    return Le32(id) + Le32(value);
}

TEST_F(Lists, SaveWritesTheItemSizeWordAndTheItems) {
    CPvList list(sizeof(Item8), 5);
    for (DWORD v : {0x11u, 0x22u}) {
        Item8 item = MakeItem(v);
        list.Add(&item);
    }
    const std::string expected =
        ChunkBytes("List", Le32(8) + Item8Bytes(0, 0x11) + Item8Bytes(1, 0x22));
    EXPECT_EQ(SavedBytes(list, "List"), expected);

    CPvList empty(sizeof(Item8), 5);
    EXPECT_EQ(SavedBytes(empty, "List"), ChunkBytes("List", ""));
}

TEST_F(Lists, LoadRenumbersTheItems) {
    CPvList list(sizeof(Item8), 5);
    AddRange(list, 100, 112);
    for (DWORD id = 0; id < 13; ++id)
        if (id != 7 && id != 9 && id != 12) list.Delete(id, FALSE);
    ASSERT_EQ(Ids(list), (std::vector<DWORD>{7, 9, 12}));

    RecordingArchive archive(SavedBytes(list, "List"));
    HookedList loaded;
    ASSERT_TRUE(loaded.DynaLoad("List", archive));
    EXPECT_EQ(Ids(loaded), (std::vector<DWORD>{0, 1, 2}));
    EXPECT_EQ(Values(loaded), (std::vector<DWORD>{107, 109, 112}));
    EXPECT_EQ(loaded.calls, (std::vector<std::string>{"load 107", "load 109", "load 112"}));
    Item8 item = MakeItem(1);
    EXPECT_EQ(loaded.Add(&item), 3u);
}

TEST_F(Lists, EightByteItemsConvertToTwelveOnlyWhenAsked) {
    const std::string stored =
        ChunkBytes("List", Le32(8) + Item8Bytes(5, 0xAAAAAAAA) + Item8Bytes(6, 0xBBBBBBBB));
    CPvList wide(12, 5);
    RecordingArchive strict(stored);
    EXPECT_FALSE(wide.DynaLoad("List", strict));
    EXPECT_EQ(wide.GetNItems(), 0u);
    EXPECT_EQ(wide.GetList(), nullptr);

    RecordingArchive lenient(stored);
    ASSERT_TRUE(wide.DynaLoad("List", lenient, 0, TRUE));
    ASSERT_EQ(wide.GetNItems(), 2u);
    const DWORD* first = static_cast<const DWORD*>(wide.GetCItem(0));
    const DWORD* second = static_cast<const DWORD*>(wide.GetCItem(1));
    EXPECT_EQ(first[0], 0u);
    EXPECT_EQ(first[1], 0xAAAAAAAAu);
    EXPECT_EQ(first[2], 0u);  // bytes 8 to 11 are zero-filled
    EXPECT_EQ(second[0], 1u);
    EXPECT_EQ(second[1], 0xBBBBBBBBu);
    EXPECT_EQ(second[2], 0u);

    // Saving writes the new item size.
    EXPECT_EQ(SavedBytes(wide, "List"),
              ChunkBytes("List", Le32(12) + Le32(0) + Le32(0xAAAAAAAA) + Le32(0) + Le32(1) +
                                     Le32(0xBBBBBBBB) + Le32(0)));
}

TEST_F(Lists, TwelveByteItemsConvertToEightByCutting) {
    const std::string stored =
        ChunkBytes("List", Le32(12) + Le32(0) + Le32(1) + Le32(0xC1) + Le32(1) + Le32(2) +
                               Le32(0xC2) + Le32(2) + Le32(3) + Le32(0xC3));
    CPvList narrow(sizeof(Item8), 5);
    RecordingArchive archive(stored);
    ASSERT_TRUE(narrow.DynaLoad("List", archive, 0, TRUE));
    EXPECT_EQ(Values(narrow), (std::vector<DWORD>{1, 2, 3}));
    EXPECT_EQ(Ids(narrow), (std::vector<DWORD>{0, 1, 2}));
    EXPECT_EQ(narrow.GetSize(), sizeof(tagCPVLIST_HEADER) + 3 * sizeof(Item8));
}

TEST_F(Lists, DamagedChunksFailAndLeaveTheListEmpty) {
    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
    struct Case {
        const char* what;
        std::string payload;
        BOOL convert;
    };
    const Case cases[] = {
        {"item size 0", Le32(0) + Le32(1) + Le32(2), TRUE},
        {"item size 0 without items", Le32(0), TRUE},
        {"item size below the identifier", Le32(2) + "abcd", TRUE},
        {"block under 4 bytes", "ab", TRUE},
        {"one byte", "a", FALSE},
        {"other item size", Le32(16) + std::string(16, 'x'), FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HookedList list;
        Item8 item = MakeItem(1);
        list.Add(&item);
        list.calls.clear();
        RecordingArchive archive(ChunkBytes("List", c.payload));
        EXPECT_FALSE(list.DynaLoad("List", archive, 0, c.convert));
        EXPECT_EQ(list.GetNItems(), 0u);
        EXPECT_EQ(list.GetList(), nullptr);
        EXPECT_EQ(list.GetSize(), 0u);
        // The old item was deleted; the loaded bytes never reached DeleteItem.
        EXPECT_EQ(list.calls, (std::vector<std::string>{"delete 1 0"}));
        EXPECT_EQ(archive.OpenLayers(), 0u);
    }
    // A header claiming more bytes than the archive holds.
    std::string truncated = ChunkBytes("List", Le32(8) + Item8Bytes(0, 1));
    truncated.replace(4, 4, Le32(0x7FFFFFF0));
    RecordingArchive archive(truncated);
    CPvList list(sizeof(Item8), 5);
    EXPECT_FALSE(list.DynaLoad("List", archive));
    EXPECT_EQ(list.GetNItems(), 0u);
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline);
}

TEST_F(Lists, OddChunksLoadWhatTheyHold) {
    // An empty chunk is an empty list.
    RecordingArchive empty(ChunkBytes("List", ""));
    CPvList list(sizeof(Item8), 5);
    EXPECT_TRUE(list.DynaLoad("List", empty));
    EXPECT_EQ(list.GetList(), nullptr);

    // A header word alone, or a trailing partial item, yields the whole items only.
    RecordingArchive headerOnly(ChunkBytes("List", Le32(8)));
    EXPECT_TRUE(list.DynaLoad("List", headerOnly));
    EXPECT_EQ(list.GetNItems(), 0u);
    EXPECT_EQ(list.GetSize(), 0u);
    RecordingArchive partial(ChunkBytes("List", Le32(8) + Item8Bytes(3, 7) + "xyz"));
    EXPECT_TRUE(list.DynaLoad("List", partial));
    EXPECT_EQ(Values(list), (std::vector<DWORD>{7}));
    EXPECT_EQ(list.GetNextID(), 1u);

    // A huge stored item size holds no whole item.
    RecordingArchive huge(ChunkBytes("List", Le32(0xFFFFFFFF) + Item8Bytes(0, 1)));
    EXPECT_TRUE(list.DynaLoad("List", huge, 0, TRUE));
    EXPECT_EQ(list.GetNItems(), 0u);

    // A missing chunk fails.
    RecordingArchive other(ChunkBytes("Other", Le32(8)));
    EXPECT_FALSE(list.DynaLoad("List", other));
}

}  // namespace
}  // namespace qzo::test
