// The application's initialisation count, as the library's detach step reports it.
#pragma once

#include "qzobj/types.h"

namespace qzo::frame {

// QZOBJ_AppInitialize calls not yet matched by QZOBJ_AppExit.
DWORD AppInitCount();

// Prints the unbalanced-initialisation warning (debug output on) when the count is not 0; called
// while the library detaches.
void ReportUnbalancedInit();

}  // namespace qzo::frame
