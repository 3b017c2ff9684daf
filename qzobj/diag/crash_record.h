// Internal side of the crash record: what is prepared in ordinary context for the filter that
// runs inside the fault handler, the writing of the record, and the library's attach step.
#pragma once

#include "qzobj/types.h"

namespace qzo::diag {

inline constexpr size_t kRecordPathUnits = 1024;
inline constexpr size_t kBuildUnits = 256;

// Everything the record needs that cannot be found without allocating.
struct CrashRecordSetup {
    WCHAR recordPath[kRecordPathUnits];  // empty: the record goes to the debug output
    WCHAR build[kBuildUnits];            // empty: no build line
    long utcOffsetSeconds;
};

// Fills a fresh setup and publishes it; any thread, serialised internally. The filter reads
// the published copy without a lock: two copies alternate, so a record being written reads a
// complete one.
void PrepareCrashRecord();
const CrashRecordSetup& CurrentCrashSetup();

// Writes the record and shows the message box. Allocates nothing.
void WriteCrashRecord(EXCEPTION_POINTERS* pointers);

// The thread that loaded the library.
void RecordMainThread();
DWORD MainThreadId();

// The library's attach step: records the main thread and makes the process's
// CUnhandledException (installing the filter); the detach step destroys it.
bool AttachCrashRecord();
void DetachCrashRecord();

}  // namespace qzo::diag
