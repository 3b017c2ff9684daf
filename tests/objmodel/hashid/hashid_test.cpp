// Hash identifiers and the hash table. Every identifier variant against the reference bytes:
// bytes of 0x80 and above, '{', wide units with a high byte, surrogate pairs; the shape of
// identifiers; null and unreadable input. CQZHashTable against a std::multimap model (chain order
// by unsigned sort key and Compare, duplicates, the release of deleted entries), deletion at
// every position, refused identifiers, enumeration, ownership of entries and the table lock.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "qzobj/hashid.h"
#include "qzobj/platform/guard.h"
#include "qzobj/signal.h"
#include "signal/crc/crc_reference.h"

namespace {

using qzo::test::NarrowBytes;
using qzo::test::ReferenceHashID;
using qzo::test::WideBytes;

void ExpectNarrowVariants(const std::string& text) {
    EXPECT_EQ(GetHashID(text.c_str()), ReferenceHashID(NarrowBytes(text, false)));
    EXPECT_EQ(GetHashIDi(text.c_str()), ReferenceHashID(NarrowBytes(text, true)));
}

void ExpectWideVariants(const std::u16string& text) {
    const uint32_t plain = ReferenceHashID(WideBytes(text, false));
    const uint32_t folded = ReferenceHashID(WideBytes(text, true));
    EXPECT_EQ(GetHashIDW(text.c_str()), plain);
    EXPECT_EQ(GetHashIDWi(text.c_str()), plain);  // never folded
    EXPECT_EQ(GetHashIDT(text.c_str()), plain);
    EXPECT_EQ(GetHashIDTW(text.c_str()), plain);
    EXPECT_EQ(GetHashIDTi(text.c_str()), folded);
    EXPECT_EQ(GetHashIDTWi(text.c_str()), folded);
}

TEST(HashIdVariants, NarrowBytesAboveAscii) {
    // Unsigned bytes: 0xE1 and 0xC1 are different letters in no folding the identifiers know.
    ExpectNarrowVariants("\xE1\xC1\x80\xFF");
    ExpectNarrowVariants(
        "Stra\xDF"
        "e");
    EXPECT_NE(GetHashIDi("\xE1"), GetHashIDi("\xC1"));
    EXPECT_EQ(GetHashIDi("\xE1"), GetHashID("\xE1"));
}

TEST(HashIdVariants, BraceFoldsToBracket) {
    ExpectNarrowVariants("a{b}|`~");
    EXPECT_EQ(GetHashIDi("{"), GetHashIDi("["));
    EXPECT_EQ(GetHashIDi("{"), GetHashID("["));
    EXPECT_NE(GetHashIDi("}"), GetHashID("]"));  // 0x7D lies outside the folded range
    EXPECT_EQ(GetHashIDTi(u"{"), GetHashIDW(u"["));
    EXPECT_EQ(GetHashIDTWi(u"{"), GetHashIDW(u"["));
    EXPECT_NE(GetHashIDWi(u"{"), GetHashIDW(u"["));
}

TEST(HashIdVariants, WideUnitsWithHighByte) {
    // U+0161 has the low byte of 'a': a unit with a high byte is never folded.
    ExpectWideVariants(u"\u0161\u017B\u0141x");
    EXPECT_EQ(GetHashIDTWi(u"\u0161"), GetHashIDW(u"\u0161"));
    EXPECT_NE(GetHashIDTWi(u"\u0161"), GetHashIDW(u"\u0141"));
    ExpectWideVariants(u"\u00E4\u00FF\u0100\uFFFF");
}

TEST(HashIdVariants, SurrogatePairsFeedBothUnits) {
    const std::u16string text = u"a\U0001F600b\U00010061";
    ASSERT_EQ(text.size(), 6u);
    ExpectWideVariants(text);
    const qzo::test::Bytes bytes = {0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
    EXPECT_EQ(GetHashIDTWi(u"a\U0001F600"), ReferenceHashID(bytes));
}

TEST(HashIdVariants, CaseSensitivityOfTheWideForms) {
    EXPECT_NE(GetHashIDWi(u"Abc"), GetHashIDWi(u"abc"));
    EXPECT_EQ(GetHashIDTWi(u"Abc"), GetHashIDTWi(u"abc"));
    EXPECT_EQ(GetHashIDTi(u"Abc"), GetHashIDTi(u"ABC"));
    EXPECT_EQ(GetHashIDi("CQZObject"), GetHashID("CQZOBJECT"));
}

TEST(HashIdVariants, EmptyTextGivesZeroAndNullAllOnes) {
    EXPECT_EQ(GetHashID(""), 0u);
    EXPECT_EQ(GetHashIDi(""), 0u);
    EXPECT_EQ(GetHashID(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetHashIDi(nullptr), 0xFFFFFFFFu);
    for (auto* f :
         {&GetHashIDW, &GetHashIDWi, &GetHashIDT, &GetHashIDTi, &GetHashIDTW, &GetHashIDTWi}) {
        EXPECT_EQ(f(u""), 0u);
        EXPECT_EQ(f(nullptr), 0xFFFFFFFFu);
    }
    EXPECT_EQ(GetPathHash(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(GetCRC1615("x", 0), 0u);
    EXPECT_EQ(GetCRC1615(nullptr, 4), 0xFFFFFFFFu);
    EXPECT_EQ(GetCRC1615(nullptr, 0), 0u);  // a zero length reads nothing

    // The generators themselves give 0 for a fault.
    const CMonoCRC mono(16, 0x1021);
    const CDualCRC dual(10, 0x083, 16, 0x1021);
    EXPECT_EQ(mono.Eval(nullptr, 4), 0u);
    EXPECT_EQ(mono.Eval(static_cast<const char*>(nullptr)), 0u);
    EXPECT_EQ(mono.Evali(static_cast<const WCHAR*>(nullptr)), 0u);
    EXPECT_EQ(dual.Eval(nullptr, 4), 0u);
    EXPECT_EQ(dual.Evali(static_cast<const char*>(nullptr)), 0u);
}

TEST(HashIdVariants, BucketBitsOfEveryNameAreClear) {
    std::vector<std::string> corpus = {"CQZObject", "CQZRTObject", "CPMemory",     "CPvList",
                                       "CPTStr",    "CPTCDib",     "CPLocROCache", "ZORB",
                                       "PRJ.IDS",   "QZO.INI",     "QZO.VST",      "HEAD",
                                       "DATA",      "{}",          "\xFF\x80"};
    for (int i = 0; i < 2000; ++i) {
        std::string name = "Class" + std::to_string(i * 7919);
        name += static_cast<char>(0x20 + i % 0x5F);
        corpus.push_back(name);
    }
    for (const std::string& name : corpus) {
        std::u16string wide(name.begin(), name.end());
        for (DWORD id :
             {GetHashID(name.c_str()), GetHashIDi(name.c_str()), GetHashIDW(wide.c_str()),
              GetHashIDTWi(wide.c_str()), GetHashIDTi(wide.c_str())}) {
            ASSERT_EQ(id & QZO_HASHID_INVALID_BITS, 0u) << name;
        }
    }
}

TEST(HashIdVariants, PathHash) {
    EXPECT_EQ(GetPathHash(u"a"), QZO_NO_HASHID);
    EXPECT_EQ(GetPathHash(u""), QZO_NO_HASHID);
    EXPECT_EQ(GetPathHash(u"/"), QZO_NO_HASHID);  // normalised to nothing
    EXPECT_EQ(GetPathHash(u"/work/Prj"), GetHashIDTW(u"/work/Prj"));
    // The identifier is of the path as passed, not of its normalised copy.
    EXPECT_EQ(GetPathHash(u"\\work\\Prj\\"), GetHashIDTW(u"\\work\\Prj\\"));
    std::u16string longPath = u"/";
    for (int i = 0; i < 40; ++i) longPath += u"folder/";
    EXPECT_EQ(GetPathHash(longPath.c_str()), GetHashIDTW(longPath.c_str()));
}

// Unreadable memory: a page with no access, mapped for the test.
class UnreadablePage {
  public:
    UnreadablePage() {
        size_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p =
            mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<char*>(p);
        std::fill(base_, base_ + size_, 'q');
        mprotect(base_ + size_, size_, PROT_NONE);
    }
    ~UnreadablePage() { munmap(base_, 2 * size_); }
    const char* Locked() const { return base_ + size_; }
    // Readable text that runs into the locked page without a terminator.
    const char* RunsIntoLocked() const { return base_ + size_ - 24; }

  private:
    size_t size_ = 0;
    char* base_ = nullptr;
};

void EvaluateUnreadable(const UnreadablePage& page, int rounds, std::atomic<int>& failures) {
    const CMonoCRC mono(32, 0x04C11DB7);
    const CDualCRC dual(16, 0x1021, 15, 0x8123);
    for (int i = 0; i < rounds; ++i) {
        if (mono.Eval(page.Locked(), 16) != 0) ++failures;
        if (mono.Eval(page.RunsIntoLocked(), 64) != 0) ++failures;
        if (mono.Eval(page.RunsIntoLocked()) != 0) ++failures;
        if (dual.Evali(reinterpret_cast<const WCHAR*>(page.RunsIntoLocked())) != 0) ++failures;
        if (GetHashID(page.Locked()) != 0xFFFFFFFFu) ++failures;
        if (GetHashIDTWi(reinterpret_cast<const WCHAR*>(page.Locked())) != 0xFFFFFFFFu) ++failures;
        if (GetPathHash(reinterpret_cast<const WCHAR*>(page.RunsIntoLocked())) != 0xFFFFFFFFu)
            ++failures;
        if (GetCRC1615(page.RunsIntoLocked(), 25) != 0xFFFFFFFFu) ++failures;
    }
}

// On the main thread and then on four worker threads at once.
TEST(HashIdVariants, UnreadableMemoryIsCaught) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "fault guard compiled out";
    UnreadablePage page;
    std::atomic<int> failures{0};
    EvaluateUnreadable(page, 100, failures);
    EXPECT_EQ(failures.load(), 0);
    // The readable part still hashes normally afterwards.
    EXPECT_EQ(CMonoCRC(16, 0x1021).Eval(page.RunsIntoLocked(), 24),
              qzo::test::ReferenceCrc(16, 0x1021, qzo::test::Bytes(24, 'q')));
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] { EvaluateUnreadable(page, 100, failures); });
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
}

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
    size_t deleted = 0;  // each deletion releases its entry at once, and only it
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
                        ++deleted;
                        break;
                    }
                break;
            }
        }
        ASSERT_EQ(Contents(table), Expected(model)) << "step " << step;
        ASSERT_EQ(table.ownReleases.size(), deleted) << "step " << step;
    }
    for (const auto& [entry, count] : table.ownReleases) ASSERT_EQ(count, 1);
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
