// Failure injection for the file service: tests make writes come up short, flushes fail,
// extended attributes vanish or the next read or write fail, through the same calls the
// library uses, without patching the code under test.
#pragma once

#include <cstdint>

#include "qzobj/types.h"

namespace qzo::platform {

struct FileFaults {
    // Bytes that writes may still store, process-wide; once spent, writes come up short with
    // ERROR_DISK_FULL. Negative: no limit.
    int64_t writeBudget = -1;
    // Flushes of the system's buffers fail with ERROR_WRITE_FAULT.
    bool failFlush = false;
    // Behave as a file system that keeps no extended attributes.
    bool noExtendedAttributes = false;
};

// Installs faults for every file handle of the process (replacing earlier ones).
void SetFileFaults(const FileFaults& faults);
// Clears the faults above and any pending one-shot fault below.
void ClearFileFaults();

// A one-shot failure of a single transfer, as the device would report it.
enum class IoFault : uint8_t {
    kNone = 0,
    kIoError,  // the device failed (EIO): ERROR_GEN_FAILURE
    kNoSpace,  // the volume is full (ENOSPC): ERROR_DISK_FULL
};

// Arms a fault for the next File::Read (or File::Write) of any handle in the process that
// passes its argument checks; that call moves no bytes and fails with the fault's error, and
// the switch disarms itself. Arming again replaces a fault not yet taken; kNone disarms.
void FailNextRead(IoFault fault);
void FailNextWrite(IoFault fault);

// Used by the file service: the last-error code of a fault, and the pending fault of the
// next read or write (kNone when none is armed), which taking disarms.
DWORD ErrorOfIoFault(IoFault fault);
IoFault TakeReadFault();
IoFault TakeWriteFault();

// Used by the file service. TakeWriteBudget returns how many of `wanted` bytes may be written.
uint32_t TakeWriteBudget(uint32_t wanted);
bool FlushFaultActive();
bool ExtendedAttributesDisabled();

}  // namespace qzo::platform
