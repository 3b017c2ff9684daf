// The directory's sorted chains, lookups by GUID and hash identifier, the full scan for
// identifiers outside the directory, hidden records and IsUnique.
#include <algorithm>
#include <cstring>
#include <random>

#include "registry_support.h"

namespace qzo::test {
namespace {

// Names that all land in one bucket, found by brute force.
std::vector<std::string> NamesInOneBucket(size_t wanted) {
    std::vector<std::string> names;
    const DWORD bucket = GetHashID("CDirProbe0") & 0xFFFF;
    names.push_back("CDirProbe0");
    for (int i = 1; names.size() < wanted && i < 1000000; ++i) {
        std::string name = "CDirProbe" + std::to_string(i);
        if ((GetHashID(name.c_str()) & 0xFFFF) == bucket) names.push_back(name);
    }
    return names;
}

class RegistryDirectory : public RegistryTest {};

TEST_F(RegistryDirectory, CollidingNamesKeepSortedChainsAndAreFound) {
    std::vector<std::string> names = NamesInOneBucket(6);
    ASSERT_EQ(names.size(), 6u);
    // One name with several GUIDs whose byte order differs from Data1's (Data1 is stored
    // little-endian): 0x00000100 sorts before 0x00000001 byte-wise.
    std::vector<RecordPtr> records;
    for (size_t i = 0; i < names.size(); ++i)
        records.push_back(NewRecord(names[i], MakeGuid(0xD1000000 + DWORD(i))));
    for (DWORD data1 : {0x00000001u, 0x00000100u, 0x00010000u})
        records.push_back(NewRecord(names[2], MakeGuid(data1, 0x42)));
    std::vector<size_t> order(records.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (size_t i : order) {
        ASSERT_EQ(Register(records[i].get()), 0u) << records[i]->szClassName;
        ExpectDirectoryInvariants();
    }
    for (auto& record : records)
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&record->guid, record->dwHashID), record.get());
    // The three GUIDs of one name sort byte-wise in their chain.
    CQZRuntimeClass* first = records[records.size() - 3].get();   // Data1 = 1
    CQZRuntimeClass* second = records[records.size() - 2].get();  // Data1 = 0x100
    EXPECT_EQ(second->pNext == first || first->pNext == second, true);
    EXPECT_EQ(CQZRuntimeClass::IsUnique(first->dwHashID), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsUnique(records[0]->dwHashID), records[0].get());

    // Misses: an unknown GUID before, between and after; the right GUID with a wrong key.
    const GUID unknown[] = {MakeGuid(0, 0), MakeGuid(0x00000002, 0x42), MakeGuid(0xFFFFFFFF, 0xFF)};
    for (const GUID& guid : unknown)
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&guid, first->dwHashID), nullptr);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&first->guid, first->dwHashID ^ 0x10000), nullptr);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(nullptr, first->dwHashID), nullptr);

    // Removal at head, middle and tail keeps the chain whole.
    std::vector<CQZRuntimeClass*> sorted;
    for (auto& record : records) sorted.push_back(record.get());
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) {
        return (a->dwHashID >> 16) != (b->dwHashID >> 16)
                   ? (a->dwHashID >> 16) < (b->dwHashID >> 16)
                   : std::memcmp(&a->guid, &b->guid, 16) < 0;
    });
    for (CQZRuntimeClass* gone : {sorted[0], sorted[4], sorted.back()}) {
        EXPECT_EQ(gone->UnRegisterClass(), 0u);
        ExpectDirectoryInvariants();
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&gone->guid, gone->dwHashID), nullptr);
    }
    for (CQZRuntimeClass* kept : {sorted[1], sorted[3], sorted[sorted.size() - 2]})
        EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&kept->guid, kept->dwHashID), kept);
}

TEST_F(RegistryDirectory, ClosestMatchIsTheRecordOrItsPredecessor) {
    auto a = NewRecord("CClosest", MakeGuid(0x10, 1));
    auto b = NewRecord("CClosest", MakeGuid(0x30, 1));
    ASSERT_EQ(Register(a.get()), 0u);
    ASSERT_EQ(Register(b.get()), 0u);
    const WORD bucket = WORD(a->dwHashID & 0xFFFF), key = WORD(a->dwHashID >> 16);
    const GUID between = MakeGuid(0x20, 1), below = MakeGuid(0x01, 1), above = MakeGuid(0x40, 1);
    using I = CQZRuntimeClassProbe;
    EXPECT_EQ(I::FindClosestMatchPtr(&a->guid, bucket, key), a.get());
    EXPECT_EQ(I::FindClosestMatchPtr(&b->guid, bucket, key), b.get());
    EXPECT_EQ(I::FindClosestMatchPtr(&between, bucket, key), a.get());
    EXPECT_EQ(I::FindClosestMatchPtr(&above, bucket, key), b.get());
    EXPECT_EQ(I::FindClosestMatchPtr(nullptr, bucket, key), a.get());
    CQZRuntimeClass* beforeBoth = I::FindClosestMatchPtr(&below, bucket, key);
    EXPECT_TRUE(beforeBoth == nullptr || (beforeBoth->dwHashID >> 16) < key);
    EXPECT_EQ(I::FindClosestMatchPtr(&a->guid, 1024, key), nullptr);
}

TEST_F(RegistryDirectory, IdentifiersOutsideTheDirectoryScanByGuidAndHiddenRecordsStayOut) {
    auto shown = NewRecord("CScanShown", MakeGuid(0x5C0001));
    auto hidden = NewRecord("CScanHidden", MakeGuid(0x5C0002));
    ASSERT_EQ(Register(shown.get()), 0u);
    ASSERT_EQ(Register(hidden.get()), 0u);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&shown->guid, 0xFC00), shown.get());
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&shown->guid, shown->dwHashID | 0x0400), shown.get());
    EXPECT_EQ(CQZRuntimeClass::IsUnique(shown->dwHashID | 0x0400), nullptr);
    EXPECT_EQ(CQZRuntimeClass::IsUnique(0xFC00), nullptr);

    hidden->dwFlags |= QZRTC_HIDDEN;
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&hidden->guid, hidden->dwHashID), nullptr);
    EXPECT_EQ(CQZRuntimeClass::GetClassPtr(&hidden->guid, 0xFC00), nullptr);
    bool seen = false;
    CQZRuntimeClass::EnumClasses(
        [](CQZRuntimeClass* record, uintptr_t flag) {
            if (record->dwFlags & QZRTC_HIDDEN) *reinterpret_cast<bool*>(flag) = true;
            return TRUE;
        },
        reinterpret_cast<uintptr_t>(&seen));
    EXPECT_FALSE(seen);
    CPMemory list = CQZRuntimeClass::GetClassList();
    auto* entries = static_cast<CQZRuntimeClass* const*>(list.GetCDataPtr());
    const DWORD listed = list.GetSize() / sizeof(CQZRuntimeClass*);
    EXPECT_EQ(listed, CQZRuntimeClass::GetClassCount() - 1);
    EXPECT_EQ(std::count(entries, entries + listed, hidden.get()), 0);
    EXPECT_EQ(std::count(entries, entries + listed, shown.get()), 1);
    // The ordered list keeps hidden records.
    DWORD count = 0;
    CQZRuntimeClass** ordered = CQZRuntimeClass::GetOrderedClassList(&count);
    ASSERT_NE(ordered, nullptr);
    EXPECT_EQ(std::count(ordered, ordered + count, hidden.get()), 1);
    CQZRuntimeClass::FreeOrderedClassList(ordered);
    // Re-registration clears the hidden flag.
    ASSERT_EQ(hidden->UnRegisterClass(), 0u);
    ASSERT_EQ(Register(hidden.get()), 0u);
    EXPECT_EQ(hidden->dwFlags & QZRTC_HIDDEN, 0u);
}

}  // namespace
}  // namespace qzo::test
