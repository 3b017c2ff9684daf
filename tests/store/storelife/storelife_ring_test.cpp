// StoreLifeRing: where the ring puts a new version and which slots it empties, and the commit
// stamps that always move forward.
#include <gtest/gtest.h>

#include <array>

#include "qzobj/store/objfile/locator_ring.h"
#include "store/storelife/storelife_support.h"

namespace qzo::test::storelife {
namespace {

namespace fmt = qzo::store::object_file_format;
using qzo::store::PlanVersion;

fmt::HistoryIndex IndexWith(std::initializer_list<std::array<DWORD, 4>> slots, DWORD current,
                            DWORD dataEnd) {
    fmt::HistoryIndex index = fmt::NewIndex(1);
    for (const auto& slot : slots) {
        index.slots[slot[0]].dwModifyCnt = slot[1];
        index.slots[slot[0]].dwOffset = slot[2];
        index.slots[slot[0]].dwEnd = slot[3];
    }
    index.header.dwCurrent = current;
    index.header.dwDataEnd = dataEnd;
    return index;
}

TEST(StoreLifeRing, FirstVersionGoesToSlotZeroAt10240) {
    const auto plan = PlanVersion(fmt::NewIndex(1), 1, 20);
    EXPECT_TRUE(plan.fits);
    EXPECT_EQ(plan.slot, 0u);
    EXPECT_EQ(plan.offset, 10240u);
    EXPECT_EQ(plan.final.header.dwDataEnd, 10260u);
    EXPECT_GT(plan.firstChanged, plan.lastChanged);
}

TEST(StoreLifeRing, AfterSlot63ComesSlot1AndItIsEmptiedFirst) {
    const auto index =
        IndexWith({{0, 1, 10240, 10300}, {1, 2, 10300, 10400}, {63, 64, 10400, 10500}}, 63, 10500);
    const auto plan = PlanVersion(index, 65, 50);
    EXPECT_EQ(plan.slot, 1u);
    EXPECT_EQ(plan.offset, 10500u);
    EXPECT_EQ(plan.emptied.slots[1].dwModifyCnt, 0u);
    EXPECT_EQ(plan.firstChanged, 1u);
    EXPECT_EQ(plan.lastChanged, 1u);
    EXPECT_EQ(plan.final.slots[1].dwModifyCnt, 65u);
    EXPECT_EQ(plan.final.slots[63].dwModifyCnt, 64u);
    EXPECT_EQ(plan.final.header.dwDataEnd, 10550u);
}

TEST(StoreLifeRing, RedoAndOverlappedSlotsAreEmptiedOthersGetTheirOwnEnd) {
    // Current slot 1 (ModifyCnt 2); slots 2 and 3 are redo versions; slot 5 is an old version
    // lying where the new one goes; slot 4 is old and elsewhere, written with end 0.
    const auto index = IndexWith({{0, 1, 10240, 10300},
                                  {1, 2, 10300, 10400},
                                  {2, 3, 10400, 10500},
                                  {3, 4, 10500, 10600},
                                  {5, 1, 10420, 10450},
                                  {4, 1, 20000, 0}},
                                 1, 20100);
    const auto plan = PlanVersion(index, 3, 80);
    EXPECT_EQ(plan.slot, 2u);
    EXPECT_EQ(plan.emptied.slots[2].dwModifyCnt, 0u);
    EXPECT_EQ(plan.emptied.slots[3].dwModifyCnt, 0u);
    EXPECT_EQ(plan.emptied.slots[5].dwModifyCnt, 0u);
    EXPECT_EQ(plan.emptied.slots[4].dwEnd, 20100u);
    EXPECT_EQ(plan.final.header.dwDataEnd, 20100u);
    EXPECT_EQ(plan.firstChanged, 2u);
    EXPECT_EQ(plan.lastChanged, 5u);
}

TEST(StoreLifeRing, VersionPastTwoGigabytesDoesNotFit) {
    const auto index = IndexWith({{0, 1, 10240, 0x7FFFFF00u}}, 0, 0x7FFFFF00u);
    EXPECT_TRUE(PlanVersion(index, 2, 0xFF - 168).fits);
    EXPECT_FALSE(PlanVersion(index, 2, 0xFF - 167).fits);
}

using StoreLifeStamps = LifeTest;

TEST_F(StoreLifeStamps, EveryCommitStampsALaterTime) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    auto value = [](const FILETIME& time) {
        return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    uint64_t last = value(held.object->QueryTimestamp());
    EXPECT_NE(last, 0u);
    for (int i = 0; i < 20; ++i) {
        held.payload()->payload = std::string(size_t(i) * 7, 'p');
        ASSERT_TRUE(held.object->Commit(i % 2 ? LOCATOR_COMMIT_NTONLY : 0));
        const uint64_t now = value(held.object->QueryTimestamp());
        EXPECT_GT(now, last);
        last = now;
    }
}

}  // namespace
}  // namespace qzo::test::storelife
