// CQZHashTable: 1024 buckets of chains sorted by the sort key of the hash identifier, then by the
// derived class's Compare.
#include <cstring>

#include "qzobj/hashid.h"

namespace {

constexpr DWORD SortKey(DWORD hashID) {
    return hashID >> 16;
}
constexpr DWORD BucketOf(DWORD hashID) {
    return hashID & 0xFFFF;
}
constexpr bool AddressesBucket(DWORD hashID) {
    return (hashID & QZO_HASHID_INVALID_BITS) == 0;
}

// Holds a table lock for a scope.
class TableLockScope {
  public:
    TableLockScope(COSCriticalSection& lock, void* caller) : lock_(lock) { lock_.Enter(caller); }
    ~TableLockScope() { lock_.Leave(); }
    TableLockScope(const TableLockScope&) = delete;
    TableLockScope& operator=(const TableLockScope&) = delete;

  private:
    COSCriticalSection& lock_;
};

}  // namespace

CQZHashTable::CQZHashTable() : m_pBuckets{} {}

CQZHashTable::~CQZHashTable() {
    ClearTable();
}

LONG CQZHashTable::Compare(const tagHASHENTRY*, const tagHASHENTRY*) {
    return 0;
}

tagHASHENTRY* CQZHashTable::AllocEntry(DWORD) {
    return nullptr;
}

void CQZHashTable::DeleteEntry(tagHASHENTRY*) {}

tagHASHENTRY* CQZHashTable::FindClosestMatch(DWORD hashID, const tagHASHENTRY* probe,
                                             tagHASHENTRY** previous) {
    *previous = nullptr;
    if (!AddressesBucket(hashID)) return nullptr;
    TableLockScope scope(m_Lock, __builtin_return_address(0));
    const DWORD key = SortKey(hashID);
    tagHASHENTRY* entry = m_pBuckets[BucketOf(hashID)];
    while (entry && SortKey(entry->dwHashID) < key) {
        *previous = entry;
        entry = entry->pNext;
    }
    if (!entry || SortKey(entry->dwHashID) > key) return *previous;
    if (!probe) return entry;
    // The run of equal keys: stop at the match, or before the first entry that sorts after the
    // probe; past the run's end the last entry of the run is the closest.
    while (entry && SortKey(entry->dwHashID) == key) {
        const LONG order = Compare(probe, entry);
        if (order == 0) return entry;
        if (order < 0) return *previous;
        *previous = entry;
        entry = entry->pNext;
    }
    return *previous;
}

tagHASHENTRY* CQZHashTable::FindEntry(DWORD hashID, const tagHASHENTRY* probe,
                                      tagHASHENTRY** previous) {
    TableLockScope scope(m_Lock, __builtin_return_address(0));
    tagHASHENTRY* found = FindClosestMatch(hashID, probe, previous);
    if (found && found->dwHashID == hashID && (!probe || Compare(probe, found) == 0)) return found;
    *previous = nullptr;
    return nullptr;
}

tagHASHENTRY* CQZHashTable::FindEntry(DWORD hashID, const tagHASHENTRY* probe) {
    tagHASHENTRY* previous = nullptr;
    return FindEntry(hashID, probe, &previous);
}

tagHASHENTRY* CQZHashTable::Add(tagHASHENTRY* entry) {
    if (!entry || !AddressesBucket(entry->dwHashID)) return nullptr;
    entry->pNext = nullptr;
    TableLockScope scope(m_Lock, __builtin_return_address(0));
    tagHASHENTRY* previous = nullptr;
    tagHASHENTRY* found = FindClosestMatch(entry->dwHashID, entry, &previous);
    if (found && found->dwHashID == entry->dwHashID && Compare(found, entry) == 0) return found;
    tagHASHENTRY*& link = found ? found->pNext : m_pBuckets[BucketOf(entry->dwHashID)];
    entry->pNext = link;
    link = entry;
    return entry;
}

BOOL CQZHashTable::Delete(DWORD hashID, const tagHASHENTRY* probe) {
    tagHASHENTRY* found = nullptr;
    {
        TableLockScope scope(m_Lock, __builtin_return_address(0));
        tagHASHENTRY* previous = nullptr;
        found = FindEntry(hashID, probe, &previous);
        if (!found) return TRUE;
        (previous ? previous->pNext : m_pBuckets[BucketOf(hashID)]) = found->pNext;
    }
    // The entry is ours alone once unlinked; it is released without holding the lock.
    DeleteEntry(found);
    return TRUE;
}

BOOL CQZHashTable::EnumTable(HASHENUMPROC callback, uintptr_t parameter) {
    if (!callback) return FALSE;
    TableLockScope scope(m_Lock, __builtin_return_address(0));
    try {
        for (tagHASHENTRY* head : m_pBuckets) {
            for (tagHASHENTRY* entry = head; entry;) {
                tagHASHENTRY* next = entry->pNext;  // the callback may delete its entry
                if (!callback(entry, parameter)) return FALSE;
                entry = next;
            }
        }
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

void CQZHashTable::ClearTable() {
    tagHASHENTRY* chains[kBuckets];
    {
        TableLockScope scope(m_Lock, __builtin_return_address(0));
        std::memcpy(chains, m_pBuckets, sizeof chains);
        std::memset(m_pBuckets, 0, sizeof m_pBuckets);
    }
    // Detached chains belong to this call alone; their entries are released outside the lock.
    for (tagHASHENTRY* entry : chains) {
        while (entry) {
            tagHASHENTRY* next = entry->pNext;
            try {
                DeleteEntry(entry);
            } catch (...) {
                // A failing release must not stop the others (this runs in destructors too).
            }
            entry = next;
        }
    }
}

BOOL CQZHashTable::LockTable() {
    m_Lock.Enter(__builtin_return_address(0));
    return TRUE;
}

BOOL CQZHashTable::UnlockTable() {
    m_Lock.Leave();
    return TRUE;
}
