// The application root: the folder above the one that holds the library.
#include "qzobj/frame.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/path.h"

namespace {

// Position of the last separator among the first `length` characters, or -1.
long LastSeparator(const WCHAR* path, long length) {
    for (long i = length - 1; i >= 0; --i) {
        if (qzo::platform::IsSeparator(path[i])) return i;
    }
    return -1;
}

}  // namespace

BOOL QZOBJ_GetAppRootDir(WCHAR* buffer) {
    if (!buffer) return FALSE;
    buffer[0] = u'\0';
    WCHAR path[MAX_PATH] = {};
    // A name of MAX_PATH characters or more does not fit and yields 0.
    const DWORD length =
        qzo::platform::GetModuleFileName(qzo::platform::ThisModule(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    // Cut the file name and the separator before it, then everything after the last separator
    // that remains. A library directly in the root has no folder above: the root stands in.
    const long fileSeparator = LastSeparator(path, static_cast<long>(length));
    if (fileSeparator < 0) return FALSE;
    const long folderSeparator = LastSeparator(path, fileSeparator);
    const long keep = folderSeparator >= 0 ? folderSeparator + 1 : 1;
    if (folderSeparator < 0 && !qzo::platform::IsSeparator(path[0])) return FALSE;
    for (long i = 0; i < keep; ++i) buffer[i] = path[i];
    buffer[keep] = u'\0';
    return TRUE;
}
