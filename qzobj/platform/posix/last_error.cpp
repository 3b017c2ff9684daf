// The thread's last-error value and the errno mapping.
#include "qzobj/platform/last_error.h"

#include <cerrno>

namespace qzo::platform {
namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

void SetLastError(DWORD error) { t_lastError = error; }
DWORD GetLastError() { return t_lastError; }

DWORD ErrorFromErrno(int error, bool parentMissing) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return parentMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EEXIST: return ERROR_FILE_EXISTS;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case EBADF: return ERROR_INVALID_HANDLE;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EAGAIN: return ERROR_LOCK_VIOLATION;
        case EBUSY: return ERROR_SHARING_VIOLATION;
        case ENOTSUP: return ERROR_NOT_SUPPORTED;
        case EIO: return ERROR_GEN_FAILURE;
        default: return ERROR_GEN_FAILURE;
    }
}

DWORD SetLastErrorFromErrno(int error, bool parentMissing) {
    DWORD code = ErrorFromErrno(error, parentMissing);
    SetLastError(code);
    return code;
}

}  // namespace qzo::platform
