// What the kernel-object sources share among themselves: the wait mutex, and creating or
// opening named objects in the handle table.
#pragma once

#include <pthread.h>

#include <functional>
#include <memory>

#include "qzobj/platform/kernel_objects.h"

namespace qzo::platform {

// The process-wide mutex behind KernelWaitLock (never destroyed).
pthread_mutex_t& KernelWaitMutex();

using WaitableFactory = std::function<std::shared_ptr<Waitable>()>;

// Creates an object with `make`, named `name` when it is neither null nor empty. When an object
// of that name and kind exists, returns a new handle to it with last error 183 instead. Fails
// with 6 when the name belongs to another kind, 206 when it is too long, 8 when `make` fails or
// the table is full. On a fresh creation the last error is 0.
KernelHandle CreateNamedWaitable(WaitableKind kind, const WCHAR* name, const WaitableFactory& make);
// A new handle to the existing object of that name and kind; 0 with last error 2 (no such
// name), 6 (another kind), 87 (null or empty name) or 206 (too long).
KernelHandle OpenNamedWaitable(WaitableKind kind, const WCHAR* name);

}  // namespace qzo::platform
