// CPMemoryList: a list of CPMemory handles, each holding its own reference. Whenever the
// list's items are copied into another block while the old block keeps its holders, the copies
// take references of their own; when the items merely move, their bytes move.
#include <cstring>
#include <new>

#include "qzobj/containers.h"

const char classidCPMemoryList[] = "CPMemoryList";

namespace {

tagCPMEMLIST* AsItem(void* item) {
    return static_cast<tagCPMEMLIST*>(item);
}

const tagCPMEMLIST* AsItem(const void* item) {
    return static_cast<const tagCPMEMLIST*>(item);
}

// Copies `count` items into raw slots, each copy sharing its source's block.
void CopyItems(const tagCPMEMLIST* from, void* to, DWORD count) {
    tagCPMEMLIST* slots = static_cast<tagCPMEMLIST*>(to);
    for (DWORD i = 0; i < count; ++i) {
        slots[i].dwID = from[i].dwID;
        new (&slots[i].Memory) CPMemory(from[i].Memory);
    }
}

}  // namespace

const char* CPMemoryList::GetClassID() const {
    return classidCPMemoryList;
}

CPMemoryList::CPMemoryList(const CPMemoryList& source) : CPvList(source.dwItemSize) {
    dwGrowth = source.dwGrowth;
    dwNextID = source.dwNextID;
    CopyCPMemory(source);
}

CPMemoryList& CPMemoryList::operator=(const CPMemoryList& source) {
    CPvList::operator=(source);
    return *this;
}

CPMemoryList::~CPMemoryList() {
    Free();  // while this class's hooks still run: the stored handles are released
}

DWORD CPMemoryList::Insert(const CPMemory& memory, DWORD position) {
    // The caller's handle may live inside this list's block, which may move while growing.
    const CPMemory held(memory);
    return CPvList::Insert(&held, position);
}

CPMemory* CPMemoryList::GetItem(DWORD key, BOOL byIndex) {
    void* item = CPvList::GetItem(key, byIndex);
    return item ? &AsItem(item)->Memory : nullptr;
}

CPMemory CPMemoryList::GetCItem(DWORD key, BOOL byIndex) const {
    const void* item = CPvList::GetCItem(key, byIndex);
    if (!item) return CPMemory();
    CPMemory copy(AsItem(item)->Memory);
    copy.SetFlags(CPMEM_READONLY);
    return copy;
}

void CPMemoryList::InitItem(void* item) {
    new (&AsItem(item)->Memory) CPMemory();
}

void CPMemoryList::InsertItem(void* slot, const void* source) {
    if (source) AsItem(slot)->Memory = *static_cast<const CPMemory*>(source);
}

int CPMemoryList::DeleteItem(void* item, uintptr_t /*parameter*/) {
    AsItem(item)->Memory.Free();
    return 1;
}

void CPMemoryList::LoadInitItem(void* item) {
    new (&AsItem(item)->Memory) CPMemory();  // the stored bytes of a handle are meaningless
}

void CPMemoryList::TransCopyMem(void* destination) const {
    const DWORD count = GetNItems();
    if (count != 0) CopyItems(AsItem(ItemAt(0)), destination, count);
}

// Called while this handle still holds the old block. When other holders keep it (iRef above
// 1), the new block gets copies with their own references; otherwise the handles move.
void CPMemoryList::RelocateMemory(const void* source, DWORD sourceSize, void* destination,
                                  DWORD destinationSize, LONG iRef) {
    if (iRef <= 1 || !source || !destination) {
        CPvList::RelocateMemory(source, sourceSize, destination, destinationSize, iRef);
        return;
    }
    if (destinationSize < sizeof(tagCPVLIST_HEADER)) return;
    const DWORD room = (destinationSize - sizeof(tagCPVLIST_HEADER)) / dwItemSize;
    const DWORD count = GetNItems() < room ? GetNItems() : room;
    const BYTE* from = static_cast<const BYTE*>(source);
    BYTE* to = static_cast<BYTE*>(destination);
    std::memcpy(to, from, sizeof(tagCPVLIST_HEADER));
    CopyItems(AsItem(from + sizeof(tagCPVLIST_HEADER)), to + sizeof(tagCPVLIST_HEADER), count);
}

BOOL CPMemoryList::ClearForRelease() {
    FreeListItems(0);
    return 1;
}
