// The change table: the last-write time of each object file of the working project as this
// process last saw or wrote it, so that change detection can answer without touching the file.
#pragma once

#include <memory>
#include <vector>

#include "qzobj/os.h"
#include "qzobj/types.h"

namespace qzo::store {

// 4096 buckets chosen by the low 12 bits of the object ID, each an array of entries sorted by
// object ID.
//
// Thread safety: every member may be called from any thread. Lookup and Count take the read side
// of the table's one reader-writer interlock, Set, Remove and Clear its write side; readers of
// different buckets and of one bucket run together, a writer runs alone. The interlock admits at
// most COSRWInterlock::kMaxReaders reading threads at a time (further readers wait).
class ChangeTable {
  public:
    static constexpr DWORD kBuckets = 4096;

    // Results of Lookup.
    static constexpr DWORD kSameTime = 0;
    static constexpr DWORD kOtherTime = 1;
    static constexpr DWORD kNotFound = 2;

    // One entry as the table holds it: 12 bytes.
    struct Entry {
        DWORD dwObjID;
        DWORD dwLowDateTime;
        DWORD dwHighDateTime;
    };
    static_assert(sizeof(Entry) == 12, "a change-table entry is three words");

    ChangeTable();
    ~ChangeTable();
    ChangeTable(const ChangeTable&) = delete;
    ChangeTable& operator=(const ChangeTable&) = delete;

    // kNotFound when the object is not in the table, kSameTime when its stored time equals
    // `time`, kOtherTime when it differs.
    DWORD Lookup(DWORD objID, const FILETIME& time) const;
    // Stores the time of an object, replacing the one it had. FALSE only when memory ran out
    // (the table is then unchanged).
    BOOL Set(DWORD objID, const FILETIME& time);
    // Forgets an object; FALSE when it was not in the table. A bucket's last entry takes its
    // memory with it.
    BOOL Remove(DWORD objID);
    // Forgets every object and frees every bucket.
    void Clear();
    // The number of objects in the table.
    size_t Count() const;

  private:
    using Bucket = std::vector<Entry>;

    static DWORD BucketOf(DWORD objID) { return objID & (kBuckets - 1); }
    // The position of `objID` in its sorted bucket, or where it would go.
    static DWORD PositionIn(const Bucket& bucket, DWORD objID);

    mutable COSRWInterlock interlock_;   // guards every bucket
    std::unique_ptr<Bucket[]> buckets_;  // kBuckets of them, each sorted by object ID
};

}  // namespace qzo::store
