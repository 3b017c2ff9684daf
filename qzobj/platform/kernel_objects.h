// The kernel-object service: a process-wide table of waitable objects reached through 32-bit
// handles, events and semaphores, and waits on one or several objects with time-outs.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "qzobj/types.h"

namespace qzo::platform {

// A handle to a kernel object: a table slot with generation bits, 0 for none. Closing a handle
// advances its slot's generation, so a stale handle, a forged one or one of another kind fails
// with ERROR_INVALID_HANDLE instead of reaching whatever object later takes the slot.
using KernelHandle = DWORD;

inline constexpr DWORD kMaximumWaitObjects = 64;
inline constexpr DWORD kWaitObject0 = 0;       // + index of the object that satisfied the wait
inline constexpr DWORD kWaitAbandoned0 = 128;  // + index of an abandoned object
inline constexpr DWORD kWaitTimeout = 258;
inline constexpr DWORD kWaitFailed = 0xFFFFFFFFu;  // the last error says why
inline constexpr DWORD kErrorTooManyPosts = 298;   // a semaphore released past its maximum
// Object names are at most this many characters long; longer ones fail with 206.
inline constexpr size_t kMaximumObjectName = MAX_PATH;

// The kinds of waitable objects. Operations of one kind refuse handles of another.
enum class WaitableKind : uint8_t { Event = 1, Semaphore, Thread, ChangeNotification };

// The library's HANDLE fields carry kernel handles as pointer-sized values.
inline HANDLE ToHandle(KernelHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}
// 0 (no handle) for a value that cannot be a kernel handle.
inline KernelHandle FromHandle(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    return value > 0xFFFFFFFFu ? 0 : static_cast<KernelHandle>(value);
}

struct KernelWaiter;

// Holds the process-wide wait mutex for a scope. Every waitable's signal state is read and
// changed only under it, which is what makes a wait on several objects atomic. Code holding it
// must not block, take the handle table's lock or run callbacks.
class KernelWaitLock {
  public:
    KernelWaitLock();
    ~KernelWaitLock();
    KernelWaitLock(const KernelWaitLock&) = delete;
    KernelWaitLock& operator=(const KernelWaitLock&) = delete;
};

// A waitable object: the interface each kind (event, semaphore, thread, change notification)
// implements. Objects are shared: the handle table and each wait in progress hold a reference,
// so closing the last handle during a wait is safe.
//
// Thread safety: IsSignalled and TakeSignal are called only with the wait lock held, and so is
// ReleaseWaiters; a kind's own state must be guarded by the wait lock as well. The kind is
// immutable. The destructor runs in whichever thread drops the last reference, possibly while
// the handle table's lock is held, so it must take neither that lock nor the wait lock.
class Waitable {
  public:
    explicit Waitable(WaitableKind kind) : kind_(kind) {}
    virtual ~Waitable();
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;

    WaitableKind Kind() const { return kind_; }

    // Whether a wait on this object would be satisfied now.
    virtual bool IsSignalled() const = 0;
    // Takes the signal for a satisfied wait (an auto-reset event resets, a semaphore counts
    // down). Returns true when the object was abandoned, so the wait reports 128 + index.
    virtual bool TakeSignal() { return false; }

  protected:
    // Call after the object became signalled, with the wait lock held: hands the signal to the
    // threads waiting on it, in the order they began to wait, for as long as it stays signalled.
    void ReleaseWaiters();

  private:
    friend struct WaitEngine;
    const WaitableKind kind_;
    std::vector<KernelWaiter*> waiters_;  // waits in progress on this object, oldest first
};

// ---- The handle table ----

// Puts an object into the table. Returns its handle, or 0 with last error 8 when the object is
// null or the table is full.
KernelHandle InsertWaitable(std::shared_ptr<Waitable> object);
// The object behind a handle when it is open and of the given kind; else null, last error 6.
std::shared_ptr<Waitable> ReferenceWaitable(KernelHandle handle, WaitableKind kind);
// The object behind an open handle of any kind; else null, last error 6.
std::shared_ptr<Waitable> ReferenceWaitable(KernelHandle handle);
// Closes a handle. False with last error 6 when it is not open.
bool CloseKernelHandle(KernelHandle handle);
// A second handle to the same object, or 0 with last error 6 (or 8).
KernelHandle DuplicateKernelHandle(KernelHandle handle);
// Handles open in this process (for leak checks).
DWORD OpenKernelHandleCount();

// ---- Events ----
// Names are private to the process, compared exactly, and name one object of any kind at a
// time; an object loses its name when its last handle closes. A null or empty name makes an
// unnamed object.

// Creates an event. When one of that name exists, returns a new handle to it with last error
// 183 (and ignores the arguments); a name held by another kind fails with 6, an over-long one
// with 206. On success without an existing object the last error is 0.
KernelHandle CreateEvent(bool manualReset, bool initiallySet, const WCHAR* name);
// Opens an existing event by name, with full rights. 0 with last error 2 when there is none,
// 6 when the name belongs to another kind, 87 for a null or empty name.
KernelHandle OpenEvent(const WCHAR* name);
// Set: signalled until a wait takes it (auto-reset) or until Reset (manual-reset).
// Pulse: satisfies the waits in progress that it can (one for auto-reset, all for
// manual-reset) and leaves the event not signalled; later waits do not see it.
bool SetEvent(KernelHandle event);
bool ResetEvent(KernelHandle event);
bool PulseEvent(KernelHandle event);

// ---- Semaphores ----

// Creates a semaphore with 0 <= initial <= maximum and maximum > 0 (else last error 87).
// Existing names behave as for CreateEvent.
KernelHandle CreateSemaphore(LONG initialCount, LONG maximumCount, const WCHAR* name);
KernelHandle OpenSemaphore(const WCHAR* name);
// Adds `count` (> 0, else 87) units; past the maximum fails with 298 and changes nothing. The
// count before the release goes to *previousCount (when not null) on success.
bool ReleaseSemaphore(KernelHandle semaphore, LONG count, LONG* previousCount);

// ---- Waits ----
// A time-out is in milliseconds; INFINITE never ends, 0 only tests. Results: 0 + index of the
// object that satisfied the wait, 128 + index when it was abandoned, 258 on time-out, or
// 0xFFFFFFFF with the last error set (6 for a bad handle, 87 for a bad count or, when waiting
// for all, an object given twice). Signals that interrupt the wait do not end it.

DWORD WaitForSingleObject(KernelHandle handle, DWORD milliseconds);
// Waiting for any: the lowest index among the signalled objects wins and only that object's
// signal is taken. Waiting for all: the signals are taken together, at one instant, or not at
// all; an object that is signalled while others are not keeps its signal for other waiters.
DWORD WaitForMultipleObjects(DWORD count, const KernelHandle* handles, bool waitAll,
                             DWORD milliseconds);

// Threads whose wait on the object is in progress and not yet satisfied (for diagnostics and
// tests); 0 with last error 6 for a bad handle.
DWORD WaitingThreadCount(KernelHandle handle);

}  // namespace qzo::platform
