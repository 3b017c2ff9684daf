// The heritage record: filling it from a class record, and reading it back with the marks on the
// identifier and GUID undone and the library path bounded by the record.
#include "qzobj/heritage.h"

#include <cstring>

#include "qzobj/hashid.h"
#include "qzobj/objmodel.h"

namespace {

// Units before the terminator, or OBJHERITAGE_PATH_UNITS when the path is not terminated.
unsigned StoredPathLength(const WCHAR (&path)[OBJHERITAGE_PATH_UNITS]) {
    unsigned length = 0;
    while (length < OBJHERITAGE_PATH_UNITS && path[length] != 0) ++length;
    return length;
}

// Where the 'U' goes: before the last '.' of the file name, or at the end without one.
unsigned ExtensionStart(const WCHAR* path, unsigned length) {
    for (unsigned i = length; i > 0; --i) {
        const WCHAR unit = path[i - 1];
        if (unit == u'/' || unit == u'\\' || unit == u':') break;
        if (unit == u'.') return i - 1;
    }
    return length;
}

}  // namespace

void tagOBJHERITAGE::Init() {
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    cbSize = OBJHERITAGE_SIZE;
    dwHashID = OBJHERITAGE_MARK;
}

void tagOBJHERITAGE::Set(const CQZRuntimeClass* record) {
    Init();
    if (record == nullptr) return;
    dwHashID = record->dwHashID | OBJHERITAGE_MARK;
    guid = record->guid;
    guid.Data1 ^= OBJHERITAGE_MARK;
    dwFlags = record->dwFlags;
    // The class record holds a terminated path of at most 259 units; the bound keeps a damaged
    // one from running past the record all the same.
    for (unsigned i = 0; i + 1 < OBJHERITAGE_PATH_UNITS && record->szDLLPath[i] != 0; ++i) {
        szDLLPath[i] = record->szDLLPath[i];
    }
}

BOOL tagOBJHERITAGE::GetDLLPath(WCHAR* buffer) const {
    return GetDLLPath(buffer, OBJHERITAGE_DLLPATH_BUFFER);
}

BOOL tagOBJHERITAGE::GetDLLPath(WCHAR* buffer, unsigned size) const {
    if (buffer == nullptr) return FALSE;
    if (size > 0) buffer[0] = 0;
    const unsigned length = StoredPathLength(szDLLPath);
    if (length == 0 || length == OBJHERITAGE_PATH_UNITS) return FALSE;
    const bool insertU = (dwFlags & QZRTC_RECORDEDPATH) == 0;
    const unsigned needed = length + (insertU ? 1u : 0u) + 1u;
    if (size < needed) return FALSE;
    const unsigned split = insertU ? ExtensionStart(szDLLPath, length) : length;
    unsigned out = 0;
    for (unsigned i = 0; i < split; ++i) buffer[out++] = szDLLPath[i];
    if (insertU) buffer[out++] = u'U';
    for (unsigned i = split; i < length; ++i) buffer[out++] = szDLLPath[i];
    buffer[out] = 0;
    return TRUE;
}

BOOL tagOBJHERITAGE::IsEmpty() const {
    return dwHashID == OBJHERITAGE_MARK;
}

BOOL tagOBJHERITAGE::IsWellFormed() const {
    return cbSize == OBJHERITAGE_SIZE && StoredPathLength(szDLLPath) < OBJHERITAGE_PATH_UNITS;
}

DWORD tagOBJHERITAGE::GetClassHashID() const {
    if (IsEmpty()) return QZO_NO_HASHID;
    return dwHashID & ~OBJHERITAGE_MARK;
}

GUID tagOBJHERITAGE::GetClassGUID() const {
    GUID unmarked = guid;
    unmarked.Data1 ^= dwHashID & OBJHERITAGE_MARK;
    return unmarked;
}
