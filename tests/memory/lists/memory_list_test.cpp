// CPMemoryList: stored handles hold references of their own through sharing, unsharing, moves
// of a shared block and deep copies, and every inner block is released exactly once.
#include <gtest/gtest.h>

#include <cstring>

#include "memory/lists/list_test_support.h"
#include "qzobj/platform/heap.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Lists = QzoTest;

struct RefuseInPlaceGrowth {
    RefuseInPlaceGrowth() { qzo::platform::SetHeapRefuseInPlaceGrowth(true); }
    ~RefuseInPlaceGrowth() { qzo::platform::SetHeapRefuseInPlaceGrowth(false); }
};

CPMemory Block(const char* text) {
    CPMemory block;
    block.Alloc(DWORD(std::strlen(text) + 1));
    std::memcpy(block.GetDataPtr(), text, std::strlen(text) + 1);
    return block;
}

TEST_F(Lists, MemoryListItemsShareTheCallersBlocks) {
    EXPECT_STREQ(classidCPMemoryList, "CPMemoryList");
    EXPECT_EQ(sizeof(tagCPMEMLIST), 32u);
    CPMemoryList list;
    EXPECT_EQ(list.GetItemSize(), sizeof(tagCPMEMLIST));
    EXPECT_EQ(list.GetNGrowth(), 5u);
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
    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
    DebugCapture capture;
    ScopedDebugMode debug(true);
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
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline);
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
    ScopedDebugMode debug(true);
    CPChangeNotify notify;
    CPvList& asList = notify;
    asList = list;
    EXPECT_EQ(notify.GetNItems(), 0u);
    EXPECT_TRUE(capture.Contains("Invalid assignment (bad pointer or different classes)!"));
    EXPECT_EQ(a.GetRefCnt(), 2);
}

}  // namespace
}  // namespace qzo::test
