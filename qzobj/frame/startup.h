// Library start-up and shutdown: one ordered table of attach steps, run once when the library is
// loaded, and their detach steps, run in reverse when it is unloaded.
#pragma once

#include "qzobj/types.h"

namespace qzo::frame {

// The module that holds the library, recorded by the first attach step.
HMODULE LibraryInstance();

// Runs the attach steps in order; idempotent. Returns false when a step failed (the steps
// already run have then been detached again).
bool ProcessAttach();
// Runs the detach steps of the attached steps in reverse order; idempotent.
void ProcessDetach();

}  // namespace qzo::frame
