// Helpers of the list tests: an 8-byte item, a list that records its item hooks and may veto
// deletions, heap counters and archive shortcuts.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "qzobj/containers.h"
#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "support/capture.h"
#include "support/recording_archive.h"

namespace qzo::test {

struct Item8 {
    DWORD id;
    DWORD value;
};

inline Item8 MakeItem(DWORD value) {
    return Item8{0xEEEEEEEE, value};
}

using ScopedDebugMode = qzo::test::ScopedDebugOutput;

inline DWORD LiveBlocks(CHeap& heap) {
    DWORD count = 0;
    heap.GetHeapState(&count);
    return count;
}

// The values of the list's items in order.
inline std::vector<DWORD> Values(const CPvList& list) {
    std::vector<DWORD> values;
    for (DWORD i = 0; i < list.GetNItems(); ++i)
        values.push_back(static_cast<const Item8*>(list.GetCItem(i))->value);
    return values;
}

inline std::vector<DWORD> Ids(const CPvList& list) {
    std::vector<DWORD> ids;
    for (DWORD i = 0; i < list.GetNItems(); ++i)
        ids.push_back(static_cast<const Item8*>(list.GetCItem(i))->id);
    return ids;
}

// Adds items of the values `first`..`last` to `list`.
inline void AddRange(CPvList& list, DWORD first, DWORD last) {
    for (DWORD v = first; v <= last; ++v) {
        Item8 item = MakeItem(v);
        list.Add(&item);
    }
}

// A list of Item8 whose hooks are recorded. Items whose value is in `vetoed` refuse deletion.
class HookedList : public CPvList {
  public:
    HookedList() : CPvList(sizeof(Item8), 5) {}
    ~HookedList() override { Free(); }

    std::vector<std::string> calls;
    std::vector<DWORD> vetoed;

    using CPvList::FreeListItems;

  protected:
    void InitItem(void* item) override {
        calls.push_back("init");
        CPvList::InitItem(item);
    }
    void InsertItem(void* slot, const void* source) override {
        calls.push_back("insert " + std::to_string(static_cast<const Item8*>(source)->value));
        CPvList::InsertItem(slot, source);
    }
    int DeleteItem(void* item, uintptr_t parameter) override {
        const DWORD value = static_cast<Item8*>(item)->value;
        calls.push_back("delete " + std::to_string(value) + " " + std::to_string(parameter));
        for (DWORD v : vetoed)
            if (v == value) return 0;
        return 1;
    }
    void LoadInitItem(void* item) override {
        calls.push_back("load " + std::to_string(static_cast<Item8*>(item)->value));
    }
};

// Saves a list into a fresh archive and returns the bytes.
template <class List>
std::string SavedBytes(const List& list, const char* name) {
    RecordingArchive archive;
    EXPECT_TRUE(list.DynaSave(name, archive));
    return archive.Bytes();
}

}  // namespace qzo::test
