// Copying the working project into another folder. Everything that is not plainly a fresh or
// project folder outside the working project is refused before anything is touched; a project
// destination is locked like a delete would lock it, and stays locked during the copy.
#include <string>
#include <vector>

#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/path_relation.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/project/prjloc_internal.h"

using namespace qzo::store::prjloc;
namespace platform = qzo::platform;

namespace {

// The destination's checks: it must lie outside the working project, hold no registered
// project, and be missing, empty, or a project folder.
bool DestinationAllowed(const std::u16string& destination, const std::u16string& source) {
    if (IsRootFolder(destination)) return false;
    switch (platform::RelatePaths(destination.c_str(), source.c_str())) {
        case platform::PathRelation::kUnrelated:
            break;
        case platform::PathRelation::kSame:
            DebugPrint(3, u"PrjLocator::CopyProject: Can't copy to myself...");
            return false;
        default:
            return false;  // inside the project, containing it, or not resolvable
    }
    if (ContainsRegisteredProject(destination.c_str(), kNoProject)) return false;
    std::u16string bare = destination;
    while (bare.size() > 1 && bare.back() == u'/') bare.pop_back();
    if (FU_TestFileExists(bare.c_str())) return false;  // a file stands there
    if (!HasEntries(destination)) return true;
    DWORD id = 0;
    return ReadProjectIDFile(destination, id) == 1 && IsValidProjectID(id);
}

// The project's own files keep their names whatever the folder is called.
bool IsLayoutFile(const std::string& name) {
    std::string upper = name;
    for (char& c : upper) c = qzo::text::FoldUpper(c);
    static const std::string kSuffix = ".PROJECTID";
    if (upper.size() > kSuffix.size() &&
        upper.compare(upper.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0)
        return true;
    return upper == "README.TXT" || upper == "DESKTOP.INI" || upper == "VERSION.INI" ||
           upper == "PRJ.IDS";
}

// Renames the destination's top-level files whose names begin with the source folder's name so
// that they begin with the destination's; never over an existing name.
bool RenameNamedFiles(const std::u16string& destination, const std::u16string& sourceName,
                      const std::u16string& destinationName) {
    std::string native;
    std::vector<platform::DirectoryEntry> entries;
    if (sourceName.empty() || !platform::ResolvePath(destination, native)) return false;
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    if (!platform::ListDirectory(native, entries)) return false;
    bool ok = true;
    for (const auto& entry : entries) {
        if (entry.isDirectory || IsLayoutFile(entry.name)) continue;
        const std::u16string name = qzo::text::ToUtf16(entry.name);
        if (name.size() < sourceName.size()) continue;
        bool matches = true;
        for (size_t i = 0; i < sourceName.size() && matches; ++i)
            matches = qzo::text::FoldUpper(name[i]) == qzo::text::FoldUpper(sourceName[i]);
        if (!matches) continue;
        const std::u16string renamed = destinationName + name.substr(sourceName.size());
        ok = platform::MoveFileUnlessOpen((destination + name).c_str(),
                                          (destination + renamed).c_str()) &&
             ok;
    }
    return ok;
}

// The last component of a folder spelled with a trailing '/'.
std::u16string LastComponent(const std::u16string& folder) {
    size_t end = folder.size();
    while (end > 0 && folder[end - 1] == u'/') --end;
    size_t start = end;
    while (start > 0 && folder[start - 1] != u'/') --start;
    return folder.substr(start, end - start);
}

// Locks a project destination as a delete would: 0 when it is free (or no project), else the
// lock's result, or PRJLOC_BAD_PROJECT when its existing "PRJ.IDS" will not open.
unsigned LockDestination(CProjUniID& generator, const std::u16string& destination, bool& locked) {
    const std::u16string idFile = destination + u"PRJ.IDS";
    locked = FU_TestFileExists(idFile.c_str()) || FU_TestDirExists(idFile.c_str());
    if (!locked) return 0;
    if (generator.Open(destination.c_str()) != 0) return PRJLOC_BAD_PROJECT;
    return generator.LockProject();
}

// The copy proper, with both projects locked. A locked destination keeps its open "PRJ.IDS",
// whose counter is raised to the source's instead of being copied over.
bool CopyLocked(CProjUniID& sourceGenerator, CProjUniID* destinationGenerator,
                const std::u16string& source, const std::u16string& destination) {
    const bool keepIDFile = destinationGenerator != nullptr;
    bool ok = FU_CreatePath(destination.c_str()) != FALSE;
    ok = ok && RemoveFolderContent(destination, keepIDFile);
    ok = CopyFolderContent(source, destination, keepIDFile) && ok;
    if (destinationGenerator) {
        sourceGenerator.HasChanged();  // re-reads the counter
        ok = destinationGenerator->SetStartID(sourceGenerator.GetLastCounter()) && ok;
    }
    return ok;
}

}  // namespace

unsigned PrjLocator::CopyDefProject(const WCHAR* destinationPath) {
    if (!destinationPath || !destinationPath[0]) return PRJLOC_BAD_PROJECT;
    Directory& dir = Dir();
    COSAutoLock work(dir.work);
    const WCHAR* sourcePath = GetPrjPath(dir.defHashID);
    if (!sourcePath) {
        DebugPrint(3, u"PrjLocator::CopyProject: No working project set");
        return PRJLOC_BAD_PROJECT;
    }
    const std::u16string source = sourcePath;
    std::u16string destination;
    if (!FolderSpelling(destinationPath, destination)) return PRJLOC_BAD_PROJECT;
    if (!DestinationAllowed(destination, source)) return PRJLOC_BAD_PROJECT;

    if (unsigned users = dir.uidGen.LockProject(); users != 0) return users;
    CProjUniID destinationGenerator;
    bool destinationLocked = false;
    unsigned refused = LockDestination(destinationGenerator, destination, destinationLocked);
    if (refused != 0) {
        destinationGenerator.Close();
        dir.uidGen.UnlockProject();
        return refused;
    }
    const bool copied = CopyLocked(dir.uidGen, destinationLocked ? &destinationGenerator : nullptr,
                                   source, destination);
    destinationGenerator.Close();  // releases its project lock
    dir.uidGen.UnlockProject();
    unsigned result = copied ? 0 : PRJLOC_BAD_PROJECT;

    const DWORD attributes = platform::GetFileAttributes(destination.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !platform::SetFileAttributes(destination.c_str(),
                                     attributes | DWORD(FILE_ATTRIBUTE_READONLY)))
        result = PRJLOC_BAD_PROJECT;
    if (!RenameNamedFiles(destination, LastComponent(source), LastComponent(destination)))
        result = PRJLOC_BAD_PROJECT;
    const std::u16string idFile = ProjectIDFileName(destination, dir.defHashID);
    if (!FU_Touch(idFile.c_str())) result = PRJLOC_BAD_PROJECT;
    return result;
}
