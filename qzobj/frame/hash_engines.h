// The library's two process-wide CRC engines: the hash-identifier engine (a 10-bit main CRC of
// polynomial 0x083 and a 16-bit secondary CRC of polynomial 0x1021) and the GetCRC1615 engine.
// Both are constant-initialised and never change, so any thread may read them without a lock.
#pragma once

#include "qzobj/signal.h"

namespace qzo::frame {

const CDualCRC& HashIDEngine();
const CDualCRC& CRC1615Engine();

}  // namespace qzo::frame
