// CQZObject: the base of every object the object store keeps on disk. It carries its own locator,
// the stamp and file time of the version it holds, change tracking, the undo comment of its next
// version, a parent location and the callbacks that hear about its state. Its virtual operations
// are the contract between a persistent class and the store.
#pragma once

#include <cstdint>

#include "qzobj/containers.h"
#include "qzobj/export.h"
#include "qzobj/history.h"
#include "qzobj/locator.h"
#include "qzobj/objmodel.h"
#include "qzobj/types.h"

// Change flags.
#define QZOBJ_CHANGED 0x1u   // changed since the last commit
#define QZOBJ_DELTRACE 0x2u  // print a watch line when the object is deleted

// State-notify codes the object sends (the locator's own are LOCATOR_NOTIFY_*).
#define QZOBJ_NOTIFY_COMMITTED 2u   // parameter: the change grade before the commit
#define QZOBJ_NOTIFY_RELEASED 3u    // write access given up
#define QZOBJ_NOTIFY_REFRESHED 4u   // bit 0x1 version changed, 0x2 higher access than before
#define QZOBJ_NOTIFY_DELETING 5u    // the last reference is about to go
#define QZOBJ_NOTIFY_DESTROYED 6u   // the stored object was destroyed
#define QZOBJ_NOTIFY_CHANGED 9u     // parameter: the grade signalled
#define QZOBJ_NOTIFY_SIGNALLED 10u  // SignalChanged with mode 1
#define QZOBJ_NOTIFY_COPIED 11u     // parameter: the new object
#define QZOBJ_NOTIFY_USER 4096u     // NotifyObject codes start here

// Unwind phases a derived class answers.
#define QZOBJ_UNWIND_QUERY 1u     // may the object be unwound
#define QZOBJ_UNWIND_AGREE 2u     // does the rebuilt version agree
#define QZOBJ_UNWIND_FAILED 3u    // unwinding failed
#define QZOBJ_UNWIND_TAKEOVER 4u  // take over the state of the given object

// The table version of CQZObject's virtual operations (dwVTblVersion of its class record).
#define QZOBJ_VTBL_VERSION 9u

// Units of the undo comment field: at most 31 characters and the terminator, so the field is
// always terminated in memory (a version's slot stores all 32 units).
#define QZOBJ_COMMENT_UNITS 32u

// Reading notes:
// - The instance size is this build's natural one: dwObjSize of classCQZObject is
//   sizeof(CQZObject); it is registered with the natural size of CQZRTObject as its base size.
// - DelObject decides "last reference" by a compare-and-swap on the lock count, so exactly one
//   of several threads dropping the last references gives up write access and notifies
//   QZOBJ_NOTIFY_DELETING.
// - A copy starts with a lock count of 1; its self-locator shares the source's open file and is
//   no longer marked as a self-locator, and its callback list shares the source's until either
//   changes.
// - The version is stored little-endian whatever the machine.
// - Refresh moves the callbacks aside while the object reloads and puts them back afterwards,
//   also when the reload throws (the refresh then fails). A failed refresh keeps the version
//   stamp and file time the object held before, so the next refresh reloads it whole.
// - Deletion-watch lines walk the call stack's first 10 frames, virtual objects included.
//
// Thread safety: Lock and DelObject may be called from any thread. Everything else (change
// tracking, commits, refreshes, callbacks) belongs to the thread that edits the object; callbacks
// run on the thread that causes the notification. The deletion-watch range is process-wide,
// written at application start and end.
class QZOBJ_API CQZObject : public CQZRTObject {
  public:
    CQZObject();
    CQZObject(const CQZObject& source);
    ~CQZObject() override;

    // Virtual operations, in table order (slots 0..7 are CQZRTObject's).
    CQZRuntimeClass* GetRuntimeClass() const override;
    void FreeObject() override;
    // Chunk "CQZObject" holding chunk "CQZObject" with the version (4 bytes), after the base.
    BOOL StoreData(CQZArchive& archive) override;
    BOOL LoadData(CQZArchive& archive) override;
    void DelObject() override;
    BOOL Assert() const override;
    BOOL Lock() override;
    // The non-versioned block: an empty chunk "CQZObject".
    virtual BOOL StoreNT(CQZArchive& archive);
    virtual BOOL LoadNT(CQZArchive& archive);
    virtual BOOL CopyObject();
    virtual BOOL Commit(DWORD flags);
    virtual BOOL ReleaseAccess();
    virtual DWORD ObjProc(DWORD a, DWORD b, DWORD c);
    virtual DWORD GetDataID();
    virtual BOOL ProjDestroy(DWORD flags);
    virtual void TagUsed();

    static CQZRuntimeClass* GetClassRegisterPtr();
    static CQZRTObject* CreateObject();

    BOOL DestroyObject(int really);
    BOOL DestroyLocator(Locator& locator, int really);

    // Change tracking.
    void SignalChanged(DWORD mode, DWORD grade);
    void SetChanged(int notify, DWORD grade);
    void ClearChanged();
    void SetDelTrace();
    void ClearDelTrace();

    // The comment of the next committed version: `text`, or string `id` of `instance` when
    // `text` is null (empty when that string does not exist); cut to 31 characters.
    void SetUndoComment(const WCHAR* text, HINSTANCE instance, UINT id);
    const WCHAR* GetUndoComment() const { return m_szUndoComment; }

    DWORD QueryAccess();
    DWORD QueryChanged() const { return m_dwChangeFlags & QZOBJ_CHANGED; }
    DWORD QueryVersion() const { return m_dwVersion; }
    DWORD QueryChangeCnt() const { return m_dwChangeCnt; }
    DWORD QueryChangeGrade() const { return m_dwChangeGrade; }
    FILETIME QueryTimestamp() const { return m_ftLastWrite; }
    BOOL QueryUndoRedo(unsigned& undo, unsigned& redo);
    unsigned GetUndoRedoList(tagUNDOLIST* list, unsigned max);

    BOOL RefreshObject(DWORD access, DWORD timeout, DWORD* result);
    CQZObject* CopyOnWriteObject(DWORD access, DWORD timeout, DWORD* result);
    BOOL UnwindObject(int target, int relative);

    DWORD RegisterStateNotify(CHANGENOTIFYPROC callback, uintptr_t value1, uintptr_t value2);
    BOOL UnregisterStateNotify(DWORD handle);
    // Codes below QZOBJ_NOTIFY_USER are refused with 0.
    DWORD NotifyObject(DWORD code, uintptr_t parameter);

    BOOL SetParentLocation(const Location& location);
    Location GetParentLocation() const;

    BOOL Snoop();
    BOOL QuerySystemObject() const;
    void SetModifyID(DWORD modifyID) { m_dwModifyID = modifyID; }
    // "<project>Obj/storage/" of `projectID`, or of the object's own project for 0xFC00 (refused
    // for a virtual or invalid self-locator), into a buffer of MAX_PATH units; empty on failure.
    BOOL GetObjectStoragePath(WCHAR* buffer, DWORD projectID);

    const Locator& GetLocator() const { return m_Locator; }

    static void GetFreeWatchRange(DWORD& min, DWORD& max, int& trace);
    static void SetFreeWatchRange(DWORD min, DWORD max, int trace);

  protected:
    virtual BOOL Destroy(int really, int doIt);
    virtual BOOL UnDestroy();
    virtual BOOL Refresh(DWORD access, DWORD timeout, DWORD* result);
    virtual BOOL Unwind(DWORD phase, CQZObject* object);
    virtual BOOL Reload(Locator& locator);

    // Sends `code` with `parameter` to the state-notify callbacks.
    void Notify(DWORD code, uintptr_t parameter);

  private:
    friend class Locator;
    friend struct qzo::store::LocatorCore;
    friend struct qzo::store::LocatorLife;

    CQZObject& operator=(const CQZObject&) = delete;

    // Prints the watch line of a deletion when the object is watched.
    void WatchDeletion(DWORD lockCount);

    Locator m_Locator;         // the self-locator
    DWORD m_dwVersion = 0;     // ModifyCnt of the version held; 0 for a new object
    FILETIME m_ftLastWrite{};  // the file's last-write time when loaded or committed
    CPChangeNotify m_StateNotify;
    DWORD m_dwChangeFlags = 0;  // QZOBJ_CHANGED, QZOBJ_DELTRACE
    DWORD m_dwChangeCnt = 0;    // every change signal, never reset
    DWORD m_dwChangeGrade = 0;  // highest grade since the last commit
    DWORD m_dwModifyID = 0;     // the caller's value recorded with the next version
    WCHAR m_szUndoComment[QZOBJ_COMMENT_UNITS] = {};
    Location m_ParentLocation;
};

// The class record of CQZObject, registered at process attach with base classCQZRTObject.
QZOBJ_API extern CQZRuntimeClass classCQZObject;

// Application start and end: counted; the first initialisation reads the watch ranges and gives
// every registered class its first control call, the last exit writes the ranges back, shuts the
// classes down, frees the driver libraries and stops the auto-threads.
QZOBJ_EXTERN_C QZOBJ_API void QZOBJ_AppInitialize();
QZOBJ_EXTERN_C QZOBJ_API void QZOBJ_AppExit();
typedef DWORD (*QZOBJ_INITCALLBACK)();
QZOBJ_EXTERN_C QZOBJ_API BOOL QZOBJ_RegisterInitCallback(QZOBJ_INITCALLBACK callback,
                                                         QZOBJ_INITCALLBACK* previous);
QZOBJ_EXTERN_C QZOBJ_API DWORD QZOBJ_UnregisterInitCallback(QZOBJ_INITCALLBACK previous);
