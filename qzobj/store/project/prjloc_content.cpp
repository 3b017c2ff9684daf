// Removing and copying the content of a project folder for the destructive operations: the
// entries are listed once, links are removed or copied as links and never followed, and the
// open "PRJ.IDS" of a locked project can be left in place so that it goes last.
#include <string>
#include <vector>

#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/path_relation.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/project/prjloc_internal.h"

namespace qzo::store::prjloc {
namespace {

bool IsIDFileName(const std::string& name) {
    static const char kName[] = "PRJ.IDS";
    if (name.size() != sizeof kName - 1) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (text::FoldUpper(name[i]) != kName[i]) return false;
    return true;
}

bool ListNative(const std::u16string& folder, std::string& native,
                std::vector<platform::DirectoryEntry>& entries) {
    if (!platform::ResolvePath(folder, native)) return false;
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    return platform::ListDirectory(native, entries);
}

}  // namespace

bool IsRootFolder(const std::u16string& folder) {
    size_t i = 0;
    while (i < folder.size() && platform::IsSeparator(folder[i])) ++i;
    if (i == folder.size()) return true;  // "/", "//"
    if (i >= 2) {                         // "//SERVER/" and "//SERVER/SHARE/"
        size_t parts = 0;
        for (size_t j = i; j < folder.size(); ++j)
            if (platform::IsSeparator(folder[j]) && j + 1 < folder.size()) ++parts;
        if (parts <= 1) return true;
    }
    return platform::RelatePaths(folder.c_str(), u"/") == platform::PathRelation::kSame;
}

bool HasEntries(const std::u16string& folder) {
    std::string native;
    std::vector<platform::DirectoryEntry> entries;
    return ListNative(folder, native, entries) && !entries.empty();
}

bool RemoveFolderContent(const std::u16string& folder, bool keepIDFile) {
    std::string native;
    std::vector<platform::DirectoryEntry> entries;
    if (!ListNative(folder, native, entries)) return false;
    bool ok = true;
    for (const auto& entry : entries) {
        if (keepIDFile && IsIDFileName(entry.name)) continue;
        const std::string path = native + "/" + entry.name;
        const bool realFolder = entry.isDirectory && !entry.isSymlink;
        ok = (realFolder ? platform::RemoveTree(path) : platform::DeleteFile(path)) && ok;
    }
    return ok;
}

bool CopyFolderContent(const std::u16string& from, const std::u16string& to, bool skipIDFile) {
    std::string source, target;
    std::vector<platform::DirectoryEntry> entries;
    if (!ListNative(from, source, entries) || !platform::ResolvePath(to, target)) return false;
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    bool ok = true;
    for (const auto& entry : entries) {
        if (skipIDFile && IsIDFileName(entry.name)) continue;
        const std::string sourcePath = source + "/" + entry.name;
        const std::string targetPath = target + "/" + entry.name;
        const std::u16string sourceWide = text::ToUtf16(sourcePath);
        const std::u16string targetWide = text::ToUtf16(targetPath);
        if (entry.isSymlink) {
            ok = platform::CopySymlink(sourcePath, targetPath) && ok;
        } else if (entry.isDirectory) {
            ok = FU_CopyDirectory(sourceWide.c_str(), targetWide.c_str(), TRUE, 0) && ok;
        } else {
            ok = platform::CopyFileShared(sourceWide.c_str(), targetWide.c_str(), false) && ok;
        }
    }
    return ok;
}

}  // namespace qzo::store::prjloc
