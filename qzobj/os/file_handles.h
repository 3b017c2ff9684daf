// Pieces shared by the parts of CQZFile: the platform objects behind its handles, the table of
// whole-file lock lengths, and 32-bit saturation of sizes.
#pragma once

#include <cstdint>
#include <vector>

#include "qzobj/file.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/file_mapping.h"

namespace qzo::os {

inline platform::File* PlatformFile(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : static_cast<platform::File*>(handle);
}

inline platform::FileMapping* PlatformMapping(HANDLE handle) {
    return static_cast<platform::FileMapping*>(handle);
}

inline DWORD Saturate32(uint64_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(value);
}

// Rights that include reading or writing, as the platform counts them.
bool AccessIncludesRead(DWORD access);
bool AccessIncludesWrite(DWORD access);

}  // namespace qzo::os

// The length each lock taken with a byte count of 0 covered, so that its unlock releases exactly
// that range even after the file grew or shrank.
struct CQZFile::WholeFileLocks {
    struct Entry {
        DWORD offset;
        DWORD length;
    };
    std::vector<Entry> entries;
};
