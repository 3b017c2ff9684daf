// Helpers shared by the registry tests.
#include "registry_support.h"

#include <cstring>
#include <map>
#include <set>

namespace qzo::test {

HINSTANCE TestModule() {
    return QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&TestModule));
}

GUID MakeGuid(DWORD data1, BYTE last) {
    return GUID{data1, 0x7E57, 0x4E61, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, last}};
}

void RecordDeleter::operator()(CQZRuntimeClass* record) const {
    record->UnRegisterClass();
    delete record;
}

RecordPtr NewRecord(const std::string& name, const GUID& guid, DWORD objSize, DWORD flags,
                    PFNQZCLASSCTRLPROC ctrl) {
    RecordPtr record(new CQZRuntimeClass);
    std::memset(record.get(), 0, sizeof(CQZRuntimeClass));
    record->cbSize = sizeof(CQZRuntimeClass);
    record->dwObjSize = objSize;
    std::strncpy(record->szClassName, name.c_str(), sizeof record->szClassName - 1);
    record->guid = guid;
    record->dwFlags = flags;
    record->pfnClassCtrlProc = ctrl;
    record->dwStatus = QZRTC_NEVER;
    record->dwVTblVersion = 1;
    return record;
}

void ExpectDirectoryInvariants() {
    DWORD count = 0;
    CQZRuntimeClass** list = CQZRuntimeClass::GetOrderedClassList(&count);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, CQZRuntimeClass::GetClassCount());
    EXPECT_EQ(list[count], nullptr);
    std::map<WORD, std::set<CQZRuntimeClass*>> byBucket;
    std::set<DWORD> orders;
    for (DWORD i = 0; i < count; ++i) {
        byBucket[WORD(list[i]->dwHashID & 0xFFFF)].insert(list[i]);
        orders.insert(list[i]->dwOrder);
        if (i > 0) {
            EXPECT_LE(list[i - 1]->dwOrder, list[i]->dwOrder);
        }
    }
    EXPECT_EQ(orders.size(), count) << "order numbers are unique";
    for (auto& [bucket, records] : byBucket) {
        EXPECT_LT(bucket, QZRTC_BUCKETS);
        std::set<CQZRuntimeClass*> pointedAt;
        for (auto* record : records)
            if (record->pNext) pointedAt.insert(record->pNext);
        std::vector<CQZRuntimeClass*> heads;
        for (auto* record : records)
            if (!pointedAt.count(record)) heads.push_back(record);
        ASSERT_EQ(heads.size(), 1u) << "bucket " << bucket;
        size_t walked = 0;
        for (CQZRuntimeClass* at = heads[0]; at; at = at->pNext, ++walked) {
            ASSERT_TRUE(records.count(at)) << "chain leaves its bucket";
            ASSERT_LE(walked, records.size());
            if (CQZRuntimeClass* next = at->pNext) {
                const WORD key = WORD(at->dwHashID >> 16), nextKey = WORD(next->dwHashID >> 16);
                EXPECT_TRUE(key < nextKey ||
                            (key == nextKey && std::memcmp(&at->guid, &next->guid, 16) < 0));
            }
        }
        EXPECT_EQ(walked, records.size());
    }
    CQZRuntimeClass::FreeOrderedClassList(list);
}

DWORD RegistryTest::Register(CQZRuntimeClass* record, CQZRuntimeClass* base, DWORD baseSize) {
    return record->RegisterClass(TestModule(), base, baseSize);
}

}  // namespace qzo::test
