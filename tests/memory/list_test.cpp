// Lists: CPvList's identifiers, capacity growth, deletion with vetoes, replacement, moves,
// search IDs, sharing and the sorted list; chunk storage (golden bytes, renumbering on load,
// conversion between item sizes, damaged chunks); CPMemoryList's references to its blocks; and
// CPChangeNotify's passes with callbacks that unregister, register, re-enter or throw.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "memory/memory_test_support.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Lists = QzoTest;

TEST_F(Lists, InsertAssignsIdentifiersAndAllocatesGrowthItems) {
    const HeapGrowth pool(qzo::memory::MemPool());
    CPvList list(sizeof(Item8), 0);
    EXPECT_EQ(list.GetList(), nullptr);
    Item8 item = MakeItem(10);
    EXPECT_EQ(list.Add(&item), 0u);
    EXPECT_GE(list.GetNAllocItems(), 5u);
    EXPECT_GE(list.GetAllocSize(), 5u * 8 + sizeof(tagCPVLIST_HEADER));
    EXPECT_EQ(list.GetNItems(), 1u);
    item = MakeItem(20);
    EXPECT_EQ(list.Add(&item), 1u);
    item = MakeItem(5);
    EXPECT_EQ(list.Insert(&item, 0), 2u);
    item = MakeItem(15);
    EXPECT_EQ(list.Insert(&item, 2), 3u);
    EXPECT_EQ(Values(list), (std::vector<DWORD>{5, 10, 15, 20}));
    EXPECT_EQ(Ids(list), (std::vector<DWORD>{2, 0, 3, 1}));
    EXPECT_EQ(static_cast<Item8*>(list.GetItem(3, FALSE))->value, 15u);
    EXPECT_EQ(list.GetItem(4), nullptr);
    EXPECT_EQ(list.GetItem(9, FALSE), nullptr);
    EXPECT_EQ(list.Insert(nullptr, 99), 4u);  // a zeroed item at the end
    EXPECT_EQ(Values(list).back(), 0u);
    EXPECT_EQ(pool.Blocks(), 1);
}

TEST_F(Lists, CapacityGrowsLinearlyUnlessPreallocated) {
    CPvList list(sizeof(Item8), 5);
    Item8 item = MakeItem(1);
    DWORD capacity = 0;
    int grows = 0;
    for (int i = 0; i < 200; ++i) {
        ASSERT_NE(list.Add(&item), CPVLIST_NONE);
        if (list.GetNAllocItems() != capacity) {
            if (capacity != 0) {
                // Each step adds the growth count, plus what the 32-byte rounding gives.
                EXPECT_GE(list.GetNAllocItems(), capacity + 5);
                EXPECT_LE(list.GetNAllocItems(), capacity + 5 + 4);
            }
            capacity = list.GetNAllocItems();
            ++grows;
        }
    }
    EXPECT_GE(grows, 20);
    EXPECT_FALSE(list.SetNGrowth(0));  // a growth of nothing is refused

    CPvList reserved(sizeof(Item8), 5);
    ASSERT_TRUE(reserved.Prealloc(1000));
    EXPECT_EQ(reserved.GetNItems(), 0u);
    EXPECT_GE(reserved.GetNAllocItems(), 1000u);
    const DWORD before = reserved.GetNAllocItems();
    for (int i = 0; i < 1000; ++i) reserved.Add(&item);
    EXPECT_EQ(reserved.GetNAllocItems(), before);
    EXPECT_TRUE(reserved.Prealloc(0));
}

TEST_F(Lists, HugeGrowthIsRefusedWithoutWrapping) {
    CPvList list(0x10000000, 0x20);
    Item8 item = MakeItem(1);
    EXPECT_EQ(list.Add(nullptr), CPVLIST_NONE);  // 32 items of 256 MiB do not fit 32 bits
    EXPECT_EQ(list.GetNItems(), 0u);
    CPvList small(sizeof(Item8), 5);
    small.Add(&item);
    EXPECT_FALSE(small.Prealloc(0xFFFFFFF0u));
    EXPECT_EQ(small.GetNItems(), 1u);
}

TEST_F(Lists, DeletingTheLastItemReleasesTheBlock) {
    const HeapGrowth pool(qzo::memory::MemPool());
    CPvList list(sizeof(Item8), 5);
    Item8 item = MakeItem(1);
    const DWORD id = list.Add(&item);
    EXPECT_TRUE(list.Delete(77, FALSE));  // unknown identifier: nothing to do
    EXPECT_TRUE(list.Delete(5, TRUE));    // position past the end
    EXPECT_EQ(list.GetNItems(), 1u);
    EXPECT_TRUE(list.Delete(id, FALSE));
    EXPECT_EQ(list.GetList(), nullptr);
    EXPECT_EQ(list.GetSize(), 0u);
    EXPECT_EQ(pool.Blocks(), 0);
    EXPECT_EQ(list.Add(&item), 1u);  // identifiers keep counting
}

TEST_F(Lists, DeleteItemCanVetoDeleteClearAndReplace) {
    HookedList list;
    AddRange(list, 1, 4);
    list.vetoed = {2, 4};
    list.calls.clear();
    EXPECT_FALSE(list.Delete(1, TRUE, 7));  // the item of value 2
    EXPECT_EQ(list.calls, (std::vector<std::string>{"delete 2 7"}));
    EXPECT_EQ(list.GetNItems(), 4u);

    Item8 replacement = MakeItem(9);
    EXPECT_FALSE(list.Replace(&replacement, 3, FALSE));  // value 4 vetoes
    EXPECT_FALSE(list.Replace(nullptr, 0, TRUE));
    EXPECT_FALSE(list.Replace(&replacement, 42, FALSE));
    list.calls.clear();
    EXPECT_TRUE(list.Replace(&replacement, 2, FALSE));  // value 3, identifier 2
    EXPECT_EQ(list.calls, (std::vector<std::string>{"delete 3 0", "init", "insert 9"}));
    EXPECT_EQ(Values(list), (std::vector<DWORD>{1, 2, 9, 4}));
    EXPECT_EQ(Ids(list), (std::vector<DWORD>{0, 1, 2, 3}));

    EXPECT_FALSE(list.Clear(3));
    EXPECT_EQ(Values(list), (std::vector<DWORD>{2, 4}));  // the vetoed ones stay, in order
    EXPECT_EQ(Ids(list), (std::vector<DWORD>{1, 3}));
    list.vetoed.clear();
    EXPECT_TRUE(list.Clear());
    EXPECT_EQ(list.GetList(), nullptr);
    EXPECT_TRUE(list.Clear());  // an empty list clears trivially
}

TEST_F(Lists, ReleasingTheBlockDeletesEachItemOnce) {
    std::vector<std::string> calls;
    {
        HookedList list;
        AddRange(list, 1, 3);
        list.Delete(1, TRUE);
        list.calls.clear();
        list.Free();
        calls = list.calls;
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"delete 1 0", "delete 3 0"}));

    HookedList single;
    Item8 item = MakeItem(5);
    single.Add(&item);
    single.calls.clear();
    single.Delete(0, TRUE);
    EXPECT_EQ(single.calls, (std::vector<std::string>{"delete 5 0"}));  // not again on release
}

TEST_F(Lists, MoveShiftsTheItemsBetween) {
    CPvList list(sizeof(Item8), 5);
    AddRange(list, 0, 4);
    EXPECT_TRUE(list.Move(0, 3));
    EXPECT_EQ(Values(list), (std::vector<DWORD>{1, 2, 3, 0, 4}));
    EXPECT_TRUE(list.Move(4, 1));
    EXPECT_EQ(Values(list), (std::vector<DWORD>{1, 4, 2, 3, 0}));
    EXPECT_TRUE(list.Move(1, 99));  // clamped to the last position
    EXPECT_EQ(Values(list), (std::vector<DWORD>{1, 2, 3, 0, 4}));
    EXPECT_FALSE(list.Move(5, 0));
    EXPECT_EQ(Ids(list)[4], 4u);  // identifiers travel with their items
}

TEST_F(Lists, TruncateCutsWithoutDeleting) {
    HookedList list;
    EXPECT_TRUE(list.Truncate(0));
    EXPECT_FALSE(list.Truncate(1));
    AddRange(list, 1, 3);
    list.calls.clear();
    EXPECT_FALSE(list.Truncate(4));
    EXPECT_TRUE(list.Truncate(1));
    EXPECT_EQ(Values(list), (std::vector<DWORD>{1}));
    EXPECT_TRUE(list.calls.empty());
}

TEST_F(Lists, SearchIdFollowsItsItem) {
    CSearchID unknown(5, 0xFFFF);
    EXPECT_EQ(unknown.uIndex(), 0xFFFFFFFFu);
    EXPECT_EQ(unknown.uID(), 5u);
    EXPECT_EQ(CSearchID(7, 3).GetValue(), 0x00070003u);
    EXPECT_TRUE(CSearchID(7, 3) == CSearchID(7, 9));
    EXPECT_TRUE(CSearchID(7, 3) == 7u);
    EXPECT_TRUE(CSearchID(7, 3) != 8u);

    CPvList list(sizeof(Item8), 5);
    CSearchID none;
    EXPECT_EQ(list.IndexFromSearchID(none), CPVLIST_NONE);
    AddRange(list, 0, 3);
    CSearchID byIndex(CPVLIST_NONE, 2);
    EXPECT_EQ(list.IndexFromSearchID(byIndex), 2u);
    CSearchID pastEnd(CPVLIST_NONE, 9);
    EXPECT_EQ(list.IndexFromSearchID(pastEnd), CPVLIST_NONE);

    CSearchID sid(3, 3);
    EXPECT_EQ(list.IndexFromSearchID(sid), 3u);
    list.Delete(0, TRUE);
    EXPECT_EQ(list.IndexFromSearchID(sid), 2u);  // the item moved down
    EXPECT_EQ(sid.uIndex(), 2u);
    list.Delete(3, FALSE);
    EXPECT_EQ(list.IndexFromSearchID(sid), CPVLIST_NONE);
    EXPECT_EQ(sid.GetValue(), 0xFFFFFFFFu);
}

TEST_F(Lists, CopiesShareTheBlockAndReallocMakesItPrivate) {
    CPvList a(sizeof(Item8), 5);
    Item8 item = MakeItem(1);
    a.Add(&item);
    CPvList b(a);
    EXPECT_EQ(a.GetRefCnt(), 2);
    EXPECT_EQ(b.GetCList(), a.GetCList());
    EXPECT_EQ(b.GetNextID(), 1u);
    ASSERT_TRUE(b.Realloc());
    EXPECT_EQ(a.GetRefCnt(), 1);
    EXPECT_EQ(b.GetRefCnt(), 1);
    item = MakeItem(2);
    b.Add(&item);
    EXPECT_EQ(Values(a), (std::vector<DWORD>{1}));
    EXPECT_EQ(Values(b), (std::vector<DWORD>{1, 2}));
}

TEST_F(Lists, ReadOnlyListRefusesWriteAccess) {
    CPvList list(sizeof(Item8), 5);
    Item8 item = MakeItem(1);
    list.Add(&item);
    list.SetFlags(CPMEM_READONLY);  // the warning itself is the block tests' business
    EXPECT_EQ(list.GetList(), nullptr);
    EXPECT_EQ(list.GetItem(0), nullptr);
    EXPECT_NE(list.GetCList(), nullptr);
}

TEST_F(Lists, TransCopyListCopiesItemsAndCounters) {
    CPvList source(sizeof(Item8), 7);
    AddRange(source, 1, 3);
    CPvList copy(4, 5);
    ASSERT_TRUE(copy.TransCopyList(source));
    EXPECT_NE(copy.GetCList(), source.GetCList());
    EXPECT_EQ(copy.GetItemSize(), sizeof(Item8));
    EXPECT_EQ(copy.GetNGrowth(), 7u);
    EXPECT_EQ(copy.GetNextID(), 3u);
    EXPECT_EQ(Values(copy), (std::vector<DWORD>{1, 2, 3}));
    EXPECT_EQ(Ids(copy), (std::vector<DWORD>{0, 1, 2}));
    CPvList empty(sizeof(Item8), 5);
    EXPECT_TRUE(copy.TransCopyList(empty));
    EXPECT_EQ(copy.GetNItems(), 0u);
}

int CompareValues(const void* a, const void* b) {
    const DWORD x = static_cast<const Item8*>(a)->value;
    const DWORD y = static_cast<const Item8*>(b)->value;
    return x < y ? -1 : x > y ? 1 : 0;
}

TEST_F(Lists, SortedListKeepsOrderAndReplacesEqualItems) {
    CPvListS list(sizeof(Item8), 5, &CompareValues);
    for (DWORD v : {30u, 10u, 20u, 20u, 40u}) {
        Item8 item = MakeItem(v);
        EXPECT_NE(list.Add(&item), CPVLIST_NONE);
    }
    EXPECT_EQ(Values(list), (std::vector<DWORD>{10, 20, 20, 30, 40}));
    Item8 key = MakeItem(25);
    EXPECT_EQ(list.LocateEntry(&key), 3u);
    EXPECT_EQ(list.LocateIndex(&key), CPVLIST_NONE);
    key = MakeItem(20);
    EXPECT_EQ(list.LocateIndex(&key), 1u);
    key = MakeItem(50);
    EXPECT_EQ(list.LocateIndex(&key), CPVLIST_NONE);

    // Replacing overwrites the whole equal item, its identifier field included.
    Item8 replacement = {0x1234, 30};
    EXPECT_EQ(list.Add(&replacement, TRUE), 3u);
    EXPECT_EQ(list.GetNItems(), 5u);
    EXPECT_EQ(static_cast<const Item8*>(list.GetCItem(3))->id, 0x1234u);

    static_cast<Item8*>(list.GetItem(0))->value = 99;
    EXPECT_TRUE(list.ReSort());
    EXPECT_EQ(Values(list), (std::vector<DWORD>{20, 20, 30, 40, 99}));
    CPvListS empty(sizeof(Item8), 5, &CompareValues);
    EXPECT_FALSE(empty.ReSort());
}

TEST_F(Lists, DynArrayGrowsByItsGrowthAndDeletes) {
    CPDynArray array(12, 0);
    DWORD count = 99;
    EXPECT_EQ(array.GetArray(&count), nullptr);
    EXPECT_EQ(count, 0u);
    for (DWORD i = 0; i < 20; ++i) {
        DWORD element[3] = {i, i * 2, i * 3};
        ASSERT_TRUE(array.Add(element));
    }
    EXPECT_EQ(array.GetCount(), 20u);
    EXPECT_EQ(array.GetSize(), 240u);
    EXPECT_GE(array.GetAllocSize(), 240u);
    EXPECT_TRUE(array.Delete(0));
    EXPECT_TRUE(array.Delete(500));  // past the end: nothing changes
    const DWORD* data = static_cast<const DWORD*>(array.GetCArray(&count));
    EXPECT_EQ(count, 19u);
    EXPECT_EQ(data[0], 1u);
    EXPECT_EQ(data[18 * 3 + 2], 57u);
    EXPECT_TRUE(array.Add(nullptr));
    EXPECT_EQ(static_cast<const DWORD*>(array.GetCArray(&count))[19 * 3], 0u);

    CPDynArray zeroSized(0);
    EXPECT_FALSE(zeroSized.Add(data));
    EXPECT_EQ(zeroSized.GetCount(), 0u);

    // Arrays keep the plain block's class: they share with CPMemory handles.
    CPMemory plain(array);
    EXPECT_EQ(plain.GetCDataPtr(), array.GetCArray(nullptr));
}

// ---- Chunk storage.

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
    const HeapGrowth pool(qzo::memory::MemPool());
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
    EXPECT_EQ(pool.Blocks(), 0);
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

// ---- CPMemoryList: stored handles hold references of their own through sharing, unsharing,
// moves of a shared block and deep copies, and every inner block is released exactly once.

CPMemory Block(const char* text) {
    CPMemory block;
    block.Alloc(DWORD(std::strlen(text) + 1));
    std::memcpy(block.GetDataPtr(), text, std::strlen(text) + 1);
    return block;
}

TEST_F(Lists, MemoryListItemsShareTheCallersBlocks) {
    CPMemoryList list;
    CPMemory a = Block("alpha");
    CPMemory b = Block("beta");
    EXPECT_EQ(list.Add(a), 0u);
    EXPECT_EQ(list.Insert(b, 0), 1u);
    EXPECT_EQ(a.GetRefCnt(), 2);
    EXPECT_EQ(list.GetItem(0)->GetCDataPtr(), b.GetCDataPtr());
    EXPECT_EQ(list.GetList()[1].dwID, 0u);

    CPMemory copy = list.GetCItem(1, TRUE);
    EXPECT_EQ(copy.GetCDataPtr(), a.GetCDataPtr());
    EXPECT_EQ(copy.GetFlags(), CPMEM_READONLY);
    EXPECT_EQ(a.GetRefCnt(), 3);
    EXPECT_EQ(list.GetCItem(5).GetCDataPtr(), nullptr);
    EXPECT_EQ(list.GetItem(5), nullptr);

    EXPECT_TRUE(list.Delete(0, FALSE));  // releases the list's reference to a
    EXPECT_EQ(a.GetRefCnt(), 2);
    // Inserting a handle that lives inside the list itself.
    for (int i = 0; i < 20; ++i) list.Add(*list.GetItem(0));
    EXPECT_EQ(b.GetRefCnt(), 22);
    list.Clear();
    EXPECT_EQ(b.GetRefCnt(), 1);
}

TEST_F(Lists, MemoryListReleasesEveryInnerBlockExactlyOnce) {
    const HeapGrowth pool(qzo::memory::MemPool());
    DebugCapture capture;
    ScopedDebugOutput debug(true);
    {
        CPMemoryList list;
        {
            CPMemory a = Block("a"), b = Block("b"), c = Block("c");
            list.Add(a);
            list.Add(b);
            list.Add(c);
        }
        EXPECT_EQ(list.GetItem(0)->GetRefCnt(), 1);

        // A shared copy made private: both blocks hold their own references.
        CPMemoryList shared(list);
        EXPECT_EQ(list.GetRefCnt(), 2);
        ASSERT_TRUE(shared.Realloc());
        EXPECT_EQ(list.GetRefCnt(), 1);
        EXPECT_EQ(list.GetItem(1)->GetRefCnt(), 2);
        EXPECT_EQ(shared.GetItem(1)->GetCDataPtr(), list.GetItem(1)->GetCDataPtr());

        // A deep copy through TransCopyList.
        CPMemoryList deep;
        ASSERT_TRUE(deep.TransCopyList(list));
        EXPECT_EQ(list.GetItem(2)->GetRefCnt(), 3);

        // Growing a shared block that cannot grow in place moves this handle to a copy.
        {
            RefuseInPlaceGrowth refuse;
            CPMemoryList third(deep);
            EXPECT_EQ(deep.GetRefCnt(), 2);
            for (int i = 0; i < 10; ++i) third.Add(*deep.GetItem(0));
            EXPECT_EQ(deep.GetRefCnt(), 1);
            EXPECT_EQ(deep.GetNItems(), 3u);
            EXPECT_EQ(third.GetNItems(), 13u);
            EXPECT_EQ(list.GetItem(0)->GetRefCnt(), 4 + 10);
            // Growing an unshared block that cannot grow in place moves the handles.
            for (int i = 0; i < 10; ++i) third.Add(*deep.GetItem(1));
            EXPECT_EQ(list.GetItem(1)->GetRefCnt(), 4 + 10);
        }
        EXPECT_EQ(list.GetItem(0)->GetRefCnt(), 3);
        EXPECT_EQ(list.GetItem(1)->GetRefCnt(), 3);
    }
    EXPECT_EQ(pool.Blocks(), 0);
    EXPECT_EQ(capture.Count(), 0u) << capture.Text();
}

TEST_F(Lists, LoadedMemoryListsHoldEmptyHandles) {
    CPMemoryList list;
    CPMemory a = Block("abc");
    list.Add(a);
    list.Add(a);
    RecordingArchive archive(SavedBytes(list, "Handles"));
    CPMemoryList loaded;
    ASSERT_TRUE(loaded.DynaLoad("Handles", archive));
    ASSERT_EQ(loaded.GetNItems(), 2u);
    EXPECT_EQ(loaded.GetItem(0)->GetCDataPtr(), nullptr);
    EXPECT_EQ(loaded.GetItem(1)->GetRefCnt(), 0);
    EXPECT_EQ(a.GetRefCnt(), 3);  // loading took no references
}

TEST_F(Lists, ListsOfOtherKindsDoNotShareBlocks) {
    CPMemoryList list;
    CPMemory a = Block("abc");
    list.Add(a);
    DebugCapture capture;
    ScopedDebugOutput debug(true);
    CPChangeNotify notify;
    CPvList& asList = notify;
    asList = list;
    EXPECT_EQ(notify.GetNItems(), 0u);
    EXPECT_TRUE(capture.Contains("Invalid assignment (bad pointer or different classes)!"));
    EXPECT_EQ(a.GetRefCnt(), 2);
}

// ---- CPChangeNotify.

// What the callbacks see and do; value1 of each entry selects its behaviour.
struct Scene {
    CPChangeNotify list;
    std::vector<std::string> log;
    std::vector<DWORD> ids;  // identifiers by entry number
    int nested = 0;
};

enum Behaviour : uintptr_t {
    kKeep,            // returns 1
    kOnce,            // returns 0: removed after the pass
    kUnregisterNext,  // deletes the entry registered after it
    kUnregisterSelf,  // deletes itself
    kRegisterMany,    // registers ten new entries (forcing the block to move)
    kClearAll,        // deletes every entry
    kThrow,           // throws
    kReenter,         // runs a nested pass once
    kCount,           // increments value 2
};

int Callback(void* pointer, uintptr_t valueA, uintptr_t& value1, uintptr_t& value2,
             uintptr_t valueB) {
    Scene* scene = static_cast<Scene*>(pointer);
    scene->log.push_back(std::to_string(value2) + (valueA == 1 && valueB == 2 ? "" : "?"));
    switch (value1) {
        case kOnce:
            return 0;
        case kUnregisterNext:
            scene->list.Delete(scene->ids[value2 + 1], FALSE);
            return 1;
        case kUnregisterSelf:
            scene->list.Delete(scene->ids[value2], FALSE);
            return 1;
        case kRegisterMany:
            for (int i = 0; i < 10; ++i) scene->list.Add(&Callback, kKeep, 100 + i);
            value1 = kKeep;  // written back to the entry
            return 1;
        case kClearAll:
            scene->list.Clear();
            return 1;
        case kThrow:
            throw std::runtime_error("callback failure");
        case kReenter:
            if (scene->nested++ == 0) {
                scene->log.push_back("(");
                scene->list.Notify(scene, 1, 2);
                scene->log.push_back(")");
            }
            return 1;
        case kCount:
            value2 += 1000;
            return 1;
        default:
            return 1;
    }
}

void Register(Scene& scene, std::initializer_list<Behaviour> behaviours) {
    uintptr_t n = 0;
    for (Behaviour b : behaviours) scene.ids.push_back(scene.list.Add(&Callback, b, n++));
}

std::vector<std::string> Pass(Scene& scene) {
    scene.log.clear();
    EXPECT_TRUE(scene.list.Notify(&scene, 1, 2));
    return scene.log;
}

using Log = std::vector<std::string>;

TEST_F(Lists, NotifyCallsInOrderAndRemovesEntriesReturningZero) {
    Scene scene;
    EXPECT_EQ(Pass(scene), Log{});
    Register(scene, {kKeep, kOnce, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "2"}));
    EXPECT_EQ(scene.list.GetNItems(), 2u);
    EXPECT_EQ(Pass(scene), (Log{"0", "2"}));

    Scene single;
    Register(single, {kOnce});
    EXPECT_EQ(Pass(single), (Log{"0"}));
    EXPECT_EQ(single.list.GetList(), nullptr);  // none left: the block is released
}

TEST_F(Lists, NotifySkipsEntriesUnregisteredDuringThePass) {
    Scene scene;
    Register(scene, {kUnregisterNext, kKeep, kUnregisterSelf, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "2", "3"}));
    EXPECT_EQ(scene.list.GetNItems(), 2u);
    EXPECT_EQ(Pass(scene), (Log{"0", "3"}));  // entry 1 is already gone; 0 now deletes nothing

    Scene cleared;
    Register(cleared, {kKeep, kClearAll, kKeep, kOnce});
    EXPECT_EQ(Pass(cleared), (Log{"0", "1"}));
    EXPECT_EQ(cleared.list.GetList(), nullptr);
}

TEST_F(Lists, EntriesRegisteredDuringThePassWaitForTheNext) {
    Scene scene;
    Register(scene, {kKeep, kRegisterMany, kOnce, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "2", "3"}));
    EXPECT_EQ(scene.list.GetNItems(), 13u);
    const Log second = Pass(scene);
    ASSERT_EQ(second.size(), 13u);
    EXPECT_EQ(second[0], "0");
    EXPECT_EQ(second[1], "1");  // value 1 was rewritten to "keep": no new registrations
    EXPECT_EQ(second[2], "3");
    EXPECT_EQ(second[3], "100");
    EXPECT_EQ(second[12], "109");
}

TEST_F(Lists, ThrowingCallbacksAreKeptAndThePassGoesOn) {
    Scene scene;
    Register(scene, {kThrow, kOnce, kKeep});
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "2"}));
    EXPECT_EQ(Pass(scene), (Log{"0", "2"}));
}

TEST_F(Lists, NestedPassesSeeTheSameEntries) {
    Scene scene;
    Register(scene, {kKeep, kReenter, kOnce, kKeep});
    // The nested pass removes the "once" entry at its end, so the outer pass skips it.
    EXPECT_EQ(Pass(scene), (Log{"0", "1", "(", "0", "1", "2", "3", ")", "3"}));
    EXPECT_EQ(scene.list.GetNItems(), 3u);
}

TEST_F(Lists, CallbackValuesAreUpdatedInPlace) {
    Scene scene;
    Register(scene, {kCount});
    Pass(scene);
    EXPECT_EQ(Pass(scene), (Log{"1000"}));
    const tagNOTIFYSTRUC* entry = static_cast<const tagNOTIFYSTRUC*>(scene.list.GetCItem(0));
    EXPECT_EQ(entry->dwValue2, 2000u);
    EXPECT_EQ(entry->pCallback, &Callback);
}

TEST_F(Lists, LoadedNotifyListsAreInert) {
    Scene scene;
    Register(scene, {kKeep, kKeep});
    RecordingArchive archive(SavedBytes(scene.list, "Notify"));
    Scene loaded;
    ASSERT_TRUE(loaded.list.DynaLoad("Notify", archive));
    EXPECT_EQ(loaded.list.GetNItems(), 2u);
    EXPECT_EQ(Pass(loaded), Log{});
}

}  // namespace
}  // namespace qzo::test
