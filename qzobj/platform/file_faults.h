// Failure injection for the file service: tests make writes come up short, flushes fail or
// extended attributes vanish, through the same calls the library uses, without patching the
// code under test.
#pragma once

#include <cstdint>

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
void ClearFileFaults();

// Used by the file service. TakeWriteBudget returns how many of `wanted` bytes may be written.
uint32_t TakeWriteBudget(uint32_t wanted);
bool FlushFaultActive();
bool ExtendedAttributesDisabled();

}  // namespace qzo::platform
