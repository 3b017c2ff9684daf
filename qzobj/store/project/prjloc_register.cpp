// Registering and unregistering project folders: creating or completing a folder's layout,
// finding its ID, settling an ID that another folder already holds, and linking the entry.
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/hashid.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/locator/locator_link.h"
#include "qzobj/store/project/prjloc_internal.h"

using namespace qzo::store::prjloc;
namespace platform = qzo::platform;

namespace {

bool SameNameWithoutCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (qzo::text::FoldUpper(a[i]) != qzo::text::FoldUpper(b[i])) return false;
    return true;
}

std::string NativeFolder(const std::u16string& path) {
    std::string native;
    if (!platform::ResolvePath(path, native)) return std::string();
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    return native;
}

// Whether the stored (upper-case) path could name another folder than the caller's: it
// resolves elsewhere, or the project folder has a twin whose name differs only in case.
bool AmbiguousFolder(const std::u16string& folder, const WCHAR* normalised) {
    const std::string native = NativeFolder(folder);
    if (native.empty() || native != NativeFolder(normalised)) return true;
    const size_t slash = native.find_last_of('/');
    if (slash == std::string::npos) return false;
    const std::string parent = slash == 0 ? "/" : native.substr(0, slash);
    const std::string name = native.substr(slash + 1);
    std::vector<platform::DirectoryEntry> entries;
    if (!platform::ListDirectory(parent, entries)) return true;
    int matches = 0;
    for (const auto& entry : entries) matches += SameNameWithoutCase(entry.name, name);
    return matches > 1;
}

// Makes a missing folder (one level, with the caller's spelling).
bool CreateFolder(const std::u16string& folder) {
    std::string native;
    if (!platform::ResolvePath(folder, native)) return false;
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    return platform::CreateDirectory(native);
}

// The folder's project ID from its ID file, or a new ID file. kNoProject on failure.
DWORD SettleProjectID(const std::u16string& folder, DWORD hashID) {
    DWORD id = hashID;
    int found = ReadProjectIDFile(folder, id);
    if (found < 0) return kNoProject;
    if (found > 0) return IsValidProjectID(id) ? id : kNoProject;
    DWORD rebuilt = qzo::store::LinkCheckCrashRebuild(folder.c_str());
    if (rebuilt != kNoProject && IsValidProjectID(rebuilt)) id = rebuilt;
    const std::u16string idFile = ProjectIDFileName(folder, id);
    if (!FU_CreateDirectoryEntry(idFile.c_str())) {
        DebugPrint(3, u"PRJLOC: Couldn't create project ID file at %s\r\n", folder.c_str());
        return kNoProject;
    }
    return id;
}

bool SameIDFile(const std::u16string& folder, const WCHAR* otherFolder, DWORD id) {
    FU_FILEINFO mine{}, theirs{};
    const std::u16string other = ProjectIDFileName(otherFolder, id);
    if (!FU_GetFileInfo(ProjectIDFileName(folder, id).c_str(), &mine) ||
        !FU_GetFileInfo(other.c_str(), &theirs))
        return false;
    return mine.ullDevice == theirs.ullDevice && mine.ullInode == theirs.ullInode;
}

enum class Clash { kNone, kSameFolder, kRefused };

// Settles an ID already registered for another folder: the same ID file reached by two paths
// keeps the entry; otherwise the other folder loses the ID unless it is the working project.
Clash SettleClash(const WCHAR* normalised, const std::u16string& folder, DWORD id) {
    std::u16string otherPath;
    {
        Directory& dir = Dir();
        COSAutoLock lock(dir.cs);
        PRJLOCENTRY* other = FindByIDLocked(id, nullptr);
        if (!other) return Clash::kNone;
        if (FU_PathCompare(other->szPath, normalised) == 0) return Clash::kSameFolder;
        otherPath = other->szPath;
    }
    if (SameIDFile(folder, otherPath.c_str(), id)) return Clash::kSameFolder;
    if (id == PrjLocator::GetDefPrjID()) return Clash::kRefused;
    PrjLocator::UnregisterProject(id);
    return Clash::kNone;
}

PRJLOCENTRY* NewEntry(const WCHAR* normalised, DWORD version) {
    PRJLOCENTRY* entry = AllocateEntry();
    if (!entry) return nullptr;
    size_t length = 0;
    while (normalised[length]) ++length;
    std::memcpy(entry->szPath, normalised, length * sizeof(WCHAR));
    // The display name: the last component (it keeps the trailing '/').
    size_t start = length > 0 ? length - 1 : 0;
    while (start > 0 && entry->szPath[start - 1] != u'/') --start;
    entry->pszName = entry->szPath + start;
    entry->dwVersion = version;
    return entry;
}

}  // namespace

DWORD PrjLocator::RegisterProject(const WCHAR* path, BOOL create) {
    WCHAR normalised[MAX_PATH] = {};
    std::u16string folder;
    if (!NormalisePath(path, normalised) || !FolderSpelling(path, folder)) return kNoProject;
    if (DWORD known = FindProject(normalised); known != kNoProject) return known;

    bool isNew = false;
    if (!FU_TestDirExists(folder.c_str())) {
        if (!create || !CreateFolder(folder)) return kNoProject;
        isNew = true;
    }
    if (AmbiguousFolder(folder, normalised)) return kNoProject;
    const DWORD hashID = GetPathHash(normalised);
    if (hashID == kNoProject || !IsValidProjectID(hashID)) return kNoProject;
    WriteLayout(folder);
    const DWORD id = SettleProjectID(folder, hashID);
    if (id == kNoProject) return kNoProject;

    Clash clash = SettleClash(normalised, folder, id);
    if (clash == Clash::kSameFolder) return id;
    if (clash == Clash::kRefused) return kNoProject;

    DWORD version = PRJLOC_VERSION_CURRENT;
    if (isNew) {
        WriteVersionFile(folder, version);
    } else {
        version = ReadVersionFile(folder);
    }
    PRJLOCENTRY* entry = NewEntry(normalised, version);
    if (!entry) return kNoProject;
    {
        Directory& dir = Dir();
        COSAutoLock lock(dir.cs);
        // Another thread may have registered the folder or the ID meanwhile.
        DWORD raced = kNoProject;
        if (FindByPathLocked(normalised, &raced) || FindByIDLocked(id, nullptr)) {
            FreeEntry(entry);
            return raced == id ? id : kNoProject;
        }
        LinkEntryLocked(entry, id);
    }
    Notify(entry, PRJLOC_NOTIFY_REGISTERED, id);
    DebugPrint(5, u"\rRegistered project %s, ID=%08X\r\n", entry->szPath, id);
    return id;
}

BOOL PrjLocator::UnregisterProject(DWORD id) {
    Directory& dir = Dir();
    COSAutoLock work(dir.work);
    const PRJLOCENTRY* entry = nullptr;
    {
        COSAutoLock lock(dir.cs);
        entry = FindByIDLocked(id, nullptr);
    }
    if (!entry) return FALSE;
    if (id == dir.defHashID) SetWorkingProject(kNoProject);
    Notify(entry, PRJLOC_NOTIFY_UNREGISTERING, id);
    COSAutoLock lock(dir.cs);
    return UnlinkEntryLocked(id, nullptr) ? TRUE : FALSE;
}

BOOL PrjLocator::UnregisterProject(const WCHAR* path) {
    DWORD id = FindProject(path);
    return id == kNoProject ? FALSE : UnregisterProject(id);
}
