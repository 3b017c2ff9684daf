// CQZHashTable against a std::multimap model: chain order by unsigned sort key and Compare,
// duplicates, deletion at every position, refused identifiers, enumeration, ownership of entries
// and the table lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "qzobj/hashid.h"

namespace {

struct Entry : tagHASHENTRY {
    int payload;
    int serial;  // unique per entry made, unlike addresses, which the allocator reuses
};

std::atomic<int> g_serials{0};

Entry* NewEntry(DWORD hashID, int payload) {
    auto* e = new Entry;
    e->dwHashID = hashID;
    e->pNext = reinterpret_cast<tagHASHENTRY*>(0x1);  // Add must clear it
    e->payload = payload;
    e->serial = ++g_serials;
    return e;
}

// Orders equal identifiers by payload and owns its entries; records every release.
class PayloadTable : public CQZHashTable {
  public:
    ~PayloadTable() override { ClearTable(); }

    LONG Compare(const tagHASHENTRY* a, const tagHASHENTRY* b) override {
        const int x = static_cast<const Entry*>(a)->payload;
        const int y = static_cast<const Entry*>(b)->payload;
        return x < y ? -1 : x > y ? 1 : 0;
    }
    tagHASHENTRY* AllocEntry(DWORD hashID) override { return NewEntry(hashID, 0); }
    // Delete releases entries after leaving the table lock, so threads may get here at once.
    void DeleteEntry(tagHASHENTRY* entry) override {
        {
            std::lock_guard<std::mutex> hold(releasedLock);
            ++(*released)[static_cast<Entry*>(entry)->serial];
        }
        delete static_cast<Entry*>(entry);
    }

    std::mutex releasedLock;                      // guards the release counts
    std::map<int, int>* released = &ownReleases;  // serial -> releases
    std::map<int, int> ownReleases;
};

using Row = std::tuple<DWORD, int>;  // identifier, payload

// The table's contents in enumeration order.
std::vector<Row> Contents(CQZHashTable& table) {
    std::vector<Row> rows;
    EXPECT_TRUE(table.EnumTable(
        [](tagHASHENTRY* e, uintptr_t p) -> BOOL {
            reinterpret_cast<std::vector<Row>*>(p)->emplace_back(e->dwHashID,
                                                                 static_cast<Entry*>(e)->payload);
            return TRUE;
        },
        reinterpret_cast<uintptr_t>(&rows)));
    return rows;
}

// The order the model prescribes: by bucket, then unsigned sort key, then payload.
std::vector<Row> Expected(const std::multimap<DWORD, int>& model) {
    std::vector<Row> rows(model.begin(), model.end());
    std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        auto key = [](const Row& r) {
            return std::make_tuple(std::get<0>(r) & 0x3FF, std::get<0>(r) >> 16, std::get<1>(r));
        };
        return key(a) < key(b);
    });
    return rows;
}

bool ModelHas(const std::multimap<DWORD, int>& model, DWORD id, int payload) {
    auto [first, last] = model.equal_range(id);
    return std::any_of(first, last, [&](const auto& kv) { return kv.second == payload; });
}

TEST(HashTable, RandomOperationsMatchTheModel) {
    const DWORD buckets[] = {0, 5, 1023};
    const DWORD keys[] = {0, 1, 0x7FFF, 0x8000, 0xFFFF};
    std::mt19937 random(7);
    PayloadTable table;
    std::multimap<DWORD, int> model;
    for (int step = 0; step < 3000; ++step) {
        const DWORD id = (keys[random() % 5] << 16) | buckets[random() % 3];
        const int payload = static_cast<int>(random() % 4);
        Entry probe;
        probe.dwHashID = id;
        probe.payload = payload;
        switch (random() % 3) {
            case 0: {
                Entry* e = NewEntry(id, payload);
                tagHASHENTRY* result = table.Add(e);
                if (ModelHas(model, id, payload)) {
                    ASSERT_NE(result, e);
                    ASSERT_EQ(static_cast<Entry*>(result)->payload, payload);
                    delete e;
                } else {
                    ASSERT_EQ(result, e);
                    model.emplace(id, payload);
                }
                break;
            }
            case 1: {
                tagHASHENTRY* found = table.FindEntry(id, &probe);
                ASSERT_EQ(found != nullptr, ModelHas(model, id, payload));
                if (found) {
                    ASSERT_EQ(static_cast<Entry*>(found)->payload, payload);
                }
                // Without a probe: the first entry of the identifier, the smallest payload.
                tagHASHENTRY* first = table.FindEntry(id, nullptr);
                auto range = model.equal_range(id);
                ASSERT_EQ(first != nullptr, range.first != range.second);
                if (first) {
                    int smallest = range.first->second;
                    for (auto it = range.first; it != range.second; ++it)
                        smallest = std::min(smallest, it->second);
                    ASSERT_EQ(static_cast<Entry*>(first)->payload, smallest);
                }
                break;
            }
            default: {
                ASSERT_TRUE(table.Delete(id, &probe));
                auto [first, last] = model.equal_range(id);
                for (auto it = first; it != last; ++it)
                    if (it->second == payload) {
                        model.erase(it);
                        break;
                    }
                break;
            }
        }
        ASSERT_EQ(Contents(table), Expected(model)) << "step " << step;
    }
    for (const auto& [entry, count] : table.ownReleases) ASSERT_EQ(count, 1);
}

TEST(HashTable, SortKeysCompareUnsigned) {
    PayloadTable table;
    table.Add(NewEntry(0x80000005, 0));
    table.Add(NewEntry(0x7FFF0005, 0));
    table.Add(NewEntry(0xFFFF0005, 0));
    table.Add(NewEntry(0x00000005, 0));
    const std::vector<Row> expected = {
        {0x00000005, 0}, {0x7FFF0005, 0}, {0x80000005, 0}, {0xFFFF0005, 0}};
    EXPECT_EQ(Contents(table), expected);
    EXPECT_NE(table.FindEntry(0x80000005, nullptr), nullptr);
    EXPECT_EQ(table.FindEntry(0x80010005, nullptr), nullptr);
}

TEST(HashTable, EqualIdentifiersKeepCompareOrder) {
    PayloadTable table;
    Entry* two = NewEntry(0x12340001, 2);
    Entry* one = NewEntry(0x12340001, 1);
    EXPECT_EQ(table.Add(two), two);
    EXPECT_EQ(table.Add(one), one);
    EXPECT_EQ(Contents(table), (std::vector<Row>{{0x12340001, 1}, {0x12340001, 2}}));
    Entry* again = NewEntry(0x12340001, 2);
    EXPECT_EQ(table.Add(again), two);  // the present one wins; the new one is not linked
    delete again;
    EXPECT_EQ(Contents(table).size(), 2u);
}

TEST(HashTable, DeletionAtHeadMiddleAndTail) {
    for (int victim = 0; victim < 3; ++victim) {
        PayloadTable table;
        for (int payload = 0; payload < 3; ++payload) table.Add(NewEntry(0x00010007, payload));
        table.Add(NewEntry(0x00020007, 9));
        Entry probe;
        probe.dwHashID = 0x00010007;
        probe.payload = victim;
        EXPECT_TRUE(table.Delete(0x00010007, &probe));
        std::vector<Row> expected;
        for (int payload = 0; payload < 3; ++payload)
            if (payload != victim) expected.emplace_back(0x00010007, payload);
        expected.emplace_back(0x00020007, 9);
        EXPECT_EQ(Contents(table), expected) << victim;
        EXPECT_EQ(table.FindEntry(0x00010007, &probe), nullptr);
        EXPECT_EQ(table.ownReleases.size(), 1u);
    }
    // The only entry of a bucket, and the last entry of the chain.
    PayloadTable table;
    table.Add(NewEntry(0x00010008, 0));
    table.Add(NewEntry(0x00050008, 0));
    EXPECT_TRUE(table.Delete(0x00050008, nullptr));
    EXPECT_TRUE(table.Delete(0x00010008, nullptr));
    EXPECT_TRUE(Contents(table).empty());
    EXPECT_TRUE(table.Delete(0x00010008, nullptr));  // nothing there: still TRUE
}

TEST(HashTable, InvalidIdentifiersAreRefused) {
    PayloadTable table;
    for (DWORD id : {0x0000FC00u, 0x00000400u, 0x12348001u, 0xFFFFFFFFu}) {
        Entry* e = NewEntry(id, 0);
        EXPECT_EQ(table.Add(e), nullptr) << std::hex << id;
        EXPECT_EQ(table.FindEntry(id, nullptr), nullptr);
        EXPECT_TRUE(table.Delete(id, nullptr));
        delete e;
    }
    EXPECT_EQ(table.Add(nullptr), nullptr);
    EXPECT_TRUE(Contents(table).empty());
}

TEST(HashTable, BaseTableKeepsOneEntryPerIdentifier) {
    Entry a, b;
    a.dwHashID = b.dwHashID = GetHashID("CQZObject");
    a.payload = 1;
    b.payload = 2;
    CQZHashTable table;
    EXPECT_EQ(table.AllocEntry(a.dwHashID), nullptr);
    EXPECT_EQ(table.Add(&a), &a);
    EXPECT_EQ(table.Add(&b), &a);  // the base Compare calls every pair equal
    EXPECT_EQ(table.FindEntry(a.dwHashID, &b), &a);
    EXPECT_TRUE(table.Delete(a.dwHashID, nullptr));  // the base DeleteEntry leaves it alone
    EXPECT_EQ(table.FindEntry(a.dwHashID, nullptr), nullptr);
    EXPECT_EQ(a.payload, 1);
}

TEST(HashTable, EnumerationStopsAndReports) {
    PayloadTable table;
    for (int i = 0; i < 10; ++i) table.Add(NewEntry((DWORD(i) << 16) | DWORD(i * 100), i));
    EXPECT_FALSE(table.EnumTable(nullptr, 0));
    int visits = 0;
    auto stopAtThree = [](tagHASHENTRY*, uintptr_t p) -> BOOL {
        return ++*reinterpret_cast<int*>(p) < 3;
    };
    EXPECT_FALSE(table.EnumTable(stopAtThree, reinterpret_cast<uintptr_t>(&visits)));
    EXPECT_EQ(visits, 3);
    auto throws = [](tagHASHENTRY*, uintptr_t) -> BOOL { throw std::runtime_error("callback"); };
    EXPECT_FALSE(table.EnumTable(throws, 0));
    // The lock was released: another thread gets through.
    std::thread other([&] { EXPECT_NE(table.FindEntry(0x00010064, nullptr), nullptr); });
    other.join();
    EXPECT_EQ(Contents(table).size(), 10u);
}

TEST(HashTable, DerivedEntriesAreReleasedExactlyOnce) {
    std::map<int, int> releases;
    {
        PayloadTable table;
        table.released = &releases;
        for (int i = 0; i < 200; ++i) table.Add(NewEntry((DWORD(i % 7) << 16) | (i % 13), i));
        Entry probe;
        probe.dwHashID = (DWORD(3) << 16) | 3;
        probe.payload = 3;
        table.Delete(probe.dwHashID, &probe);
        table.ClearTable();
        EXPECT_EQ(releases.size(), 200u);
        EXPECT_TRUE(Contents(table).empty());
        for (int i = 0; i < 50; ++i) table.Add(NewEntry(DWORD(i), i));
    }  // the derived destructor clears the rest
    EXPECT_EQ(releases.size(), 250u);
    for (const auto& [entry, count] : releases) EXPECT_EQ(count, 1);
}

TEST(HashTable, LockTableMakesSequencesAtomic) {
    PayloadTable table;
    EXPECT_TRUE(table.LockTable());
    EXPECT_TRUE(table.LockTable());  // re-entrant on the owning thread
    table.Add(NewEntry(0x00010001, 1));
    std::atomic<bool> done{false};
    std::thread other([&] {
        table.Add(NewEntry(0x00010001, 2));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());  // held out by our lock
    EXPECT_EQ(Contents(table).size(), 1u);
    EXPECT_TRUE(table.UnlockTable());
    EXPECT_TRUE(table.UnlockTable());
    other.join();
    EXPECT_EQ(Contents(table).size(), 2u);
}

TEST(HashTable, ConcurrentWritersKeepTheChainsSorted) {
    PayloadTable table;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&table, t] {
            std::mt19937 random(100 + t);
            for (int i = 0; i < 2000; ++i) {
                const DWORD id = (DWORD(random() % 64) << 16) | (random() % 4);
                const int payload = t * 100000 + i;
                if (table.Add(NewEntry(id, payload)) == nullptr) std::abort();
                if (i % 3 == 0) {
                    Entry probe;
                    probe.dwHashID = id;
                    probe.payload = payload;
                    table.Delete(id, &probe);
                }
            }
        });
    }
    for (auto& w : writers) w.join();
    std::multimap<DWORD, int> model;
    for (const Row& row : Contents(table)) model.emplace(std::get<0>(row), std::get<1>(row));
    EXPECT_EQ(Contents(table), Expected(model));
    EXPECT_EQ(model.size(), 4u * (2000 - 667));
}

}  // namespace
