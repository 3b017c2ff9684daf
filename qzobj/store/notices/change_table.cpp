// The change table's buckets: sorted arrays of {object ID, file time} under one reader-writer
// interlock, searched with the library's binary search.
#include "qzobj/store/notices/change_table.h"

#include <new>

#include "qzobj/containers.h"

namespace qzo::store {
namespace {

int CompareObjectIDs(const void* a, const void* b) {
    const DWORD left = static_cast<const ChangeTable::Entry*>(a)->dwObjID;
    const DWORD right = static_cast<const ChangeTable::Entry*>(b)->dwObjID;
    return left < right ? -1 : left > right ? 1 : 0;
}

}  // namespace

ChangeTable::ChangeTable() : buckets_(new Bucket[kBuckets]) {}

ChangeTable::~ChangeTable() = default;

DWORD ChangeTable::PositionIn(const Bucket& bucket, DWORD objID) {
    const Entry key{objID, 0, 0};
    return qzqsearch(&key, bucket.data(), static_cast<DWORD>(bucket.size()), sizeof(Entry),
                     CompareObjectIDs);
}

DWORD ChangeTable::Lookup(DWORD objID, const FILETIME& time) const {
    COSRWRAutoLock read(interlock_);
    const Bucket& bucket = buckets_[BucketOf(objID)];
    const DWORD position = PositionIn(bucket, objID);
    if (position >= bucket.size() || bucket[position].dwObjID != objID) return kNotFound;
    const Entry& entry = bucket[position];
    const bool same =
        entry.dwLowDateTime == time.dwLowDateTime && entry.dwHighDateTime == time.dwHighDateTime;
    return same ? kSameTime : kOtherTime;
}

BOOL ChangeTable::Set(DWORD objID, const FILETIME& time) {
    COSRWWAutoLock write(interlock_);
    Bucket& bucket = buckets_[BucketOf(objID)];
    const DWORD position = PositionIn(bucket, objID);
    if (position < bucket.size() && bucket[position].dwObjID == objID) {
        bucket[position].dwLowDateTime = time.dwLowDateTime;
        bucket[position].dwHighDateTime = time.dwHighDateTime;
        return TRUE;
    }
    try {
        bucket.insert(bucket.begin() + position,
                      Entry{objID, time.dwLowDateTime, time.dwHighDateTime});
    } catch (const std::bad_alloc&) {
        return FALSE;  // insert leaves the vector as it was
    }
    return TRUE;
}

BOOL ChangeTable::Remove(DWORD objID) {
    COSRWWAutoLock write(interlock_);
    Bucket& bucket = buckets_[BucketOf(objID)];
    const DWORD position = PositionIn(bucket, objID);
    if (position >= bucket.size() || bucket[position].dwObjID != objID) return FALSE;
    bucket.erase(bucket.begin() + position);
    if (bucket.empty()) Bucket().swap(bucket);  // the last entry frees the bucket
    return TRUE;
}

void ChangeTable::Clear() {
    COSRWWAutoLock write(interlock_);
    for (DWORD i = 0; i < kBuckets; ++i) Bucket().swap(buckets_[i]);
}

size_t ChangeTable::Count() const {
    COSRWRAutoLock read(interlock_);
    size_t count = 0;
    for (DWORD i = 0; i < kBuckets; ++i) count += buckets_[i].size();
    return count;
}

}  // namespace qzo::store
