// The recycle bin of the working project: "<project>Recycle/<path relative to the project>".
// Moves never replace an existing file, and paths that resolve outside the project (through
// "..", links or another spelling) or, when recycling, into the bin itself are refused.
#include <string>

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

constexpr char16_t kRecycleFolder[] = u"Recycle/";

bool StartsWithoutCase(const std::u16string& text, const std::u16string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        WCHAR a = platform::IsSeparator(text[i]) ? u'/' : qzo::text::FoldUpper(text[i]);
        WCHAR b = platform::IsSeparator(prefix[i]) ? u'/' : qzo::text::FoldUpper(prefix[i]);
        if (a != b) return false;
    }
    return true;
}

// A relative path of plain names: no empty, "." or ".." component.
bool PlainRelative(const std::u16string& relative) {
    size_t begin = 0;
    while (begin <= relative.size()) {
        size_t end = begin;
        while (end < relative.size() && !platform::IsSeparator(relative[end])) ++end;
        const std::u16string part = relative.substr(begin, end - begin);
        if (part.empty() || part == u"." || part == u"..") return false;
        if (end == relative.size()) return true;
        begin = end + 1;
    }
    return false;
}

struct RecyclePaths {
    std::u16string file;     // the caller's path
    std::u16string recycle;  // its place in the bin
};

// The bin path of a file of the working project, in the caller's spelling.
bool MakeRecyclePaths(const WCHAR* file, bool refuseBin, RecyclePaths& paths) {
    const WCHAR* project = PrjLocator::GetDefPrjPath();
    if (!file || !project) return false;
    const std::u16string folder = project;
    const std::u16string path = file;
    if (path.size() >= MAX_PATH || !StartsWithoutCase(path, folder)) return false;
    const std::u16string relative = path.substr(folder.size());
    if (!PlainRelative(relative)) return false;
    if (StartsWithoutCase(relative, kRecycleFolder) && refuseBin) return false;
    if (platform::RelatePaths(file, project) != platform::PathRelation::kInside) return false;
    paths.file = path;
    paths.recycle = path.substr(0, folder.size()) + kRecycleFolder + relative;
    return paths.recycle.size() < MAX_PATH;
}

bool CreateParentOf(const std::u16string& path) {
    size_t cut = path.size();
    while (cut > 0 && !platform::IsSeparator(path[cut - 1])) --cut;
    if (cut == 0) return false;
    const std::u16string parent = path.substr(0, cut);
    return FU_TestDirExists(parent.c_str()) || FU_CreatePath(parent.c_str());
}

// Moves without ever replacing: an existing target fails and both files stay.
bool MoveKeepingBoth(const std::u16string& from, const std::u16string& to) {
    return CreateParentOf(to) && platform::MoveFileUnlessOpen(from.c_str(), to.c_str());
}

}  // namespace

BOOL PrjLocator::MoveToRecycleBin(const WCHAR* file) {
    COSAutoLock lock(Dir().cs);
    RecyclePaths paths;
    if (!MakeRecyclePaths(file, true, paths)) return FALSE;
    return MoveKeepingBoth(paths.file, paths.recycle) ? TRUE : FALSE;
}

BOOL PrjLocator::IsInRecycleBin(const WCHAR* file) {
    COSAutoLock lock(Dir().cs);
    RecyclePaths paths;
    std::string native;
    if (!MakeRecyclePaths(file, true, paths) || !platform::ResolvePath(paths.recycle, native))
        return FALSE;
    return platform::PathExists(native) ? TRUE : FALSE;
}

BOOL PrjLocator::GetFromRecycleBin(const WCHAR* file) {
    COSAutoLock lock(Dir().cs);
    RecyclePaths paths;
    if (!MakeRecyclePaths(file, true, paths)) return FALSE;
    return MoveKeepingBoth(paths.recycle, paths.file) ? TRUE : FALSE;
}

BOOL PrjLocator::PurgeRecycleBin() {
    COSAutoLock lock(Dir().cs);
    const WCHAR* project = GetDefPrjPath();
    if (!project) return FALSE;
    const std::u16string bin = std::u16string(project) + u"Recycle";
    if (!FU_TestDirExists(bin.c_str())) return TRUE;  // nothing to purge
    return FU_DeleteDirectory(bin.c_str(), TRUE, 0);
}

ULONGLONG PrjLocator::UpdateRecycleSize() {
    COSAutoLock lock(Dir().cs);
    const WCHAR* project = GetDefPrjPath();
    if (!project) return 0;
    const std::u16string pattern = std::u16string(project) + u"Recycle/*.*";
    ULONGLONG total = 0;
    DWORD count = 0;
    if (!FU_ScanDir(pattern.c_str(), FU_ENUM_RECURSIVE, &total, &count)) return 0;
    return total;
}
