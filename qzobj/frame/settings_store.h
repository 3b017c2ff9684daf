// The host's settings store ("QZO.VST" in the Windows directory), bound on first use.
#pragma once

#include <memory>

#include "qzobj/inistore.h"

namespace qzo::frame {

// The store, created on first use; null while it cannot be created (the next call tries again).
// Safe to call from any thread: binding is serialised by a mutex, and the returned reference
// keeps the store alive even while another thread releases it.
std::shared_ptr<CSetFile> AcquireSettingsStore();

// Drops the bound store (process detach; tests between cases). The next use binds it anew.
void ReleaseSettingsStore();

}  // namespace qzo::frame
