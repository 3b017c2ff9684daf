// The pathkit functions on single file-system entries: existence tests, creating folders and
// empty files, touching, identity, modification times and their text form.
#include <cstdio>
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/suitelibs/pathkit/pathkit_internal.h"

using qzo::pathkit::Fail;
namespace platform = qzo::platform;

namespace {

// Resolves a path argument and describes what it reaches.
bool StatusOf(const WCHAR* path, std::string& native, platform::FileStatus& status) {
    return platform::ResolvePath(path, native) && platform::GetFileStatus(native, status);
}

}  // namespace

BOOL FU_TestFileExists(const WCHAR* path) {
    std::string native;
    platform::FileStatus status;
    if (!StatusOf(path, native, status)) return FALSE;
    return status.isDirectory ? Fail(ERROR_FILE_NOT_FOUND) : TRUE;
}

BOOL FU_TestDirExists(const WCHAR* path) {
    std::string native;
    platform::FileStatus status;
    if (!StatusOf(path, native, status)) return FALSE;
    return status.isDirectory ? TRUE : Fail(ERROR_DIRECTORY);
}

BOOL FU_CreatePath(const WCHAR* path) {
    std::string native;
    if (!platform::ResolvePath(path, native)) return FALSE;
    return platform::CreateDirectories(native) ? TRUE : FALSE;
}

BOOL FU_CreateDirectoryEntry(const WCHAR* path) {
    std::string native;
    if (!platform::ResolvePath(path, native)) return FALSE;
    return platform::CreateEmptyFile(native) ? TRUE : FALSE;
}

BOOL FU_Touch(const WCHAR* path) {
    std::string native;
    if (!platform::ResolvePath(path, native)) return FALSE;
    const FILETIME now = platform::CurrentFileTime();
    return platform::SetFileTimes(native, nullptr, &now) ? TRUE : FALSE;
}

BOOL FU_GetFileInfo(const WCHAR* path, FU_FILEINFO* info) {
    if (!path || !info) return Fail(ERROR_INVALID_PARAMETER);
    std::string native;
    platform::FileStatus status;
    if (!StatusOf(path, native, status)) return FALSE;
    FU_FILEINFO filled{};
    filled.ullDevice = status.device;
    filled.ullInode = status.inode;
    filled.ullSize = status.size;
    filled.ftLastWrite = status.lastWrite;
    *info = filled;
    return TRUE;
}

BOOL FU_GetLastModifyTime(const WCHAR* path, FILETIME* time) {
    if (!path || !time) return Fail(ERROR_INVALID_PARAMETER);
    std::string native;
    platform::FileStatus status;
    if (!StatusOf(path, native, status)) return FALSE;
    *time = status.lastWrite;
    return TRUE;
}

BOOL FU_TranslateFileTime(const FILETIME* time, WCHAR* text) {
    if (!time || !text) return Fail(ERROR_INVALID_PARAMETER);
    SYSTEMTIME local{};
    if (!platform::FileTimeToLocalTime(*time, local)) return FALSE;
    if (local.wYear > 9999) return Fail(ERROR_INVALID_PARAMETER);  // would not fit 4 digits
    char narrow[32];
    int written =
        std::snprintf(narrow, sizeof narrow, "%04u-%02u-%02u %02u:%02u:%02u", unsigned(local.wYear),
                      unsigned(local.wMonth), unsigned(local.wDay), unsigned(local.wHour),
                      unsigned(local.wMinute), unsigned(local.wSecond));
    if (written != 19) return Fail(ERROR_INVALID_PARAMETER);
    for (int i = 0; i <= written; ++i) text[i] = static_cast<WCHAR>(narrow[i]);
    return TRUE;
}
