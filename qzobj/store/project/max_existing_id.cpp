// The highest object ID already present in a project folder, read from the names of its object
// files: "Obj/<class>/%08X.qzo" and any "%08X.qzo" below "Recycle/". Repairing a lost ID file
// starts above it.
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/store/locator/locator_link.h"

namespace qzo::store {
namespace {

constexpr DWORD kInvalidObjectID = 0xFFFFFFFFu;

int HexDigit(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

bool IsQzoExtension(const WCHAR* ext) {
    const WCHAR expected[] = u".QZO";
    for (int i = 0; i < 4; ++i) {
        WCHAR c = ext[i];
        if (c >= u'a' && c <= u'z') c = WCHAR(c - 32);
        if (c != expected[i]) return false;
    }
    return ext[4] == 0;
}

// The object ID an entry's name carries: exactly eight hex digits and ".qzo" in any case.
bool ObjectIDOfName(const WCHAR* name, DWORD& id) {
    DWORD value = 0;
    for (int i = 0; i < 8; ++i) {
        int digit = HexDigit(name[i]);
        if (digit < 0) return false;
        value = (value << 4) | DWORD(digit);
    }
    if (!IsQzoExtension(name + 8)) return false;
    id = value;
    return true;
}

BOOL NoteObjectFile(const WCHAR* /*path*/, const WIN32_FIND_DATAW* entry, uintptr_t context) {
    DWORD id = 0;
    DWORD& highest = *reinterpret_cast<DWORD*>(context);
    if (ObjectIDOfName(entry->cFileName, id) && id != kInvalidObjectID && id > highest)
        highest = id;
    return TRUE;
}

BOOL ScanClassFolder(const WCHAR* path, const WIN32_FIND_DATAW* entry, uintptr_t context) {
    if (!(entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return TRUE;
    std::u16string pattern = std::u16string(path) + u"/*.qzo";
    FU_EnumDirectory(&NoteObjectFile, pattern.c_str(), 0, 0, context);
    return TRUE;
}

}  // namespace

DWORD ScanMaxExistingID(const WCHAR* projectFolder) {
    if (!projectFolder) return kInvalidObjectID;
    std::u16string folder(projectFolder);
    if (!folder.empty() && folder.back() != u'/' && folder.back() != u'\\') folder += u'/';
    DWORD highest = 0;
    const uintptr_t context = reinterpret_cast<uintptr_t>(&highest);
    std::u16string classes = folder + u"Obj/*";
    FU_EnumDirectory(&ScanClassFolder, classes.c_str(), FILE_ATTRIBUTE_DIRECTORY, 0, context);
    std::u16string recycled = folder + u"Recycle/*.qzo";
    FU_EnumDirectory(&NoteObjectFile, recycled.c_str(), 0, FU_ENUM_RECURSIVE, context);
    return highest;
}

}  // namespace qzo::store
