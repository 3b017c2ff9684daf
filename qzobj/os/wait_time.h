// Time-out arithmetic on the wrapping 32-bit tick count: how long a wait that began at `start`
// has left. Every polling or repeated wait of the library measures its time-out this way.
#pragma once

#include "qzobj/types.h"

namespace qzo::os {

// True once `timeout` ms have passed since `start`. The difference now - start is exact across
// the tick count's wrap (for waits shorter than 49 days); INFINITE never passes.
inline bool TimeoutPassed(DWORD timeout, DWORD start, DWORD now) {
    return timeout != INFINITE && now - start >= timeout;
}

// The part of `timeout` left at `now`: INFINITE stays INFINITE, 0 once it has passed.
inline DWORD RemainingTimeout(DWORD timeout, DWORD start, DWORD now) {
    if (timeout == INFINITE) return INFINITE;
    const DWORD elapsed = now - start;
    return elapsed >= timeout ? 0 : timeout - elapsed;
}

}  // namespace qzo::os
