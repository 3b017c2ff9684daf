// A constant added to every tick count the platform reports, so that tests can move the 32-bit
// tick close to its wrap and watch time-outs cross it.
#pragma once

#include "qzobj/types.h"

namespace qzo::platform {

// The offset GetTickCount adds to the monotonic milliseconds (0 unless a test set one). The
// sum wraps as the tick count itself does. Safe to call from any thread.
DWORD TickOffset();
void SetTickOffset(DWORD offset);

}  // namespace qzo::platform
