// The class directory: 1024 chains sorted by (high word of the hash identifier, GUID bytes),
// the sorted search shared by registration and lookups, and the lock-free lookup by GUID.
#include <cstring>

#include "qzobj/objmodel/registry_internal.h"

namespace qzo::objmodel {

int CompareGuidBytes(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID));
}

bool LinkRecord(CQZRuntimeClass* record) {
    const WORD bucket = BucketOf(record->dwHashID);
    const WORD key = KeyOf(record->dwHashID);
    CQZRuntimeClass* before = FindClosestMatch(&record->guid, bucket, key);
    if (before && KeyOf(before->dwHashID) == key && before->guid == record->guid) return false;
    // The record points at its successor before anyone can reach it.
    StoreNext(record, before ? LoadNext(before) : LoadHead(bucket));
    if (before)
        StoreNext(before, record);
    else
        StoreHead(bucket, record);
    return true;
}

bool UnlinkRecord(CQZRuntimeClass* record) {
    if (!IsDirectoryAddress(record->dwHashID)) return false;
    const WORD bucket = BucketOf(record->dwHashID);
    CQZRuntimeClass* previous = nullptr;
    for (CQZRuntimeClass* at = LoadHead(bucket); at; previous = at, at = LoadNext(at)) {
        if (at != record) continue;
        if (previous)
            StoreNext(previous, LoadNext(record));
        else
            StoreHead(bucket, LoadNext(record));
        return true;
    }
    return false;
}

bool IsLinked(const CQZRuntimeClass* record) {
    if (!IsDirectoryAddress(record->dwHashID)) return false;
    for (CQZRuntimeClass* at = LoadHead(BucketOf(record->dwHashID)); at; at = LoadNext(at))
        if (at == record) return true;
    return false;
}

CQZRuntimeClass* FindClosestMatch(const GUID* guid, WORD bucket, WORD key) {
    if (bucket >= QZRTC_BUCKETS) return nullptr;
    CQZRuntimeClass* previous = nullptr;
    for (CQZRuntimeClass* at = LoadHead(bucket); at; at = LoadNext(at)) {
        const WORD atKey = KeyOf(at->dwHashID);
        if (atKey < key) {
            previous = at;
            continue;
        }
        if (atKey > key) return previous;
        if (!guid) return at;
        const int order = CompareGuidBytes(*guid, at->guid);
        if (order == 0) return at;
        if (order < 0) return previous;
        previous = at;
    }
    return previous;
}

}  // namespace qzo::objmodel

using namespace qzo::objmodel;

CQZRuntimeClass* CQZRuntimeClass::FindClosestMatchPtr(const GUID* guid, WORD bucket, WORD key) {
    return FindClosestMatch(guid, bucket, key);
}

CQZRuntimeClass* CQZRuntimeClass::GetClassPtr(const GUID* guid, DWORD hashID) {
    if (!guid) return nullptr;
    if (!IsDirectoryAddress(hashID)) {
        // Not a directory address: the GUID alone decides, over every chain.
        for (DWORD bucket = 0; bucket < QZRTC_BUCKETS; ++bucket)
            for (CQZRuntimeClass* at = LoadHead(bucket); at; at = LoadNext(at))
                if (at->guid == *guid && !(LoadFlags(at) & QZRTC_HIDDEN)) return at;
        return nullptr;
    }
    CQZRuntimeClass* found = FindClosestMatchPtr(guid, BucketOf(hashID), KeyOf(hashID));
    if (found && found->guid == *guid && KeyOf(found->dwHashID) == KeyOf(hashID) &&
        !(LoadFlags(found) & QZRTC_HIDDEN))
        return found;
    return nullptr;
}

CQZRuntimeClass* CQZRuntimeClass::IsUnique(DWORD hashID) {
    if (!IsDirectoryAddress(hashID)) return nullptr;
    RegistryLock hold;
    const WORD key = KeyOf(hashID);
    CQZRuntimeClass* first = FindClosestMatchPtr(nullptr, BucketOf(hashID), key);
    if (!first || KeyOf(first->dwHashID) != key) return nullptr;
    CQZRuntimeClass* next = LoadNext(first);
    return next && KeyOf(next->dwHashID) == key ? nullptr : first;
}

void CQZRuntimeClass::KickAllClassesOf(HINSTANCE instance) {
    for (DWORD bucket = 0; bucket < QZRTC_BUCKETS; ++bucket) {
        CQZRuntimeClass* previous = nullptr;
        for (CQZRuntimeClass* at = LoadHead(bucket); at; at = LoadNext(at)) {
            if (at->hInstance != instance) {
                previous = at;
                continue;
            }
            if (previous)
                StoreNext(previous, LoadNext(at));
            else
                StoreHead(bucket, LoadNext(at));
        }
    }
}
