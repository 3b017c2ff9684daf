// The locator's process-wide state (working project, ID generator, write-back priority, copy
// mode, read-write trace range, state-notify callbacks, the lock that attaches files, the change
// notices and the performance counters) as the library's locator sources use it.
#pragma once

#include <cstdint>

#include "qzobj/locator.h"
#include "qzobj/os.h"
#include "qzobj/perf.h"
#include "qzobj/store/notices/change_detection.h"

namespace qzo::store {

// The locator's twelve performance counters, in their report order.
enum class LocatorCounter {
    kSnoop,
    kCreate,
    kRestore,
    kCommit,
    kLoadMem,
    kReadMem,
    kWaitAccess,
    kCheckClass,
    kReadOFH,
    kReadHist,
    kRelease,
    kReconstruct,
    kCount
};

// Thread safety: every member may be called from any thread. SetDefProject runs under the
// working project's lock; the working project's ID, its generator and the tuning values are
// atomics that readers load without a lock. The callback list has a re-entrant lock of its own,
// so a callback may register or unregister callbacks.
struct LocatorCore {
    // The working project's ID (LOCATION_NO_PROJID when none) and generator (may be null).
    static DWORD DefProjID();
    static CProjUniID* UIDGen();
    // Makes `projectID` the working project: nothing when it already is; otherwise keeps the
    // generator, empties the change table, closes the mailslot and opens "LocMail%08X" for a
    // project with a known path. TRUE.
    static BOOL SetDefProject(CProjUniID* generator, DWORD projectID);

    static unsigned WritebackPriority();
    // FALSE, changing nothing, above 2.
    static BOOL SetWritebackPriority(unsigned priority);
    static unsigned CopyMode();
    // Sets the copy mode and returns the previous one.
    static unsigned ExchangeCopyMode(unsigned mode);
    static void RWWatchRange(DWORD& min, DWORD& max);
    static void SetRWWatchRange(DWORD min, DWORD max);

    // The change table and project mailslot of the working project.
    static ChangeNotices Notices();

    // Serialises attaching an open file to a locator.
    static COSCriticalSection& AttachLock();

    // Calls the LocatorNotifies callbacks with (pointer, code, value).
    static void NotifyState(const void* pointer, DWORD code, uintptr_t value);
    static DWORD AddStateNotify(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2);
    static BOOL RemoveStateNotify(DWORD handle);

    static CBasePerfItem& Counter(LocatorCounter counter);
    static const char* CounterName(LocatorCounter counter);

    // The path of `projectID`'s folder (ending in '/'), or null when the project is unknown.
    static const WCHAR* ProjectPath(DWORD projectID);

    // Library attach: makes the counters and registers SetDefProjectID in the project locator's
    // link table (keeping the table's other entries). Detach: prints the counters after
    // "\rLocator::Performance\r\n" (debug output on), closes the project mailslot and empties
    // the change table (a later SetDefProjectID, say from the project directory's own detach,
    // still works).
    static bool Attach();
    static void Detach();
};

// Times one operation under a locator counter from construction to destruction.
class LocatorTimer {
  public:
    explicit LocatorTimer(LocatorCounter counter)
        : counter_(counter), start_(CBasePerfItem::GetCount()) {}
    ~LocatorTimer() { LocatorCore::Counter(counter_).Lapse(start_); }
    LocatorTimer(const LocatorTimer&) = delete;
    LocatorTimer& operator=(const LocatorTimer&) = delete;

  private:
    LocatorCounter counter_;
    ULONGLONG start_;
};

}  // namespace qzo::store
