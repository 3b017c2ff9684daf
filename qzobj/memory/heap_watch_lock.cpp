// The watch-list lock of each heap: a COSCriticalSection taken from the global allocator, since
// a section made with its own new would come from "CSHeap", itself a CHeap.
#include "qzobj/memory/heap_watch_lock.h"

#include <new>

#include "qzobj/os.h"

namespace qzo::memory {

COSCriticalSection* NewWatchLock() {
    return ::new COSCriticalSection();
}

void DeleteWatchLock(COSCriticalSection* lock) {
    ::delete lock;
}

WatchLockGuard::WatchLockGuard(COSCriticalSection* lock) : lock_(lock) {
    lock_->Enter(__builtin_return_address(0));
}

WatchLockGuard::~WatchLockGuard() {
    lock_->Leave();
}

}  // namespace qzo::memory
