// Deleting a project folder's content and purging the working project. Deleting refuses
// anything that is not plainly one project: roots, folders without a valid ID file, folders
// holding another registered project; it holds the project lock throughout and removes
// "PRJ.IDS" last.
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/store/locator/locator_link.h"
#include "qzobj/store/project/prjloc_internal.h"

using namespace qzo::store::prjloc;

namespace {

// The checks of a folder about to lose its content as the project `id` (kNoProject when the
// folder is not registered).
bool DeletableProjectFolder(const std::u16string& folder, DWORD id) {
    if (IsRootFolder(folder) || !FU_TestDirExists(folder.c_str())) return false;
    DWORD named = 0;
    if (ReadProjectIDFile(folder, named) != 1 || !IsValidProjectID(named)) return false;
    if (id != kNoProject && named != id) return false;
    return !ContainsRegisteredProject(folder.c_str(), id);
}

// Locks the project, runs the object destruction when asked, removes the content with
// "PRJ.IDS" last. 0, the lock's result, or PRJLOC_BAD_PROJECT.
unsigned DeleteLocked(const std::u16string& folder, DWORD id, DWORD flags) {
    const std::u16string idFile = folder + u"PRJ.IDS";
    CProjUniID generator;
    // Anything named "PRJ.IDS" that will not open as the ID file refuses the delete.
    const bool hasIDs = FU_TestFileExists(idFile.c_str()) || FU_TestDirExists(idFile.c_str());
    if (hasIDs) {
        if (generator.Open(folder.c_str()) != 0) return PRJLOC_BAD_PROJECT;
        if (unsigned users = generator.LockProject(); users != 0) return users;
    }
    if (id != kNoProject) {
        const PRJLOCENTRY* entry = nullptr;
        {
            COSAutoLock lock(Dir().cs);
            entry = FindByIDLocked(id, nullptr);
        }
        if (entry) Notify(entry, PRJLOC_NOTIFY_DELETING, id);
        if (flags != 0) qzo::store::LinkEnumProject(id, flags);
    }
    bool ok = RemoveFolderContent(folder, true);
    generator.Close();
    if (hasIDs) ok = RemoveFolderContent(folder, false) && ok;
    return ok ? 0 : PRJLOC_BAD_PROJECT;
}

}  // namespace

unsigned PrjLocator::DeleteProject(DWORD id, DWORD flags) {
    if (!IsValidProjectID(id)) return PRJLOC_BAD_PROJECT;
    Directory& dir = Dir();
    COSAutoLock work(dir.work);
    const WCHAR* path = GetPrjPath(id);
    if (!path) return PRJLOC_BAD_PROJECT;
    if (id == dir.defHashID) return PRJLOC_IS_WORKING_PROJECT;
    if (flags != 0 && !qzo::store::LinkCanEnumProject()) return PRJLOC_BAD_PROJECT;
    const std::u16string folder = path;
    if (!DeletableProjectFolder(folder, id)) return PRJLOC_BAD_PROJECT;
    const unsigned result = DeleteLocked(folder, id, flags);
    if (result == 0) UnregisterProject(id);
    return result;
}

unsigned PrjLocator::DeleteProject(const WCHAR* path, DWORD flags) {
    std::u16string folder;
    if (!path || !path[0] || !FolderSpelling(path, folder)) return PRJLOC_BAD_PROJECT;
    if (DWORD id = FindProject(path); id != kNoProject) return DeleteProject(id, flags);
    if (flags != 0 && !qzo::store::LinkCanEnumProject()) return PRJLOC_BAD_PROJECT;
    Directory& dir = Dir();
    COSAutoLock work(dir.work);
    // Never registered here: an unregistered folder has no objects the locator knows.
    if (!DeletableProjectFolder(folder, kNoProject)) return PRJLOC_BAD_PROJECT;
    return DeleteLocked(folder, kNoProject, 0);
}

unsigned PrjLocator::PurgeDefProject(PRJPREPAREPROC prepare) {
    Directory& dir = Dir();
    COSAutoLock work(dir.work);
    const DWORD id = dir.defHashID;
    const PRJLOCENTRY* entry = nullptr;
    {
        COSAutoLock lock(dir.cs);
        entry = FindByIDLocked(id, nullptr);
    }
    if (!entry || !qzo::store::LinkCanPurge()) return PRJLOC_BAD_PROJECT;
    if (unsigned users = dir.uidGen.LockProject(); users != 0) return users;
    Notify(entry, PRJLOC_NOTIFY_PURGE_BEGIN, id);
    unsigned result = 0;
    if (prepare) {
        qzo::store::LinkUntagProject(nullptr);
        int prepared = 0;
        try {
            prepared = prepare();
        } catch (...) {
            prepared = 0;
        }
        // Without a completed marking every untagged object would count as unused.
        if (prepared == 0) result = PRJLOC_BAD_PROJECT;
        if (result == 0) qzo::store::LinkDeleteUntaggedProject(nullptr);
    }
    if (result == 0) {
        qzo::store::LinkPurgeProject();
        PurgeRecycleBin();
    }
    Notify(entry, PRJLOC_NOTIFY_PURGE_END, id);
    dir.uidGen.UnlockProject();
    return result;
}
