// The class registry's process-wide state and the helpers its source files share.
#pragma once

#include <atomic>

#include "qzobj/objmodel.h"
#include "qzobj/os.h"

namespace qzo::objmodel {

// The load-failure list: a reserved range of QZRTC_LOADFAIL_RANGE bytes, committed as it grows.
// Records: u16 record size (2 + name bytes + 2), the UTF-16 name, a terminating null; a u16 0
// follows the last record. Guarded by the registry lock.
struct LoadFailList {
    BYTE* pLoadFailList = nullptr;
    DWORD dwSizeCommit = 0;
    DWORD dwTail = 0;
};

// The directory and everything else the registry keeps. Created on first use and never
// destroyed. The lock guards every member; bucket heads are also read without it (acquire) by
// GetClassPtr, so they are written with release. The count and sequence are atomics only so
// that GetClassCount may read them without the lock.
struct RegistryState {
    CQZRuntimeClass* buckets[QZRTC_BUCKETS] = {};
    std::atomic<DWORD> count{0};      // records in the directory
    std::atomic<DWORD> nextOrder{0};  // next dwOrder; never goes back (until Init)
    COSCriticalSection lock;
    WCHAR szWorkPath[MAX_PATH] = {};
    LoadFailList failures;
};

RegistryState& Registry();

// Holds the registry lock for a scope; the caller's return address names the entry.
class RegistryLock {
  public:
    RegistryLock();
    ~RegistryLock();
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
};

// Atomic views of the fields lock-free readers look at.
inline CQZRuntimeClass* LoadHead(DWORD bucket) {
    return std::atomic_ref(Registry().buckets[bucket]).load(std::memory_order_acquire);
}
inline void StoreHead(DWORD bucket, CQZRuntimeClass* record) {
    std::atomic_ref(Registry().buckets[bucket]).store(record, std::memory_order_release);
}
inline CQZRuntimeClass* LoadNext(const CQZRuntimeClass* record) {
    return std::atomic_ref(const_cast<CQZRuntimeClass*&>(record->pNext))
        .load(std::memory_order_acquire);
}
inline void StoreNext(CQZRuntimeClass* record, CQZRuntimeClass* next) {
    std::atomic_ref(record->pNext).store(next, std::memory_order_release);
}
inline DWORD LoadFlags(const CQZRuntimeClass* record) {
    return std::atomic_ref(const_cast<DWORD&>(record->dwFlags)).load(std::memory_order_acquire);
}
inline void StoreFlags(CQZRuntimeClass* record, DWORD flags) {
    std::atomic_ref(record->dwFlags).store(flags, std::memory_order_release);
}
inline DWORD LoadStatus(const CQZRuntimeClass* record) {
    return std::atomic_ref(const_cast<DWORD&>(record->dwStatus)).load(std::memory_order_acquire);
}
inline void StoreStatus(CQZRuntimeClass* record, DWORD status) {
    std::atomic_ref(record->dwStatus).store(status, std::memory_order_release);
}

inline WORD BucketOf(DWORD hashID) {
    return static_cast<WORD>(hashID & 0xFFFF);
}
inline WORD KeyOf(DWORD hashID) {
    return static_cast<WORD>(hashID >> 16);
}
inline bool IsDirectoryAddress(DWORD hashID) {
    return (hashID & 0xFC00) == 0;
}

// Orders (key, GUID bytes in memory order).
int CompareGuidBytes(const GUID& a, const GUID& b);

// The exact match of (key, GUID) in a bucket, or the last record that sorts before it (the
// first record of the key when `guid` is null). Safe without the lock.
CQZRuntimeClass* FindClosestMatch(const GUID* guid, WORD bucket, WORD key);

// Links a record into its bucket at its sort position; false (nothing changed) when a record
// with the same key and GUID is there. Lock held.
bool LinkRecord(CQZRuntimeClass* record);
// Takes a record out of its bucket; false when it is not there. The record keeps its own pNext,
// so a reader standing on it walks on. Lock held.
bool UnlinkRecord(CQZRuntimeClass* record);
// True when this very record is in the directory. Lock held.
bool IsLinked(const CQZRuntimeClass* record);

// Prints on channel 3 while debug output is on.
void Report(int level, const WCHAR* format, ...);

// Runs a control procedure, mapping any exception to `failed` (and *faulted = true).
DWORD RunCtrlProc(PFNQZCLASSCTRLPROC proc, DWORD code, DWORD parameter, bool* faulted);

}  // namespace qzo::objmodel
