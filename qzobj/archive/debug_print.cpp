// The store's debug output gate.
#include "qzobj/archive/debug_print.h"

#include <cstdarg>

#include "qzobj/diag.h"
#include "qzobj/uikit.h"

namespace qzo::store {

void DebugPrint(int level, const WCHAR* format, ...) {
    if (!IsDebugOn()) return;
    va_list args;
    va_start(args, format);
    vwPrintf(kStoreDebugChannel, level, format, args);
    va_end(args);
}

}  // namespace qzo::store
