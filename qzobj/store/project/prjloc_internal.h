// Shared state and helpers of the project locator's source files: the directory of 1024
// buckets, its locks, the notification list, the working project's generator, path
// normalisation and the folder files of a project.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "qzobj/containers.h"
#include "qzobj/os.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"

namespace qzo::store::prjloc {

inline constexpr DWORD kBucketCount = 1024;
inline constexpr DWORD kNoProject = PRJLOC_NO_PROJECT;
inline constexpr char kAllocationSite[] = "qzobj/prjloc";

inline bool IsValidProjectID(DWORD id) {
    return (id & PRJLOC_INVALID_BITS) == 0;
}
inline DWORD BucketOf(DWORD id) {
    return id & 0xFFFFu;
}
inline DWORD MakeID(DWORD bucket, WORD high) {
    return (DWORD(high) << 16) | bucket;
}

// The process-wide directory. Created on first use and never destroyed.
//
// Locks: `work` serialises the operations on the working project (its generator `uidGen`,
// `defHashID` changes, copy, delete, purge); `cs` guards the buckets, the retired entries, the
// user count and the recycle-bin file operations; `notify` guards the callback list. Order:
// work, then cs; notify is taken alone (callbacks run under it, never under cs).
struct Directory {
    COSCriticalSection work;
    COSCriticalSection cs;
    COSCriticalSection notify;
    PRJLOCENTRY* buckets[kBucketCount] = {};
    // Unlinked entries: kept until the directory ends, because lookups handed out pointers
    // into them.
    std::vector<PRJLOCENTRY*> retired;
    CPChangeNotify changeNotifies;
    CProjUniID uidGen;
    // Written under `work`; read from any thread.
    std::atomic<DWORD> defHashID{kNoProject};
    unsigned initCount = 0;
};
Directory& Dir();

// Lookups; the caller holds Dir().cs.
PRJLOCENTRY* FindByPathLocked(const WCHAR* normalised, DWORD* id);
PRJLOCENTRY* FindByIDLocked(DWORD id, PRJLOCENTRY** predecessor);

// Entries from "PrjHeap"; Retire unlinks (caller holds cs) and keeps the entry until the end.
PRJLOCENTRY* AllocateEntry();
void FreeEntry(PRJLOCENTRY* entry);
void LinkEntryLocked(PRJLOCENTRY* entry, DWORD id);
bool UnlinkEntryLocked(DWORD id, PRJLOCENTRY** entry);

void Notify(const PRJLOCENTRY* entry, DWORD code, DWORD id);
// Prints to the debug output (channel 3) only while debug output is on.
void DebugPrint(int level, const WCHAR* format, ...);

// Copies at most MAX_PATH - 1 characters (longer paths are refused), converts them to upper
// case and formats them with '/' and a trailing '/'; a result over 259 characters is refused.
bool NormalisePath(const WCHAR* path, WCHAR (&out)[MAX_PATH]);
// The caller's spelling of a path with '/' separators and a trailing '/', for the file calls;
// false when it does not fit.
bool FolderSpelling(const WCHAR* path, std::u16string& out);

// A snapshot of the registered projects (entries stay valid: they are never freed early).
struct Snapshot {
    const PRJLOCENTRY* entry;
    DWORD id;
};
std::vector<Snapshot> TakeSnapshot();

// Project folder files.
bool WriteLayout(const std::u16string& folder);
bool WriteVersionFile(const std::u16string& folder, DWORD version);
DWORD ReadVersionFile(const std::u16string& folder);
// The ID of a folder's first "*.ProjectID" file: 0 none found, 1 found (`id` set), -1 a name
// that is no project ID.
int ReadProjectIDFile(const std::u16string& folder, DWORD& id);
std::u16string ProjectIDFileName(const std::u16string& folder, DWORD id);
// Whether a folder with a project ID file holds the project lock test: 0 free (or no ID file),
// otherwise the lock's result (PRJLOC_BAD_PROJECT when an existing ID file will not open).
unsigned TestProjectLock(const std::u16string& folder);

// Whether any registered project other than `except` lies inside (or is) the folder.
bool ContainsRegisteredProject(const WCHAR* folder, DWORD except);

// Folder content for the destructive operations (native calls, links never followed).
// Removes every entry of the folder, except "PRJ.IDS" when `keepIDFile`.
bool RemoveFolderContent(const std::u16string& folder, bool keepIDFile);
// Copies every entry of `from` into the existing folder `to` (subfolders whole, links as
// links, files with their attributes and times), except "PRJ.IDS" when `skipIDFile`.
bool CopyFolderContent(const std::u16string& from, const std::u16string& to, bool skipIDFile);
// The file-system root, or a bare server or drive root.
bool IsRootFolder(const std::u16string& folder);
// Whether the folder has entries (false when it is missing or empty).
bool HasEntries(const std::u16string& folder);

// Library load and unload: the library's own user of the directory.
bool AttachProjectDirectory();
void DetachProjectDirectory();

// Text helpers.
std::u16string FormatHex8(DWORD value);

}  // namespace qzo::store::prjloc
