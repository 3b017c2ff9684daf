// The working project: switching it (with its generator and the locator told), repairing a
// lost or empty "PRJ.IDS" above the highest existing object, and the project format version.
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/store/locator/locator_link.h"
#include "qzobj/store/project/prjloc_internal.h"
#include "qzobj/uikit.h"

using namespace qzo::store::prjloc;

namespace {

constexpr DWORD kCounterBytes = 4;

const PRJLOCENTRY* LookupEntry(DWORD id) {
    Directory& dir = Dir();
    COSAutoLock lock(dir.cs);
    return FindByIDLocked(id, nullptr);
}

// Only a missing ID file, or one too short to hold the counter, may be written anew: any
// other failure to open it (a peer holding a lock, a full slot table, an unreadable device)
// means a live counter that must not be touched.
bool IDFileNeedsRepair(const WCHAR* folder) {
    const std::u16string path = std::u16string(folder) + u"PRJ.IDS";
    if (FU_TestDirExists(path.c_str())) return false;
    if (!FU_TestFileExists(path.c_str())) return true;
    FU_FILEINFO info{};
    return FU_GetFileInfo(path.c_str(), &info) && info.ullSize < kCounterBytes;
}

bool OpenGenerator(CProjUniID& generator, DWORD id, const WCHAR* folder) {
    const unsigned opened = generator.Open(id);
    if (opened == 0) return true;
    if (opened == 2 || !IDFileNeedsRepair(folder)) return false;
    const DWORD highest = qzo::store::LinkGetMaxExistingID(id);
    if (highest >= 0xFFFFFFFEu) return false;  // no path, or no ID left above the objects
    if (generator.Create(id, highest + 1) != 0) return false;
    return generator.Open(id) == 0;
}

// Ends the working project; the caller holds the work lock.
void EndWorkingProject() {
    Directory& dir = Dir();
    const DWORD old = dir.defHashID;
    if (!IsValidProjectID(old)) return;
    const PRJLOCENTRY* entry = LookupEntry(old);
    if (entry) Notify(entry, PRJLOC_NOTIFY_LEAVING_WORKING, old);
    dir.uidGen.Close();
    dir.defHashID = kNoProject;
    qzo::store::LinkSetDefProjectID(nullptr, kNoProject);
    if (entry) Notify(entry, PRJLOC_NOTIFY_REGISTERED, old);
}

}  // namespace

BOOL PrjLocator::SetWorkingProject(DWORD id) {
    Directory& dir = Dir();
    COSAutoLock work(dir.work);
    EndWorkingProject();
    if (!IsValidProjectID(id)) return TRUE;
    const PRJLOCENTRY* entry = LookupEntry(id);
    if (!entry) return FALSE;
    if (!OpenGenerator(dir.uidGen, id, entry->szPath)) {
        dir.uidGen.Close();
        return FALSE;
    }
    if (!qzo::store::LinkSetDefProjectID(&dir.uidGen, id)) {
        qzo::store::LinkSetDefProjectID(nullptr, kNoProject);
        dir.uidGen.Close();
        return FALSE;
    }
    Notify(entry, PRJLOC_NOTIFY_UNREGISTERING, id);
    dir.defHashID = id;
    Notify(entry, PRJLOC_NOTIFY_BECAME_WORKING, id);
    SetDefPrjVersion();
    return TRUE;
}

BOOL PrjLocator::SetPrjVersion(DWORD id) {
    Directory& dir = Dir();
    PRJLOCENTRY* entry = nullptr;
    {
        COSAutoLock lock(dir.cs);
        entry = FindByIDLocked(id, nullptr);
    }
    if (!entry) return FALSE;
    const DWORD version = GetPrjVersion(id);
    if (version < PRJLOC_VERSION_CURRENT) {
        if (WriteVersionFile(entry->szPath, PRJLOC_VERSION_CURRENT)) {
            COSAutoLock lock(dir.cs);
            entry->dwVersion = PRJLOC_VERSION_CURRENT;
        }
        return TRUE;
    }
    if (version == PRJLOC_VERSION_CURRENT) return TRUE;
    XMessageBox(nullptr,
                u"Project has been edited with a newer version, you will not be able to edit it.",
                u"Version Restriction", MB_OK, nullptr, 0);
    return FALSE;
}

BOOL PrjLocator::SetDefPrjVersion() {
    return SetPrjVersion(GetDefPrjID());
}
