// GetPathHash: the identifier of a project path, or "no identifier" for a path too short to name
// a folder once normalised.
#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/guard.h"

namespace {

LONG Filter(EXCEPTION_POINTERS* pointers, void*) {
    return AnalyseException(pointers);
}

// Copies at most MAX_PATH - 1 units of the caller's path, terminated, inside the fault guard.
bool CopyPathPrefix(const WCHAR* path, WCHAR (&copy)[MAX_PATH]) {
    auto body = [&] {
        size_t n = 0;
        while (n < MAX_PATH - 1 && path[n] != 0) {
            copy[n] = path[n];
            ++n;
        }
        copy[n] = 0;
    };
    return qzo::platform::Guarded(body, &Filter);
}

size_t Length(const WCHAR* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

}  // namespace

DWORD GetPathHash(const WCHAR* path) {
    if (!path) return QZO_HASHID_UNREADABLE;
    WCHAR copy[MAX_PATH];
    if (!CopyPathPrefix(path, copy)) return QZO_HASHID_UNREADABLE;
    // With separator 0 normalising never lengthens the path; if it fails, the copy is unchanged.
    FU_FormatPath(copy, 0);
    if (Length(copy) < 2) return QZO_NO_HASHID;
    return GetHashIDTW(path);
}
