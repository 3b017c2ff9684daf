// The fault guard: hardware faults (invalid addresses, integer division by zero, illegal
// instructions, stack overflow) inside guarded leaf code become a failure result instead of
// killing the process, after the guard's exception filter has looked at them; faults no guard
// takes, and uncaught C++ exceptions, go to the unhandled-exception hook before the process dies.
//
// One permanent handler serves SIGSEGV, SIGBUS, SIGFPE and SIGILL. Each thread keeps a stack of
// guard frames; on a fault the filters are asked innermost first. The first that returns
// EXCEPTION_EXECUTE_HANDLER gets control back in its RunGuarded, which returns false. When none
// does, the unhandled-exception hook runs and the process dies by its signal. Signals sent with
// kill or raise are never treated as faults.
//
// A guarded body must be leaf code: it may not hold a lock or an object with a destructor while
// it can fault, because a handled fault leaves the body without unwinding it.
#pragma once

#include "qzobj/types.h"

namespace qzo::platform {

using ExceptionFilter = LONG (*)(EXCEPTION_POINTERS* pointers, void* context);

// Runs body(arg) under a guard. Returns true when the body finished, false when a fault was
// handled by `filter` (then *faultCode, when given, receives the exception code). A null filter
// handles every fault. A filter answering EXCEPTION_CONTINUE_SEARCH (or anything but
// EXCEPTION_EXECUTE_HANDLER) passes the fault to the next guard out. When the guard is compiled
// out (sanitizer builds) the body runs unguarded.
bool RunGuarded(void (*body)(void*), void* arg, ExceptionFilter filter, void* filterContext,
                DWORD* faultCode = nullptr);

template <class Body>
bool Guarded(Body& body, ExceptionFilter filter, void* filterContext = nullptr,
             DWORD* faultCode = nullptr) {
    return RunGuarded([](void* p) { (*static_cast<Body*>(p))(); }, &body, filter, filterContext,
                      faultCode);
}

// True when faults are caught (false in builds made with QZO_SIGNAL_GUARD off).
bool SignalGuardEnabled();

// Installs the handler; idempotent. Runs at library load, and from the first RunGuarded.
void InstallGuardHandler();

// True while the calling thread runs exception filters or the unhandled-exception hook inside
// the fault handler: code that may run there must not allocate, lock or call non-reentrant
// services then.
bool InFaultHandler();

// Puts the handler back for every fault signal (and the terminate handler, see below) after
// another component replaced it with sigaction or std::set_terminate. The disposition found at
// the first installation stays the "previous" one.
void ReinstallGuardHandler();

// Called for a fault no guard handled, before the process dies. The hook's result is ignored:
// once the hook has run, the process dies by the fault's signal with its default action (the
// faulting instruction runs again). Without a hook the disposition from before the first
// installation applies. The handler also serves std::terminate: an uncaught C++ exception is
// reported to the hook with the code kUncaughtCppExceptionCode (no registers but those of the
// terminate handler), then the previous terminate handler runs, normally abort (SIGABRT).
// Returns the previous hook.
inline constexpr DWORD kUncaughtCppExceptionCode = 0xE0515A43u;
using UnhandledExceptionHook = LONG (*)(EXCEPTION_POINTERS* pointers);
UnhandledExceptionHook SetUnhandledExceptionHook(UnhandledExceptionHook hook);

}  // namespace qzo::platform
