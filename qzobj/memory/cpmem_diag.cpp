// Printing of memory-block refusals.
#include "qzobj/memory/cpmem_diag.h"

#include "qzobj/diag.h"
#include "qzobj/uikit.h"

namespace qzo::memory {

void PrintBlockMessage(const WCHAR* text) {
    if (IsDebugOn()) wPrintf(kBlockMessageChannel, kBlockMessageLevel, u"%s", text);
}

}  // namespace qzo::memory
