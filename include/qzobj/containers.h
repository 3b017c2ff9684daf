// Containers on memory blocks: lists of fixed-size items addressed by position or identifier
// (CPvList and its sorted, handle and callback kinds), the headerless growable array
// CPDynArray, the compact list reference CSearchID, and the sort and binary search they use.
#pragma once

#include "qzobj/memblock.h"

class CQZArchive;

// Class IDs of the list kinds (compared by address): a list shares blocks only with lists of
// the same kind. CPvListS keeps CPvList's ID; CPDynArray keeps CPMemory's.
QZOBJ_API extern const char classidCPvList[];         // "CPvList"
QZOBJ_API extern const char classidCPMemoryList[];    // "CPMemoryList"
QZOBJ_API extern const char classidCPChangeNotify[];  // "CPChangeNotify"

// "No position" and "no identifier".
#define CPVLIST_NONE 0xFFFFFFFFu

// The header at the start of a list's block. In memory it is 8 bytes, so that items holding
// pointers stay aligned; a stored list carries only its first word (CPVLIST_STORED_HEADER).
struct tagCPVLIST_HEADER {
    DWORD dwItemSize;  // bytes per item, as the list that wrote the block had them
    DWORD dwReserved;  // zero; never stored
};
static_assert(sizeof(tagCPVLIST_HEADER) == 8, "the in-memory list header keeps items aligned");
// Bytes of the header in a stored list chunk: the little-endian item-size word.
#define CPVLIST_STORED_HEADER 4u

// A comparison of two elements: negative, zero or positive.
typedef int (*QZCOMPAREPROC)(const void* a, const void* b);

// Sorts `count` elements of `size` bytes in place with an iterative quicksort (middle element
// as pivot, selection sort for partitions of 8 or fewer). The order of equal elements is the
// algorithm's own and is kept exactly from release to release, because stored sorted lists
// carry it. Runs of elements equal to an earlier pivot cost linear time.
QZOBJ_API void qzqsort(void* base, DWORD count, DWORD size, QZCOMPAREPROC compare);
// The first position in a sorted array whose element is not less than the key (count when
// every element is less); 0 for an empty array or null arguments.
QZOBJ_API DWORD qzqsearch(const void* key, const void* base, DWORD count, DWORD size,
                          QZCOMPAREPROC compare);

// A cached reference to a list item: the item's position (low half) and its identifier (high
// half). 0xFFFF in a half means unknown; positions and identifiers of 0xFFFF and above cannot be
// cached and are unknown.
class QZOBJ_API CSearchID {
  public:
    CSearchID() = default;
    CSearchID(DWORD id, DWORD index) { Assign(id, index); }

    // Values of 0xFFFF and above, and CPVLIST_NONE, become unknown.
    void Assign(DWORD id, DWORD index) {
        wIndex = Half(index);
        wID = Half(id);
    }
    void AssignIndex(DWORD index) { wIndex = Half(index); }

    // The halves, with CPVLIST_NONE for unknown.
    DWORD uIndex() const { return wIndex == 0xFFFF ? CPVLIST_NONE : wIndex; }
    DWORD uID() const { return wID == 0xFFFF ? CPVLIST_NONE : wID; }
    // True when the identifier half is known and equals a list identifier.
    bool MatchesID(DWORD id) const { return wID != 0xFFFF && wID == id; }

    // The whole value: identifier in the high half, position in the low half.
    DWORD GetValue() const { return (DWORD(wID) << 16) | wIndex; }
    explicit operator DWORD() const { return GetValue(); }

    // Comparisons look at the identifier halves only.
    bool operator==(const CSearchID& other) const { return wID == other.wID; }
    bool operator!=(const CSearchID& other) const { return wID != other.wID; }
    bool operator==(DWORD id) const { return wID == Half(id); }
    bool operator!=(DWORD id) const { return wID != Half(id); }

  private:
    static WORD Half(DWORD value) { return value >= 0xFFFF ? WORD(0xFFFF) : WORD(value); }

    WORD wIndex = 0xFFFF;
    WORD wID = 0xFFFF;
};
static_assert(sizeof(CSearchID) == 4, "a search ID is 32 bits");

// A list of fixed-size items in one contiguous block behind a tagCPVLIST_HEADER. Every item
// starts with a 32-bit identifier that the list assigns on insertion (0, 1, 2, ...), so items
// can be addressed by position or by identifier. Derived lists customise the item life cycle
// through InitItem, InsertItem, DeleteItem, LoadInitItem and TransCopyMem.
//
// The capacity grows linearly by the growth count when the list is full; a caller about to add
// many items calls Prealloc first. An empty list holds no block.
//
// Sharing: copies share the block (copy on write is the caller's: Realloc() makes the block
// private). Mutating calls act on the block as it is, also when it is shared.
//
// Derived classes that override GetClassID or the item hooks call Free() in their own
// destructor, so that their hooks still run when the last reference goes.
//
// Thread safety: none beyond CPMemory's reference counting; callers serialise access to one
// list (its items and its identifier counter are plain data).
class QZOBJ_API CPvList : public CPMemory {
  private:
    const char* GetClassID() const override;

  public:
    // Item sizes below 4 become 4; a growth of 0 becomes 5.
    explicit CPvList(DWORD itemSize = 4, DWORD growth = 5);
    CPvList(const CPvList& source);
    CPvList& operator=(const CPvList& source);
    ~CPvList() override;

    // Makes the block private (copies it when it is shared).
    BOOL Realloc();
    // Makes room for n more items without changing the count.
    BOOL Prealloc(DWORD n);

    DWORD GetNItems() const;
    DWORD GetNAllocItems() const;
    DWORD GetItemSize() const { return dwItemSize; }
    DWORD GetNGrowth() const { return dwGrowth; }
    DWORD GetNextID() const { return dwNextID; }
    // 0 is refused.
    BOOL SetNGrowth(DWORD growth);

    // The first item, or null for an empty list (write access is refused on a READONLY handle).
    void* GetList();
    const void* GetCList() const;
    operator void*() { return GetList(); }
    operator const void*() const { return GetCList(); }

    // The item at a position (byIndex) or with an identifier; null when there is none.
    void* GetItem(DWORD key, BOOL byIndex = TRUE);
    const void* GetCItem(DWORD key, BOOL byIndex = TRUE) const;

    // Appends; returns the new item's identifier, or CPVLIST_NONE when the list could not grow.
    DWORD Add(const void* item) { return Insert(item, CPVLIST_NONE); }
    // Inserts before `position` (clamped to the count). A null item inserts a zeroed one.
    DWORD Insert(const void* item, DWORD position);
    // 1 when the item is gone or was never there; 0 when DeleteItem vetoed.
    BOOL Delete(DWORD key, BOOL byIndex, uintptr_t parameter = 0);
    // Replaces an item, keeping its identifier. 0 when not found, for a null item or on veto.
    BOOL Replace(const void* item, DWORD key, BOOL byIndex, uintptr_t parameter = 0);
    // Moves the item at `from` to `to` (clamped to the last position); 0 for a bad `from`.
    BOOL Move(DWORD from, DWORD to);
    // Deletes every item; 1 when all went (the block is released), 0 when some vetoed (they
    // stay, in order).
    BOOL Clear(uintptr_t parameter = 0);
    // Cuts the list to n items without calling DeleteItem.
    BOOL Truncate(DWORD n);
    // Replaces this list by a copy of the source's items (through the source's TransCopyMem),
    // taking its item size, growth and next identifier.
    BOOL TransCopyList(const CPvList& source);

    // Stores the list as one chunk: the item-size word and the items.
    BOOL DynaSave(const char* chunkName, CQZArchive& archive) const;
    // Loads a stored list and renumbers its items 0, 1, 2, ... A list stored with another item
    // size loads only with `convert` (items cut, or zero-filled behind their stored bytes).
    // Damaged chunks fail and leave the list empty.
    BOOL DynaLoad(const char* chunkName, CQZArchive& archive, int extra = 0, BOOL convert = FALSE);

    // The position the search ID refers to, or CPVLIST_NONE; updates the search ID's position
    // when the item moved, and marks it unknown when the item is gone.
    DWORD IndexFromSearchID(CSearchID& searchID) const;

  protected:
    // Prepares a fresh slot before InsertItem. Default: nothing.
    virtual void InitItem(void* item);
    // Fills a slot from the caller's item. Default: copies the item's bytes (zeros for null).
    virtual void InsertItem(void* slot, const void* source);
    // Disposes of an item; 0 vetoes its removal. Default: 1.
    virtual int DeleteItem(void* item, uintptr_t parameter);
    // Fixes an item up after loading. Default: nothing.
    virtual void LoadInitItem(void* item);
    // Copies all items to `destination` (count * item size bytes). Default: a byte copy.
    virtual void TransCopyMem(void* destination) const;

    // Deletes every item without vetoes counting: calls DeleteItem on each; returns the count.
    DWORD FreeListItems(uintptr_t parameter);
    // Renumbers after loading and calls LoadInitItem on every item.
    void LoadInit();
    // The items go when the last reference to the block goes.
    BOOL ClearForRelease() override;

    // The address of item `index` (no checks) and the identifier stored there.
    BYTE* ItemAt(DWORD index) const;
    DWORD ItemID(DWORD index) const;
    // The position of the item with an identifier, or CPVLIST_NONE.
    DWORD FindID(DWORD id) const;
    // Sets the count (the block must hold that many items).
    void SetCount(DWORD count);
    // Resizes the block to hold `capacity` items, keeping the items.
    bool GrowTo(ULONGLONG capacity);

    DWORD dwItemSize;
    DWORD dwGrowth;
    DWORD dwNextID = 0;

  private:
    void DiscardLoadedBlock();
    bool ConvertLoadedItems(DWORD storedItemSize, BOOL convert);
};

// A list kept sorted by a caller's comparison of whole items (identifier included; the
// comparison normally skips it). Shares blocks with CPvList handles.
//
// Thread safety: as CPvList.
class QZOBJ_API CPvListS : public CPvList {
  public:
    CPvListS(DWORD itemSize, DWORD growth, QZCOMPAREPROC compare)
        : CPvList(itemSize, growth), pCompare(compare) {}
    CPvListS(const CPvListS& source) = default;
    CPvListS& operator=(const CPvListS& source) = default;

    // Inserts at the sorted position and returns that position (CPVLIST_NONE on failure). With
    // `replace`, an equal item at that position is overwritten whole, identifier included.
    DWORD Add(const void* item, BOOL replace = FALSE);
    // The position where the item would be inserted.
    DWORD LocateEntry(const void* item) const;
    // The position of an equal item, or CPVLIST_NONE.
    DWORD LocateIndex(const void* item) const;
    // Sorts the items again (after items were changed in place); 0 for an empty list.
    BOOL ReSort();

    QZCOMPAREPROC GetCompare() const { return pCompare; }

  protected:
    QZCOMPAREPROC pCompare;
};

// An item of a CPMemoryList: the identifier and a handle of its own.
struct tagCPMEMLIST {
    DWORD dwID;
    CPMemory Memory;
};

// A list of CPMemory handles. Every stored handle holds its own reference: inserting shares
// the caller's block, deleting releases it, and copying the list's block (unsharing, moving a
// shared block, TransCopyList) gives the copy references of its own, so every inner block is
// released exactly once. Loaded lists hold empty handles (stored addresses mean nothing).
//
// Thread safety: as CPvList.
class QZOBJ_API CPMemoryList : public CPvList {
  private:
    const char* GetClassID() const override;

  public:
    explicit CPMemoryList(DWORD growth = 5) : CPvList(sizeof(tagCPMEMLIST), growth) {}
    CPMemoryList(const CPMemoryList& source);
    CPMemoryList& operator=(const CPMemoryList& source);
    ~CPMemoryList() override;

    DWORD Add(const CPMemory& memory) { return Insert(memory, CPVLIST_NONE); }
    DWORD Insert(const CPMemory& memory, DWORD position);
    // The stored handle, or null.
    CPMemory* GetItem(DWORD key, BOOL byIndex = TRUE);
    // A copy of the stored handle (sharing its block) marked READONLY; empty when not found.
    CPMemory GetCItem(DWORD key, BOOL byIndex = TRUE) const;
    tagCPMEMLIST* GetList() { return static_cast<tagCPMEMLIST*>(CPvList::GetList()); }
    const tagCPMEMLIST* GetCList() const {
        return static_cast<const tagCPMEMLIST*>(CPvList::GetCList());
    }

  protected:
    void InitItem(void* item) override;
    void InsertItem(void* slot, const void* source) override;
    int DeleteItem(void* item, uintptr_t parameter) override;
    void LoadInitItem(void* item) override;
    void TransCopyMem(void* destination) const override;
    void RelocateMemory(const void* source, DWORD sourceSize, void* destination,
                        DWORD destinationSize, LONG iRef) override;
    BOOL ClearForRelease() override;
};

// A notification callback: the notifier's pointer and values, and the entry's own two values
// (by reference, so the callback may update them). Returning 0 unregisters the entry.
typedef int (*CHANGENOTIFYPROC)(void* pointer, uintptr_t valueA, uintptr_t& value1,
                                uintptr_t& value2, uintptr_t valueB);

struct tagNOTIFYSTRUC {
    DWORD dwID;
    CHANGENOTIFYPROC pCallback;
    uintptr_t dwValue1;
    uintptr_t dwValue2;
};

// A list of callbacks. Notify calls them in order; callbacks may register and unregister
// entries (of this list too) while a pass runs: entries added during a pass are first called
// by the next pass, entries removed during a pass are not called after their removal, and
// entries whose callback returned 0 are removed when the pass ends. A callback that throws is
// kept and the pass goes on.
//
// Thread safety: as CPvList; the caller serialises Add, Delete and Notify.
class QZOBJ_API CPChangeNotify : public CPvList {
  private:
    const char* GetClassID() const override;

  public:
    CPChangeNotify() : CPvList(sizeof(tagNOTIFYSTRUC), 2) {}
    CPChangeNotify(const CPChangeNotify& source);
    CPChangeNotify& operator=(const CPChangeNotify& source);
    ~CPChangeNotify() override;

    // Registers a callback; returns its identifier (for Delete(id, FALSE)).
    DWORD Add(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2);
    // Calls every registered callback once; returns 1 (0 only when no memory was available).
    BOOL Notify(void* pointer, uintptr_t valueA, uintptr_t valueB);

  protected:
    // A stored callback address means nothing after loading: loaded entries are inert.
    void LoadInitItem(void* item) override;
};

// A headerless growable array of fixed-size elements: the count is the block size divided by
// the element size. Shares blocks with plain CPMemory handles.
//
// Thread safety: as CPMemory.
class QZOBJ_API CPDynArray : public CPMemory {
  public:
    // The element size must be non-zero (an array of size-0 elements stays empty); a growth of
    // 0 becomes 8.
    explicit CPDynArray(DWORD elementSize, DWORD growth = 8)
        : dwElementSize(elementSize), dwGrowth(growth == 0 ? 8 : growth) {}
    CPDynArray(const CPDynArray& source) = default;
    CPDynArray& operator=(const CPDynArray& source) = default;

    // The elements (writable) and their count; null for an empty array.
    void* GetArray(DWORD* count);
    const void* GetCArray(DWORD* count) const;
    DWORD GetCount() const;
    DWORD GetElementSize() const { return dwElementSize; }

    // Appends a copy of the element (zeros for null); 0 when the array could not grow.
    BOOL Add(const void* element);
    // Removes the element at a position; a position past the end changes nothing. Returns 1.
    BOOL Delete(DWORD position);

  protected:
    DWORD dwElementSize;
    DWORD dwGrowth;
};
