// Debug messages of the object store: printed on the store's debug channel, and only while
// debug output is switched on.
#pragma once

#include "qzobj/types.h"

namespace qzo::store {

// The debug channel every store message goes to.
inline constexpr int kStoreDebugChannel = 3;

// Formats like wPrintf on the store's channel at `level`; nothing while debug output is off.
void DebugPrint(int level, const WCHAR* format, ...);

}  // namespace qzo::store
