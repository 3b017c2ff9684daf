// The change table: lookup answers, replacement and removal, key order inside a bucket, and
// readers that never see a torn bucket while one thread inserts and removes beside them.
#include "qzobj/store/notices/change_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

using qzo::store::ChangeTable;

FILETIME Time(DWORD low, DWORD high) {
    return FILETIME{low, high};
}

TEST(ChangeTable, LookupTellsMissingSameAndOtherTimes) {
    ChangeTable table;
    EXPECT_EQ(table.Lookup(1024, Time(1, 2)), ChangeTable::kNotFound);
    ASSERT_TRUE(table.Set(1024, Time(1, 2)));
    EXPECT_EQ(table.Lookup(1024, Time(1, 2)), ChangeTable::kSameTime);
    EXPECT_EQ(table.Lookup(1024, Time(1, 3)), ChangeTable::kOtherTime);
    EXPECT_EQ(table.Lookup(1024, Time(0, 2)), ChangeTable::kOtherTime);
    // Same bucket (low 12 bits), other object.
    EXPECT_EQ(table.Lookup(1024 + 4096, Time(1, 2)), ChangeTable::kNotFound);
    ASSERT_TRUE(table.Set(1024, Time(7, 8)));  // replaces, never adds
    EXPECT_EQ(table.Count(), 1u);
    EXPECT_EQ(table.Lookup(1024, Time(7, 8)), ChangeTable::kSameTime);
    EXPECT_EQ(table.Lookup(1024, Time(1, 2)), ChangeTable::kOtherTime);
}

TEST(ChangeTable, EntriesOfOneBucketStaySortedWhateverTheInsertOrder) {
    ChangeTable table;
    std::vector<DWORD> ids(300);
    for (DWORD i = 0; i < ids.size(); ++i) ids[i] = 0x123 + i * 4096;  // all in bucket 0x123
    ids.push_back(0xFFFFF123);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
    for (DWORD id : ids) ASSERT_TRUE(table.Set(id, Time(id, ~id)));
    EXPECT_EQ(table.Count(), ids.size());
    for (DWORD id : ids) {
        ASSERT_EQ(table.Lookup(id, Time(id, ~id)), ChangeTable::kSameTime) << id;
        ASSERT_EQ(table.Lookup(id + 1, Time(id, ~id)), ChangeTable::kNotFound);
    }
    // Removal in another order keeps the rest findable.
    std::shuffle(ids.begin(), ids.end(), std::mt19937(8));
    for (size_t i = 0; i < ids.size(); ++i) {
        ASSERT_TRUE(table.Remove(ids[i]));
        ASSERT_FALSE(table.Remove(ids[i]));
        ASSERT_EQ(table.Lookup(ids[i], Time(ids[i], ~ids[i])), ChangeTable::kNotFound);
        if (i + 1 < ids.size()) {
            ASSERT_EQ(table.Lookup(ids[i + 1], Time(ids[i + 1], ~ids[i + 1])),
                      ChangeTable::kSameTime);
        }
    }
    EXPECT_EQ(table.Count(), 0u);
}

TEST(ChangeTable, ClearForgetsEveryObject) {
    ChangeTable table;
    for (DWORD id = 0; id < 10000; id += 3) ASSERT_TRUE(table.Set(id, Time(id, 0)));
    EXPECT_EQ(table.Count(), 3334u);
    table.Clear();
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_EQ(table.Lookup(0, Time(0, 0)), ChangeTable::kNotFound);
    EXPECT_EQ(table.Lookup(9999, Time(9999, 0)), ChangeTable::kNotFound);
    ASSERT_TRUE(table.Set(9999, Time(1, 1)));  // usable again
    EXPECT_EQ(table.Lookup(9999, Time(1, 1)), ChangeTable::kSameTime);
}

TEST(ChangeTable, ReadersSeeStableEntriesWhileOneThreadChurnsTheirBuckets) {
    ChangeTable table;
    // Stable entries in 64 buckets; the writer inserts and removes neighbours in the same
    // buckets, which moves and reallocates the arrays the readers search.
    constexpr DWORD kStable = 64;
    for (DWORD b = 0; b < kStable; ++b) ASSERT_TRUE(table.Set(b * 64 + 4096 * 500, Time(b, 1)));
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<uint64_t> lookups{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 6; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 random(r);
            while (!done.load()) {
                const DWORD b = random() % kStable;
                const DWORD id = b * 64 + 4096 * 500;
                if (table.Lookup(id, Time(b, 1)) != ChangeTable::kSameTime) ++failures;
                if (table.Lookup(id, Time(b, 2)) != ChangeTable::kOtherTime) ++failures;
                lookups += 2;
            }
        });
    }
    std::mt19937 random(99);
    for (int step = 0; step < 20000; ++step) {
        const DWORD b = random() % kStable;
        const DWORD neighbour = b * 64 + 4096 * (random() % 1000);
        if (neighbour == b * 64 + 4096 * 500) continue;
        if (random() % 2)
            table.Set(neighbour, Time(step, 0));
        else
            table.Remove(neighbour);
    }
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(lookups.load(), 0u);
    for (DWORD b = 0; b < kStable; ++b)
        EXPECT_EQ(table.Lookup(b * 64 + 4096 * 500, Time(b, 1)), ChangeTable::kSameTime);
}

}  // namespace
