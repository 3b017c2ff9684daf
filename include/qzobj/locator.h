// Locator: a Location plus what it takes to reach the object — the open object file and the
// object's run-time class — and the object store's operations on that file: access between
// threads, processes and computers, change detection, creating, restoring, committing, undoing
// and compacting an object's history of versions, and destroying it.
#pragma once

#include <cstdint>

#include "qzobj/containers.h"
#include "qzobj/export.h"
#include "qzobj/history.h"
#include "qzobj/location.h"
#include "qzobj/types.h"

class CQZObject;
class CQZRuntimeClass;
class CProjUniID;
class LocFile;
struct tagACCESSINFO;

namespace qzo::store {
// The library's internal parts of the locator reach its private members through these.
struct LocatorCore;   // identity, access, change detection, statics
struct LocatorLife;   // creation, restoring, commits, history, compaction, refresh
struct LocatorProbe;  // tests and diagnostic tools
}  // namespace qzo::store

// Access bits of WaitForAccess, QueryAccess and RestoreObject.
#define LOCATOR_ACCESS_READ 0x80000000u
#define LOCATOR_ACCESS_WRITE 0x40000000u
#define LOCATOR_ACCESS_EDIT 0x20000000u
#define LOCATOR_ACCESS_RWE 0xE0000000u

// Results of access waits and restores.
#define LOCATOR_OK 0u
#define LOCATOR_FAILED 128u
#define LOCATOR_TIMEOUT 258u
#define LOCATOR_REFUSED 0xFFFFFFFFu
#define LOCATOR_WAIT_FOREVER 0xFFFFFFFFu

// CreateObject flags.
#define LOCATOR_CREATE_TEMPORARY 0x1u  // memory only, no file
#define LOCATOR_CREATE_STATIC 0x2u     // may not be destroyed through its locator
#define LOCATOR_CREATE_SHORTTERM 0x4u  // the file gets the temporary attribute

// Commit flags.
#define LOCATOR_COMMIT_NTONLY 0x1u  // store the NT block only
#define LOCATOR_COMMIT_PURGE 0x2u   // compact the history after the commit
#define LOCATOR_COMMIT_SILENT 0x4u  // no state notification
#define LOCATOR_COMMIT_FLUSH 0x8u   // on the disk before the call returns

// RestoreObject flags.
#define LOCATOR_RESTORE_EXACTCLASS 0x1u  // refuse a rebuild as a base class

// Codes of the locator's own state notifications (LocatorNotifies).
#define LOCATOR_NOTIFY_CREATED 1u
#define LOCATOR_NOTIFY_COMMITTED 2u
#define LOCATOR_NOTIFY_DESTROYED 6u
#define LOCATOR_NOTIFY_UNDESTROYED 7u
#define LOCATOR_NOTIFY_UNWOUND 8u
#define LOCATOR_NOTIFY_LOCKWAIT 12u

// QueryObjectState answers.
#define LOCATOR_STATE_INVALID 0u
#define LOCATOR_STATE_TEMPORARY 1u
#define LOCATOR_STATE_VIRTUAL 2u
#define LOCATOR_STATE_NOPATH 3u
#define LOCATOR_STATE_NOFILE 4u
#define LOCATOR_STATE_DELETED 5u
#define LOCATOR_STATE_DAMAGED 6u
#define LOCATOR_STATE_BASECLASS 7u
#define LOCATOR_STATE_WHOLE 8u

// A locator names one object and, while it has access, holds that object's open file. The file
// is shared by the locators of one object in this process through its open count.
//
// The crash guarantee of the stored history, its limits and the reach of change notices are
// stated once in store.h.
//
// Thread safety: one Locator object is used by one thread at a time. Different locators of one
// object may be used by different threads: the object file's header lock serialises them (and
// other processes). The static members may be called from any thread.
class QZOBJ_API Locator {
  public:
    Locator();
    explicit Locator(const Location& location);
    explicit Locator(const WCHAR* text);
    explicit Locator(const GUID& guid);
    // Shares the source's open file (its open count goes up) and drops the self-locator flag.
    Locator(const Locator& source);
    // Releases access.
    ~Locator();

    // Assignment is refused on a self-locator ("Reassignments of selflocator not allowed");
    // otherwise the old file is closed and the new identity taken (only the identity flags of a
    // location). Assigning a locator also shares its open file and drops the self-locator flag.
    Locator& operator=(const Locator& source);
    Locator& operator=(const Location& location);
    Locator& operator=(const WCHAR* text);
    Locator& operator=(const GUID& guid);

    // ---- Identity ------------------------------------------------------------------------
    void Init();
    BOOL IsValid() const;
    // Closes the file and clears the locator.
    void Invalidate();
    // LOCATION_NO_HASHID / LOCATION_NO_PROJID for a virtual location.
    DWORD GetHashID() const;
    DWORD GetProjID() const;
    DWORD GetObjID() const;
    DWORD GetDataID() const;
    // The location with its flags reduced to the identity flags.
    void GetLocation(Location& location) const;
    Location GetLocation() const;
    BOOL GetLocationAsString(WCHAR* buffer, unsigned size) const;
    // "<project>OBJ/%08X/%08X.QZO" into a buffer of MAX_PATH units; FALSE for a virtual or
    // invalid locator, an unknown project or a path that does not fit.
    BOOL GetObjectPath(WCHAR* buffer) const;
    // FALSE for a virtual or temporary locator, and for a file marked deleted (data zeroed).
    BOOL GetFileInfo(WIN32_FIND_DATAW* data) const;
    DWORD QueryMode() const;   // bits 0..6
    DWORD QueryFlags() const;  // bits 8..23
    // The access held: with a file its current access (0x80000000 once it has been marked
    // deleted, the file then being closed); without one 0xE0000000 for a temporary object and
    // 0x80000000 otherwise.
    DWORD QueryAccess();
    BOOL GetAccessInfo(tagACCESSINFO& info);
    // Closes the file (the last opener's close strips the writer's trailer); TRUE.
    BOOL ReleaseAccess();
    // TRUE when the object's file changed since `object` was read from it.
    BOOL SnoopChange(CQZObject& object);
    BOOL VerifyLocation();
    unsigned QueryObjectState();  // LOCATOR_STATE_*
    BOOL QueryAvailable();
    // Starts the read-write trace when this locator's object lies in the traced ID range.
    void SetRWTrace();

    // ---- Statics -------------------------------------------------------------------------
    // The working project: its ID generator and ID. Empties the change table and reopens the
    // project mailslot when the project changes. TRUE.
    static BOOL SetDefProjectID(CProjUniID* generator, DWORD projectID);
    static DWORD GetDefProjectID();
    static CProjUniID* GetDefUIDGen();
    // Reserves IDs in the working project's generator; FALSE without one.
    static BOOL PreallocLocations(unsigned count);
    // 0 none, 1 flush after every commit and undo, 2 writers open with write-through. FALSE
    // (nothing changed) above 2.
    static BOOL SetWritebackPriority(unsigned priority);
    static unsigned GetWritebackPriority();
    static void GetRWWatchRange(DWORD& min, DWORD& max);
    static void SetRWWatchRange(DWORD& min, DWORD& max);
    static void SetCopyMode(unsigned mode);
    static unsigned GetCopyMode();
    // Callbacks hear (object or location, code, value) for the LOCATOR_NOTIFY_* events.
    static DWORD RegisterStateNotify(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2);
    static BOOL UnregisterStateNotify(DWORD handle);
    // "<project>Obj/" and "<project>Obj/storage/" into `buffer` of `size` units.
    static BOOL GetPrjObjectPath(DWORD projectID, WCHAR* buffer, unsigned size);
    static BOOL GetPrjObjectStoragePath(DWORD projectID, WCHAR* buffer, unsigned size);

    // ---- Life cycle ----------------------------------------------------------------------
    // A new object of `record`'s class (LOCATOR_CREATE_* flags): a file in the working project
    // holding version 1, or a temporary object. Null on failure, leaving no file behind.
    CQZObject* CreateObject(CQZRuntimeClass* record, DWORD flags);
    CQZObject* CreateObjectAt(DWORD objID, CQZRuntimeClass* record, DWORD flags);
    // Rebuilds the object from its current version. `result` (may be null) gets LOCATOR_OK, or
    // LOCATOR_FAILED / LOCATOR_TIMEOUT / LOCATOR_REFUSED with a null answer.
    CQZObject* RestoreObject(DWORD access, DWORD timeout, DWORD flags, DWORD* result);
    static CQZObject* RestoreObject(const Location& location, DWORD access, DWORD timeout);
    CQZObject* RestoreObjectAs(CQZRuntimeClass* record, DWORD timeout, DWORD flags, DWORD* result);
    // Stores `object` as a new version (LOCATOR_COMMIT_* flags).
    BOOL Commit(CQZObject& object, DWORD flags);
    // Compacts the history into slot 0.
    BOOL Purge();
    BOOL RefreshObject(CQZObject& object, DWORD access, DWORD timeout, DWORD* result);
    DWORD QueryModifyCnt();
    BOOL QueryUndoRedo(unsigned& undo, unsigned& redo);
    unsigned GetUndoRedoList(tagUNDOLIST* list, unsigned max);
    BOOL SetHistoryIndex(DWORD modifyCnt);
    BOOL GetClassInfo(char* name, GUID& guid, WCHAR* path);
    DWORD GetClassFamily(CQZRuntimeClass** classes, unsigned max);

    // ---- Deletion ------------------------------------------------------------------------
    // TRUE for a temporary locator, FALSE for a static one, else `really` or not yet marked.
    BOOL QueryDestroy(BOOL really);
    BOOL QueryUndestroy();
    BOOL UnDestroy();
    // Marks the object's file in use (the archive attribute).
    void TagUsed();
    static BOOL DestroyLocator(Locator& locator, int really);
    static BOOL DestroyLocation(Location& location, int really);

  protected:
    friend class CQZObject;
    // Deletes (really) or marks deleted the object's file, drops it from the change table,
    // notifies LOCATOR_NOTIFY_DESTROYED and clears the locator.
    BOOL Destroy(CQZObject* object, BOOL really);
    BOOL UnwindObject(CQZObject& object, int target, BOOL relative);
    // LoadNT from the NT block, then LoadData from the selected version.
    BOOL LoadObject(CQZObject* object);

  private:
    friend struct qzo::store::LocatorCore;
    friend struct qzo::store::LocatorLife;
    friend struct qzo::store::LocatorProbe;

    DWORD WaitForAccess(DWORD access, DWORD timeout);
    BOOL WaitForLock(DWORD timeout);
    BOOL Unlock();
    void SetMode(DWORD mode);
    void SetFlags(DWORD mask, DWORD values);
    void IncrementLockCount();
    // Deletes (really) or marks the file, retrying for up to 2000 ms while it is in use.
    BOOL DeleteObjectFile(BOOL really);

    Location m_Location;
    LocFile* m_pFile = nullptr;
    CQZRuntimeClass* m_pClass = nullptr;
};
