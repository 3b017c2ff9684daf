// The critical section of a heap's watch list, made outside the "CSHeap" heap (the heaps are
// what that heap is built from) and held for list updates and dumps only.
#pragma once

class COSCriticalSection;

namespace qzo::memory {

COSCriticalSection* NewWatchLock();
void DeleteWatchLock(COSCriticalSection* lock);

// Holds the lock for a scope.
class WatchLockGuard {
  public:
    explicit WatchLockGuard(COSCriticalSection* lock);
    ~WatchLockGuard();
    WatchLockGuard(const WatchLockGuard&) = delete;
    WatchLockGuard& operator=(const WatchLockGuard&) = delete;

  private:
    COSCriticalSection* lock_;
};

}  // namespace qzo::memory
