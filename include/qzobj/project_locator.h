// The project locator: the process-wide directory of known project folders, the working
// project, the saved project list, copying, deleting and purging projects, and the recycle bin.
#pragma once

#include "qzobj/containers.h"
#include "qzobj/types.h"

// "No project": also the result of every failed registration or lookup by path.
#define PRJLOC_NO_PROJECT 0x0000FC00u
// Bits that no project ID may carry.
#define PRJLOC_INVALID_BITS 0x0000FC00u
// The format versions: projects without a readable version, and the current format.
#define PRJLOC_VERSION_OLD 0x10000u
#define PRJLOC_VERSION_CURRENT 0x30000u
// Results of the project operations besides 0 and the project lock's counts.
#define PRJLOC_BAD_PROJECT 0xFFFFFFFFu
#define PRJLOC_IS_WORKING_PROJECT 0xFFFFFFFEu

// Notification codes, sent as (entry, code, ID) to every registered callback.
#define PRJLOC_NOTIFY_REGISTERED 1u     // registered, or stopped being the working project
#define PRJLOC_NOTIFY_UNREGISTERING 2u  // unregistering, or about to become the working one
#define PRJLOC_NOTIFY_DELETING 3u       // about to be deleted
#define PRJLOC_NOTIFY_PURGE_BEGIN 4u    // a purge of the working project begins
#define PRJLOC_NOTIFY_PURGE_END 5u      // ... and has ended
#define PRJLOC_NOTIFY_BECAME_WORKING 0x80000001u
#define PRJLOC_NOTIFY_LEAVING_WORKING 0x80000002u

// One registered project. Entries live in the "PrjHeap" heap and stay valid (unlinked, not
// freed) after unregistering until the directory ends, so the pointers the lookups hand out
// never dangle while a PrjLocator user exists.
struct PRJLOCENTRY {
    PRJLOCENTRY* pNext;      // next entry of the same bucket
    WORD wIDHigh;            // the ID's high word; buckets are sorted by it
    WCHAR szPath[MAX_PATH];  // upper-case folder, '/' separators, trailing '/'
    WCHAR szDataPath[MAX_PATH];
    const WCHAR* pszName;  // the last component of szPath (it keeps its trailing '/')
    void* pCustomData;
    DWORD dwVersion;
};

class CProgressInfo;

// Called for each registered project; returning 0 stops the enumeration.
typedef int (*PRJENUMPROC)(const PRJLOCENTRY* entry, DWORD id, uintptr_t user);
// Called by PurgeDefProject while the caller marks the objects it still uses; 0 fails the purge.
typedef int (*PRJPREPAREPROC)();

// All members are static; objects only count the users of the directory: the last one to go
// ends the working project and frees every entry. The library itself holds one user while it
// is loaded.
//
// Thread safety: every member may be called from any thread. A critical section guards the
// directory, the notification list and the recycle-bin operations; lookups take it too.
// Notification callbacks and enumeration callbacks run outside it.
class QZOBJ_API PrjLocator {
  public:
    PrjLocator();
    ~PrjLocator();
    PrjLocator(const PrjLocator&) = delete;
    PrjLocator& operator=(const PrjLocator&) = delete;

    // The project ID, or PRJLOC_NO_PROJECT. `create` makes a missing folder (not its parents).
    static DWORD RegisterProject(const WCHAR* path, BOOL create);
    static BOOL UnregisterProject(const WCHAR* path);
    static BOOL UnregisterProject(DWORD id);
    static DWORD FindProject(const WCHAR* path);

    // PRJLOC_NO_PROJECT (or any ID with invalid bits) ends the working project.
    static BOOL SetWorkingProject(DWORD id);
    static DWORD GetDefPrjID();

    static const WCHAR* GetPrjPath(DWORD id);
    static const WCHAR* GetPrjName(DWORD id);
    static const WCHAR* GetDefPrjPath();
    static const WCHAR* GetDefPrjName();

    static BOOL SetPrjCustomData(DWORD id, void* data);
    static void* GetPrjCustomData(DWORD id);
    static BOOL SetDefPrjCustomData(void* data);
    static void* GetDefPrjCustomData();

    // Data paths of 260 characters or more are refused.
    static BOOL SetPrjDataPath(DWORD id, const WCHAR* path);
    static const WCHAR* GetPrjDataPath(DWORD id);
    static BOOL SetDefPrjDataPath(const WCHAR* path);

    // Raises an older project to the current format; a newer one shows "Version Restriction"
    // and fails.
    static BOOL SetPrjVersion(DWORD id);
    static DWORD GetPrjVersion(DWORD id);
    static BOOL SetDefPrjVersion();
    static DWORD GetDefPrjVersion();

    // Walks a snapshot of the directory in bucket order; a callback returning 0 (or throwing)
    // stops the walk with FALSE.
    static BOOL EnumRegisteredProjects(PRJENUMPROC callback, uintptr_t user);

    // The list file: a little-endian count, then one 520-byte path record per project.
    static BOOL SaveRegisteredProjects(const WCHAR* file);
    static BOOL LoadRegisteredProjects(const WCHAR* file);

    static DWORD RegisterChangeNotify(CHANGENOTIFYPROC callback, uintptr_t value1,
                                      uintptr_t value2);
    static BOOL UnregisterChangeNotify(DWORD handle);

    // 0 on success, PRJLOC_BAD_PROJECT on refusal or failure, or the project lock's result.
    static unsigned CopyDefProject(const WCHAR* destination);
    static unsigned DeleteProject(DWORD id, DWORD flags);
    static unsigned DeleteProject(const WCHAR* path, DWORD flags);
    static unsigned PurgeDefProject(PRJPREPAREPROC prepare);

    // The recycle bin of the working project: "<project>Recycle/<path relative to it>".
    static BOOL MoveToRecycleBin(const WCHAR* file);
    static BOOL IsInRecycleBin(const WCHAR* file);
    static BOOL GetFromRecycleBin(const WCHAR* file);
    static BOOL PurgeRecycleBin();
    static ULONGLONG UpdateRecycleSize();
};
