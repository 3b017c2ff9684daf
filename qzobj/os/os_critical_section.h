// The platform mutex that lives inside an OS_CRITICAL_SECTION storage block.
#pragma once

#include <new>

#include "qzobj/os.h"
#include "qzobj/platform/sync.h"

namespace qzo::os {

static_assert(sizeof(qzo::platform::RecursiveMutex) <= sizeof(OS_CRITICAL_SECTION) &&
                  alignof(qzo::platform::RecursiveMutex) <= alignof(OS_CRITICAL_SECTION),
              "the platform mutex fits the critical-section storage");

// Constructs a free mutex in the storage.
inline void ConstructMutex(OS_CRITICAL_SECTION& storage, DWORD spinCount = 0) {
    new (storage.bytes) qzo::platform::RecursiveMutex(spinCount);
}

inline qzo::platform::RecursiveMutex& MutexIn(OS_CRITICAL_SECTION& storage) {
    return *std::launder(reinterpret_cast<qzo::platform::RecursiveMutex*>(storage.bytes));
}

inline const qzo::platform::RecursiveMutex& MutexIn(const OS_CRITICAL_SECTION& storage) {
    return *std::launder(reinterpret_cast<const qzo::platform::RecursiveMutex*>(storage.bytes));
}

inline void DestroyMutex(OS_CRITICAL_SECTION& storage) {
    MutexIn(storage).~RecursiveMutex();
}

}  // namespace qzo::os
