// CPvList: identifiers, capacity growth, deletion with vetoes, replacement, moves, search IDs,
// sharing and the sorted list.
#include <gtest/gtest.h>

#include <cstring>

#include "memory/lists/list_test_support.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Lists = QzoTest;

TEST_F(Lists, ConstructorNormalisesItemSizeAndGrowth) {
    CPvList list(2, 0);
    EXPECT_EQ(list.GetItemSize(), 4u);
    EXPECT_EQ(list.GetNGrowth(), 5u);
    EXPECT_FALSE(list.SetNGrowth(0));
    EXPECT_EQ(list.GetNGrowth(), 5u);
    EXPECT_TRUE(list.SetNGrowth(3));
    EXPECT_EQ(list.GetNGrowth(), 3u);
    EXPECT_STREQ(classidCPvList, "CPvList");
}

TEST_F(Lists, InsertAssignsIdentifiersAndAllocatesGrowthItems) {
    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
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
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline + 1);
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
    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
    CPvList list(sizeof(Item8), 5);
    Item8 item = MakeItem(1);
    const DWORD id = list.Add(&item);
    EXPECT_TRUE(list.Delete(77, FALSE));  // unknown identifier: nothing to do
    EXPECT_TRUE(list.Delete(5, TRUE));    // position past the end
    EXPECT_EQ(list.GetNItems(), 1u);
    EXPECT_TRUE(list.Delete(id, FALSE));
    EXPECT_EQ(list.GetList(), nullptr);
    EXPECT_EQ(list.GetSize(), 0u);
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline);
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

    // Lists share only with lists: a plain block refuses a list's block.
    DebugCapture capture;
    ScopedDebugMode debug(true);
    CPMemory plain;
    plain = a;
    EXPECT_EQ(plain.GetCDataPtr(), nullptr);
    EXPECT_TRUE(capture.Contains("Invalid assignment (bad pointer or different classes)!"));
}

TEST_F(Lists, ReadOnlyListRefusesWriteAccess) {
    CPvList list(sizeof(Item8), 5);
    Item8 item = MakeItem(1);
    list.Add(&item);
    DebugCapture capture;
    ScopedDebugMode debug(true);
    list.SetFlags(CPMEM_READONLY);
    EXPECT_EQ(list.GetList(), nullptr);
    EXPECT_EQ(list.GetItem(0), nullptr);
    EXPECT_NE(list.GetCList(), nullptr);
    EXPECT_TRUE(capture.Contains(
        "CPMemory::operator PVOID: Attempt to write-access cast READONLY memory."));
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

}  // namespace
}  // namespace qzo::test
