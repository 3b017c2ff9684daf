// The calling thread's stack: its address range, cached per thread so that fault handlers can
// use it, and a walk of the saved frame-pointer chain that never leaves that range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzo::platform {

struct StackRange {
    uintptr_t low = 0;     // lowest usable address (just above the guard region)
    uintptr_t high = 0;    // one past the highest address
    size_t guardSize = 0;  // bytes of the inaccessible region below `low`
};

// The calling thread's stack range. The first call on a thread asks the system (which may
// allocate) and caches the answer; later calls read the cache. False when it cannot be found.
bool ThreadStackRange(StackRange& range);

// The cached range only: never allocates or locks, so fault handlers may call it. False when
// the thread has not asked for its range yet.
bool CachedThreadStackRange(StackRange& range);

// Follows the chain of saved frame pointers that starts at `frame` and stores up to `capacity`
// return addresses, the one saved in `frame` first. Stops at a frame outside `range`, one that
// is misaligned, or one that does not lie above the previous frame, so a damaged chain ends the
// walk instead of faulting. Returns the number stored. Safe in fault handlers.
size_t WalkFramePointers(const void* frame, const StackRange& range, void** out, size_t capacity);

// The system's page size.
size_t PageSize();

}  // namespace qzo::platform
