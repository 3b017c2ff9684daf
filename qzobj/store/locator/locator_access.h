// The locator's access protocol on an object file: opening it with the sharing mode of the
// requested access while another process or thread holds it, and taking its header lock, each
// polled every millisecond against a time limit counted in elapsed ticks.
#pragma once

#include <functional>

#include "qzobj/store/objfile/locfile.h"
#include "qzobj/store/objfile/object_file_format.h"
#include "qzobj/types.h"

namespace qzo::store {

// Results of an access wait.
inline constexpr DWORD kAccessObtained = 0;
inline constexpr DWORD kAccessFailed = 128;
inline constexpr DWORD kAccessTimeout = 258;
inline constexpr DWORD kAccessRefused = 0xFFFFFFFFu;

// A time-out that never ends.
inline constexpr DWORD kWaitForever = INFINITE;
// The object file header, locked from offset 0 for a commit or a read of the header.
inline constexpr DWORD kHeaderLockLength = object_file_format::kHeaderSize;
// The newest project version this library may write to.
inline constexpr DWORD kHighestWritableProjectVersion = 0x30000;

// Milliseconds as a 32-bit count that wraps (the platform's tick by default).
using TickSource = std::function<DWORD()>;

// A time limit measured as elapsed ticks since construction. The elapsed time is summed from
// the differences between successive readings, so a tick that wraps (every 49.7 days) neither
// cuts a wait short nor stretches it, and kWaitForever never passes.
//
// Thread safety: one object belongs to one thread.
class WaitDeadline {
  public:
    explicit WaitDeadline(DWORD timeout, TickSource ticks = {});

    // Whether the whole time-out has elapsed; never for kWaitForever.
    bool Passed();
    // The time still left: kWaitForever without a limit, 0 once passed.
    DWORD Remaining();

  private:
    void Advance();

    TickSource ticks_;
    DWORD timeout_;
    DWORD lastTick_;
    ULONGLONG elapsed_ = 0;
};

// What a locator asks for when it waits for access to its object's file.
struct AccessRequest {
    DWORD objID = 0xFFFFFFFFu;       // named in the messages
    const WCHAR* path = nullptr;     // the object file; null when the path is unretrievable
    DWORD access = LocFile::kRead;   // LocFile::kRead, kWrite, kEdit combined
    DWORD timeout = 0;               // ms for the open and the header lock together
    bool inDefaultProject = false;   // the object belongs to the working project
    DWORD projectVersion = 0;        // the working project's version
    unsigned writeBackPriority = 0;  // 2 opens writers with write-through
    // For a caller that is no locator: makes the open file its own, false while it holds
    // another file (retried every 1 ms until the deadline); `detach` undoes it when the header
    // lock is not obtained, before the file is closed. Null: the caller takes the file from the
    // result. A locator's own wait attaches the file directly and uses neither.
    std::function<bool(LocFile*)> attach;
    std::function<void(LocFile*)> detach;
    // Called once when the header lock is first found taken (the locator announces the wait).
    std::function<void()> notifyWaiting;
    // The tick source of the deadline; null for the platform's tick.
    TickSource ticks;
};

struct AccessResult {
    DWORD result = kAccessFailed;  // kAccessObtained, kAccessFailed, kAccessTimeout, kAccessRefused
    LocFile* file = nullptr;       // open and header-locked when obtained, else null
};

// Prints that the locator already has its file and answers kAccessObtained.
DWORD AlreadyHasAccess(DWORD objID);

// Refuses writes outside the working project or to a newer project version, checks the path
// and the deletion mark (the read-only attribute), opens the file (writers share reading,
// readers share both; write-through for writers at write-back priority 2), retries sharing
// violations every 1 ms and takes the header lock with the time left; the caller takes the file
// from the result (Locator::WaitForAccess attaches it to the locator before the lock is taken).
// On every failure the file is closed again. Messages print only while debug output is on.
AccessResult WaitForAccess(const AccessRequest& request);

// Takes the header lock [0, kHeaderLockLength), retrying every 1 ms until `timeout` has
// elapsed. The first failure prints the waiting message and calls `notifyWaiting` once.
// FALSE without a file, on an invalid handle, and at the time-out.
BOOL WaitForLock(LocFile* file, DWORD objID, DWORD timeout,
                 const std::function<void()>& notifyWaiting, const TickSource& ticks = {});

}  // namespace qzo::store
