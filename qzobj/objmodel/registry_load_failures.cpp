// The load-failure list: names of libraries that failed to load or registered nothing, kept in a
// reserved address range that is committed page by page, so a name is never tried twice.
#include <cstring>

#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/platform/address_range.h"
#include "qzobj/platform/stack.h"
#include "qzobj/platform/text.h"

namespace qzo::objmodel {
namespace {

size_t NameLength(const WCHAR* name) {
    size_t length = 0;
    while (name[length]) ++length;
    return length;
}

WORD ReadWord(const BYTE* at) {
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void WriteWord(BYTE* at, WORD value) {
    std::memcpy(at, &value, sizeof value);
}

// Commits enough of the range for `needed` bytes: up to the next page multiple above it.
bool CommitFor(LoadFailList& list, size_t needed) {
    if (needed <= list.dwSizeCommit) return true;
    const size_t page = platform::PageSize();
    const size_t target = (needed / page + 1) * page;
    if (target > QZRTC_LOADFAIL_RANGE) return false;
    BYTE* fresh = list.pLoadFailList + list.dwSizeCommit;
    if (!platform::CommitAddressRange(fresh, target - list.dwSizeCommit)) return false;
    std::memset(fresh, 0, target - list.dwSizeCommit);
    list.dwSizeCommit = static_cast<DWORD>(target);
    return true;
}

}  // namespace
}  // namespace qzo::objmodel

using namespace qzo::objmodel;

void CQZRuntimeClass::LoadFail_Add(const WCHAR* name) {
    RegistryLock hold;
    LoadFailList& list = Registry().failures;
    if (!list.pLoadFailList || !name || !*name) return;
    const size_t length = NameLength(name);
    // A longer name is no file name of this system, and its size would not fit the u16 field.
    if (length >= MAX_PATH) return;
    const size_t recordSize = 2 * length + 4;
    if (!CommitFor(list, list.dwTail + recordSize + 2)) return;
    BYTE* at = list.pLoadFailList + list.dwTail;
    WriteWord(at, static_cast<WORD>(recordSize));
    std::memcpy(at + 2, name, 2 * length);
    WriteWord(at + 2 + 2 * length, 0);
    list.dwTail += static_cast<DWORD>(recordSize);
    WriteWord(list.pLoadFailList + list.dwTail, 0);
}

BOOL CQZRuntimeClass::LoadFail_Check(const WCHAR* name) {
    if (!name) return FALSE;
    RegistryLock hold;
    const LoadFailList& list = Registry().failures;
    if (!list.pLoadFailList || list.dwTail == 0) return FALSE;
    const std::u16string_view wanted(name);
    for (DWORD offset = 0; offset + 2 <= list.dwTail;) {
        const WORD size = ReadWord(list.pLoadFailList + offset);
        if (size < 4 || offset + size > list.dwTail) break;
        std::u16string recorded((size - 4) / 2, u'\0');
        std::memcpy(recorded.data(), list.pLoadFailList + offset + 2, size - 4);
        if (qzo::text::CompareNoCase(recorded, wanted) == 0) return TRUE;
        offset += size;
    }
    return FALSE;
}
