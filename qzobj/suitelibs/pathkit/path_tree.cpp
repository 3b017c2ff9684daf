// The pathkit functions on whole folders: deleting a folder (or the entries of a folder that
// match a pattern) and copying a folder's content. Neither ever follows a symbolic link.
#include <string>
#include <vector>

#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/pathkit/pathkit_internal.h"

namespace platform = qzo::platform;
using qzo::pathkit::Fail;
using qzo::pathkit::MatchWildcard;

namespace {

// Keeps the first failure of an operation that goes on past failures.
struct Outcome {
    DWORD firstError = ERROR_SUCCESS;
    void note(bool ok) {
        if (!ok && firstError == ERROR_SUCCESS) firstError = platform::GetLastError();
    }
    BOOL result() const { return firstError == ERROR_SUCCESS ? TRUE : Fail(firstError); }
};

bool IsRealFolder(const platform::DirectoryEntry& entry) {
    return entry.isDirectory && !entry.isSymlink;
}

// Deletes the entries of `folder` matching `pattern`: files and links always (a link is
// removed, its target spared), real folders with their content only when `subfolders`.
BOOL DeleteMatching(const std::string& folder, std::u16string_view pattern, bool subfolders) {
    std::vector<platform::DirectoryEntry> entries;
    if (!platform::ListDirectory(folder, entries)) return FALSE;
    Outcome outcome;
    for (const auto& entry : entries) {
        if (!MatchWildcard(pattern, qzo::text::ToUtf16(entry.name))) continue;
        const std::string native = qzo::pathkit::JoinNative(folder, entry.name);
        if (!IsRealFolder(entry)) {
            outcome.note(platform::DeleteFile(native));
        } else if (subfolders) {
            outcome.note(platform::RemoveTree(native));
        }
    }
    return outcome.result();
}

// Deletes one folder: all of it with `subfolders`; otherwise its files and links, then the
// folder itself, which fails with ERROR_DIR_NOT_EMPTY while subfolders remain.
BOOL DeleteFolder(const std::string& native, bool subfolders) {
    platform::FileStatus status;
    if (!platform::GetFileStatus(native, status, false)) return FALSE;
    if (status.isSymlink) {
        platform::FileStatus target;
        bool reachesFolder = platform::GetFileStatus(native, target, true) && target.isDirectory;
        if (!reachesFolder) return Fail(ERROR_DIRECTORY);
        return platform::DeleteFile(native) ? TRUE : FALSE;  // the link goes, its target stays
    }
    if (!status.isDirectory) return Fail(ERROR_DIRECTORY);
    if (subfolders) return platform::RemoveTree(native) ? TRUE : FALSE;
    Outcome outcome;
    outcome.note(DeleteMatching(native, u"*", false));
    outcome.note(platform::RemoveDirectory(native));
    return outcome.result();
}

bool SameObject(const platform::FileStatus& a, const platform::FileStatus& b) {
    return a.device == b.device && a.inode == b.inode;
}

// Copies the matching entries of one folder into another that exists. Links are copied as
// links; the destination folder itself is never entered, so copying a folder into one of its
// own subfolders ends.
class TreeCopy {
  public:
    TreeCopy(std::u16string pattern, bool subfolders, platform::FileStatus destination)
        : pattern_(std::move(pattern)), subfolders_(subfolders), destination_(destination) {}

    void CopyFolder(const std::string& from, const std::string& to) {
        std::vector<platform::DirectoryEntry> entries;
        if (!platform::ListDirectory(from, entries)) return outcome_.note(false);
        for (const auto& entry : entries) CopyEntry(from, to, entry);
    }
    BOOL result() const { return outcome_.result(); }

  private:
    void CopyEntry(const std::string& from, const std::string& to,
                   const platform::DirectoryEntry& entry) {
        const std::string source = qzo::pathkit::JoinNative(from, entry.name);
        // An entry of the destination with the same name in another case is overwritten.
        const std::string target = platform::ResolveNameInFolder(to, entry.name);
        if (IsRealFolder(entry)) {
            if (subfolders_) CopySubfolder(source, target);
            return;
        }
        if (!MatchWildcard(pattern_, qzo::text::ToUtf16(entry.name))) return;
        if (entry.isSymlink) return outcome_.note(platform::CopySymlink(source, target));
        platform::FileStatus existing;
        if (platform::GetFileStatus(target, existing, false) && existing.isSymlink) {
            // Never write through a link that sits where the copy goes.
            if (!platform::DeleteFile(target)) return outcome_.note(false);
        }
        outcome_.note(CopyOneFile(source, target));
    }

    // Through file handles that share reading and writing, so a file another handle holds
    // open (a project's ID file) still copies, with its attribute word and times; names the
    // file calls cannot take keep the plain copy of content, permissions and times.
    static bool CopyOneFile(const std::string& source, const std::string& target) {
        const std::u16string from = qzo::text::ToUtf16(source);
        const std::u16string to = qzo::text::ToUtf16(target);
        if (from.size() >= MAX_PATH || to.size() >= MAX_PATH)
            return platform::CopyFile(source, target, false);
        return platform::CopyFileShared(from.c_str(), to.c_str(), false);
    }

    // A copied folder takes the source folder's attribute word (read-only stays a marker).
    static void CopyFolderAttributes(const std::string& source, const std::string& target) {
        const std::u16string from = qzo::text::ToUtf16(source);
        const std::u16string to = qzo::text::ToUtf16(target);
        if (from.size() >= MAX_PATH || to.size() >= MAX_PATH) return;
        const DWORD attributes = platform::GetFileAttributes(from.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES)
            platform::SetFileAttributes(to.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY));
    }

    void CopySubfolder(const std::string& source, const std::string& target) {
        platform::FileStatus status;
        if (!platform::GetFileStatus(source, status, false)) return outcome_.note(false);
        if (SameObject(status, destination_)) return;
        if (!platform::IsDirectory(target) && !platform::CreateDirectory(target))
            return outcome_.note(false);
        CopyFolder(source, target);
        CopyFolderAttributes(source, target);
    }

    std::u16string pattern_;
    bool subfolders_;
    platform::FileStatus destination_;
    Outcome outcome_;
};

}  // namespace

BOOL FU_DeleteDirectory(const WCHAR* path, BOOL subfolders, DWORD /*flags*/) {
    std::u16string text;
    if (!qzo::pathkit::ReadPathArgument(path, text)) return FALSE;
    if (text.empty()) return Fail(ERROR_INVALID_PARAMETER);
    qzo::pathkit::SplitPath split = qzo::pathkit::SplitAtLastSeparator(text);
    if (qzo::pathkit::HasWildcards(split.name)) {
        std::string folder;
        if (!qzo::pathkit::ResolveFolder(split.folder, folder)) return FALSE;
        if (folder == "/") return Fail(ERROR_ACCESS_DENIED);
        return DeleteMatching(folder, split.name, subfolders != FALSE);
    }
    std::string native;
    if (!platform::ResolvePath(text, native)) return FALSE;
    // The file system's root is never deleted, nor its content, whatever the caller asks.
    if (native == "/" || qzo::pathkit::RootLength(text) == text.size())
        return Fail(ERROR_ACCESS_DENIED);
    return DeleteFolder(native, subfolders != FALSE);
}

BOOL FU_CopyDirectory(const WCHAR* from, const WCHAR* to, BOOL subfolders, DWORD /*flags*/) {
    std::u16string source, target;
    if (!qzo::pathkit::ReadPathArgument(from, source) ||
        !qzo::pathkit::ReadPathArgument(to, target))
        return FALSE;
    if (source.empty() || target.empty()) return Fail(ERROR_INVALID_PARAMETER);
    qzo::pathkit::SplitPath split = qzo::pathkit::SplitAtLastSeparator(source);
    std::u16string pattern = u"*";
    std::string sourceFolder;
    if (qzo::pathkit::HasWildcards(split.name)) {
        pattern = split.name;
        if (!qzo::pathkit::ResolveFolder(split.folder, sourceFolder)) return FALSE;
    } else if (!platform::ResolvePath(source, sourceFolder)) {
        return FALSE;
    }
    platform::FileStatus sourceStatus, targetStatus;
    if (!platform::GetFileStatus(sourceFolder, sourceStatus)) return FALSE;
    if (!sourceStatus.isDirectory) return Fail(ERROR_DIRECTORY);
    std::string targetFolder;
    if (!platform::ResolvePath(target, targetFolder)) return FALSE;
    if (!platform::CreateDirectories(targetFolder)) return FALSE;
    if (!platform::GetFileStatus(targetFolder, targetStatus)) return FALSE;
    if (SameObject(sourceStatus, targetStatus)) return Fail(ERROR_ACCESS_DENIED);  // onto itself
    TreeCopy copy(pattern, subfolders != FALSE, targetStatus);
    copy.CopyFolder(sourceFolder, targetFolder);
    return copy.result();
}
