// CPChangeNotify: a list of callbacks called in order by Notify. A pass addresses entries by
// identifier and looks each one up afresh, because a callback may register or unregister
// entries (which moves, shifts or frees the block) while the pass runs.
#include <cstring>
#include <memory>
#include <new>

#include "qzobj/containers.h"

const char classidCPChangeNotify[] = "CPChangeNotify";

namespace {

// The identifiers of one pass: entries present when it began, and entries to remove at its end.
struct PassIdentifiers {
    explicit PassIdentifiers(DWORD count)
        : present(new (std::nothrow) DWORD[count]), removed(new (std::nothrow) DWORD[count]) {}
    bool Valid() const { return present && removed; }

    std::unique_ptr<DWORD[]> present;
    std::unique_ptr<DWORD[]> removed;
    DWORD removedCount = 0;
};

// Runs one callback; false when it threw (the entry is then kept).
bool CallEntry(const tagNOTIFYSTRUC& entry, void* pointer, uintptr_t valueA, uintptr_t& value1,
               uintptr_t& value2, uintptr_t valueB, int* result) {
    try {
        *result = entry.pCallback(pointer, valueA, value1, value2, valueB);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

const char* CPChangeNotify::GetClassID() const {
    return classidCPChangeNotify;
}

CPChangeNotify::CPChangeNotify(const CPChangeNotify& source) : CPvList(source.dwItemSize) {
    dwGrowth = source.dwGrowth;
    dwNextID = source.dwNextID;
    CopyCPMemory(source);
}

CPChangeNotify& CPChangeNotify::operator=(const CPChangeNotify& source) {
    CPvList::operator=(source);
    return *this;
}

CPChangeNotify::~CPChangeNotify() {
    Free();
}

DWORD CPChangeNotify::Add(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2) {
    tagNOTIFYSTRUC entry = {0, callback, value1, value2};
    return CPvList::Add(&entry);
}

void CPChangeNotify::LoadInitItem(void* item) {
    static_cast<tagNOTIFYSTRUC*>(item)->pCallback = nullptr;
}

BOOL CPChangeNotify::Notify(void* pointer, uintptr_t valueA, uintptr_t valueB) {
    const DWORD count = GetNItems();
    if (count == 0) return 1;
    PassIdentifiers pass(count);
    if (!pass.Valid()) return 0;
    for (DWORD i = 0; i < count; ++i) pass.present[i] = ItemID(i);

    for (DWORD i = 0; i < count; ++i) {
        const DWORD id = pass.present[i];
        // Entries keep their order, so the entry is usually still at its old position.
        DWORD index = i < GetNItems() && ItemID(i) == id ? i : FindID(id);
        if (index == CPVLIST_NONE) continue;  // unregistered by an earlier callback
        tagNOTIFYSTRUC entry;
        std::memcpy(&entry, ItemAt(index), sizeof entry);
        if (!entry.pCallback) continue;
        uintptr_t value1 = entry.dwValue1;
        uintptr_t value2 = entry.dwValue2;
        int result = 1;
        const bool returned = CallEntry(entry, pointer, valueA, value1, value2, valueB, &result);
        index = FindID(id);
        if (index != CPVLIST_NONE) {
            tagNOTIFYSTRUC* stored = reinterpret_cast<tagNOTIFYSTRUC*>(ItemAt(index));
            stored->dwValue1 = value1;
            stored->dwValue2 = value2;
        }
        if (returned && result == 0) pass.removed[pass.removedCount++] = id;
    }
    for (DWORD i = 0; i < pass.removedCount; ++i) Delete(pass.removed[i], FALSE);
    return 1;
}
