// CPvList: items in one block behind the list header, addressed by position or identifier;
// growth, insertion, deletion, replacement and moves.
#include <cstring>
#include <memory>
#include <new>

#include "qzobj/containers.h"
#include "qzobj/memory/list_limits.h"

const char classidCPvList[] = "CPvList";

const char* CPvList::GetClassID() const {
    return classidCPvList;
}

CPvList::CPvList(DWORD itemSize, DWORD growth)
    : dwItemSize(itemSize < 4 ? 4 : itemSize), dwGrowth(growth == 0 ? 5 : growth) {}

CPvList::CPvList(const CPvList& source)
    : CPMemory(),
      dwItemSize(source.dwItemSize),
      dwGrowth(source.dwGrowth),
      dwNextID(source.dwNextID) {
    CopyCPMemory(source);
}

CPvList& CPvList::operator=(const CPvList& source) {
    if (this == &source) return *this;
    CopyCPMemory(source);
    dwItemSize = source.dwItemSize;
    dwGrowth = source.dwGrowth;
    dwNextID = source.dwNextID;
    return *this;
}

CPvList::~CPvList() {
    Free();
}

BYTE* CPvList::ItemAt(DWORD index) const {
    return static_cast<BYTE*>(Data()) + sizeof(tagCPVLIST_HEADER) + size_t(index) * dwItemSize;
}

DWORD CPvList::ItemID(DWORD index) const {
    DWORD id;
    std::memcpy(&id, ItemAt(index), sizeof id);
    return id;
}

DWORD CPvList::GetNItems() const {
    const DWORD size = GetSize();
    return size < sizeof(tagCPVLIST_HEADER) ? 0 : (size - sizeof(tagCPVLIST_HEADER)) / dwItemSize;
}

DWORD CPvList::GetNAllocItems() const {
    const DWORD size = GetAllocSize();
    return size < sizeof(tagCPVLIST_HEADER) ? 0 : (size - sizeof(tagCPVLIST_HEADER)) / dwItemSize;
}

void CPvList::SetCount(DWORD count) {
    pMH->dwSize = DWORD(sizeof(tagCPVLIST_HEADER) + ULONGLONG(count) * dwItemSize);
}

DWORD CPvList::FindID(DWORD id) const {
    const DWORD count = GetNItems();
    for (DWORD i = 0; i < count; ++i)
        if (ItemID(i) == id) return i;
    return CPVLIST_NONE;
}

BOOL CPvList::SetNGrowth(DWORD growth) {
    if (growth == 0) return 0;
    dwGrowth = growth;
    return 1;
}

BOOL CPvList::Realloc() {
    return CPMemory::Realloc(CPMEM_UNSHARE);
}

bool CPvList::GrowTo(ULONGLONG capacity) {
    const ULONGLONG bytes = sizeof(tagCPVLIST_HEADER) + capacity * dwItemSize;
    if (capacity > qzo::memory::kLargestListBlock || bytes > qzo::memory::kLargestListBlock)
        return false;
    const DWORD count = GetNItems();
    if (!pMH) {
        if (!CPMemory::Alloc(DWORD(bytes))) return false;
        const tagCPVLIST_HEADER header = {dwItemSize, 0};
        std::memcpy(Data(), &header, sizeof header);
    } else if (!CPMemory::Realloc(DWORD(bytes))) {
        return false;
    }
    SetCount(count);
    return true;
}

BOOL CPvList::Prealloc(DWORD n) {
    const ULONGLONG wanted = ULONGLONG(GetNItems()) + n;
    if (wanted <= GetNAllocItems()) return 1;
    return GrowTo(wanted);
}

void* CPvList::GetList() {
    void* data = GetDataPtr();  // refused, with a warning, on a READONLY handle
    return data && GetNItems() != 0 ? ItemAt(0) : nullptr;
}

const void* CPvList::GetCList() const {
    return GetCDataPtr() && GetNItems() != 0 ? ItemAt(0) : nullptr;
}

void* CPvList::GetItem(DWORD key, BOOL byIndex) {
    if (!GetList()) return nullptr;
    const DWORD index = byIndex ? (key < GetNItems() ? key : CPVLIST_NONE) : FindID(key);
    return index == CPVLIST_NONE ? nullptr : ItemAt(index);
}

const void* CPvList::GetCItem(DWORD key, BOOL byIndex) const {
    if (!GetCList()) return nullptr;
    const DWORD index = byIndex ? (key < GetNItems() ? key : CPVLIST_NONE) : FindID(key);
    return index == CPVLIST_NONE ? nullptr : ItemAt(index);
}

void CPvList::InitItem(void* /*item*/) {}

void CPvList::InsertItem(void* slot, const void* source) {
    if (source)
        std::memcpy(slot, source, dwItemSize);
    else
        std::memset(slot, 0, dwItemSize);
}

int CPvList::DeleteItem(void* /*item*/, uintptr_t /*parameter*/) {
    return 1;
}

void CPvList::LoadInitItem(void* /*item*/) {}

void CPvList::TransCopyMem(void* destination) const {
    const DWORD count = GetNItems();
    if (count != 0) std::memcpy(destination, ItemAt(0), size_t(count) * dwItemSize);
}

DWORD CPvList::Insert(const void* item, DWORD position) {
    const DWORD count = GetNItems();
    if (count == CPVLIST_NONE - 1) return CPVLIST_NONE;
    if (count + 1 > GetNAllocItems() && !GrowTo(ULONGLONG(GetNAllocItems()) + dwGrowth))
        return CPVLIST_NONE;
    const DWORD at = position < count ? position : count;
    BYTE* slot = ItemAt(at);
    std::memmove(slot + dwItemSize, slot, size_t(count - at) * dwItemSize);
    InitItem(slot);
    InsertItem(slot, item);
    const DWORD id = dwNextID++;
    std::memcpy(slot, &id, sizeof id);
    SetCount(count + 1);
    return id;
}

BOOL CPvList::Delete(DWORD key, BOOL byIndex, uintptr_t parameter) {
    const DWORD count = GetNItems();
    const DWORD index = byIndex ? (key < count ? key : CPVLIST_NONE) : FindID(key);
    if (index == CPVLIST_NONE) return 1;
    if (!DeleteItem(ItemAt(index), parameter)) return 0;
    if (count < 2) {
        SetCount(0);  // the item is gone: releasing the block must not delete it again
        Free();
        return 1;
    }
    BYTE* slot = ItemAt(index);
    std::memmove(slot, slot + dwItemSize, size_t(count - index - 1) * dwItemSize);
    SetCount(count - 1);
    return 1;
}

BOOL CPvList::Replace(const void* item, DWORD key, BOOL byIndex, uintptr_t parameter) {
    if (!item) return 0;
    const DWORD count = GetNItems();
    const DWORD index = byIndex ? (key < count ? key : CPVLIST_NONE) : FindID(key);
    if (index == CPVLIST_NONE) return 0;
    BYTE* slot = ItemAt(index);
    if (!DeleteItem(slot, parameter)) return 0;
    const DWORD id = ItemID(index);
    InitItem(slot);
    InsertItem(slot, item);
    std::memcpy(slot, &id, sizeof id);
    return 1;
}

BOOL CPvList::Move(DWORD from, DWORD to) {
    const DWORD count = GetNItems();
    if (from >= count) return 0;
    if (to >= count) to = count - 1;
    if (from == to) return 1;
    // The moving item waits in a buffer while the items between shift toward its old place.
    BYTE small[64];
    std::unique_ptr<BYTE[]> large;
    BYTE* saved = small;
    if (dwItemSize > sizeof small) {
        large.reset(new (std::nothrow) BYTE[dwItemSize]);
        if (!large) return 0;
        saved = large.get();
    }
    std::memcpy(saved, ItemAt(from), dwItemSize);
    if (from < to)
        std::memmove(ItemAt(from), ItemAt(from + 1), size_t(to - from) * dwItemSize);
    else
        std::memmove(ItemAt(to + 1), ItemAt(to), size_t(from - to) * dwItemSize);
    std::memcpy(ItemAt(to), saved, dwItemSize);
    return 1;
}

BOOL CPvList::Clear(uintptr_t parameter) {
    const DWORD count = GetNItems();
    DWORD kept = 0;
    for (DWORD i = 0; i < count; ++i) {
        if (DeleteItem(ItemAt(i), parameter)) continue;
        if (kept != i) std::memcpy(ItemAt(kept), ItemAt(i), dwItemSize);
        ++kept;
    }
    if (pMH) SetCount(kept);
    if (kept == 0) Free();
    return kept == 0;
}

BOOL CPvList::Truncate(DWORD n) {
    const DWORD count = GetNItems();
    if (count == 0) return n == 0;
    if (n > count) return 0;
    SetCount(n);
    if (n == 0) Free();  // an empty list holds no block
    return 1;
}

DWORD CPvList::FreeListItems(uintptr_t parameter) {
    const DWORD count = GetNItems();
    for (DWORD i = 0; i < count; ++i) DeleteItem(ItemAt(i), parameter);
    return count;
}

BOOL CPvList::ClearForRelease() {
    FreeListItems(0);
    return 1;
}

BOOL CPvList::TransCopyList(const CPvList& source) {
    if (this == &source) return 1;
    Free();
    dwItemSize = source.dwItemSize;
    dwGrowth = source.dwGrowth;
    dwNextID = source.dwNextID;
    const DWORD count = source.GetNItems();
    if (count == 0) return 1;
    const ULONGLONG bytes = sizeof(tagCPVLIST_HEADER) + ULONGLONG(count) * dwItemSize;
    if (bytes > qzo::memory::kLargestListBlock || !CPMemory::Alloc(DWORD(bytes))) return 0;
    std::memcpy(Data(), source.Data(), sizeof(tagCPVLIST_HEADER));
    source.TransCopyMem(ItemAt(0));
    SetCount(count);
    return 1;
}

DWORD CPvList::IndexFromSearchID(CSearchID& searchID) const {
    const DWORD count = GetNItems();
    if (count == 0) return CPVLIST_NONE;
    const DWORD index = searchID.uIndex();
    if (searchID.uID() == CPVLIST_NONE) return index < count ? index : CPVLIST_NONE;
    if (index < count && searchID.MatchesID(ItemID(index))) return index;
    for (DWORD i = 0; i < count; ++i) {
        if (searchID.MatchesID(ItemID(i))) {
            searchID.AssignIndex(i);
            return i;
        }
    }
    searchID.Assign(CPVLIST_NONE, CPVLIST_NONE);
    return CPVLIST_NONE;
}
