// The calling thread's last-error value, in Windows error codes, and the mapping from errno.
#pragma once

#include "qzobj/types.h"

namespace qzo::platform {

void SetLastError(DWORD error);
DWORD GetLastError();

// Windows code for an errno value. ENOENT gives ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND
// when `parentMissing` says a folder above the name does not exist.
DWORD ErrorFromErrno(int error, bool parentMissing = false);

// Sets the last error from errno (see ErrorFromErrno) and returns it.
DWORD SetLastErrorFromErrno(int error, bool parentMissing = false);

}  // namespace qzo::platform
