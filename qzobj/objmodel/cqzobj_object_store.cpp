// The persistent object's side of the object store: commits, access, refreshes, undo and redo,
// copies and destruction, each handed on to the object's self-locator with the notifications
// the object sends around them.
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"

namespace {

bool HoldsWriteAccess(DWORD access) {
    return (access & LOCATOR_ACCESS_WRITE) != 0;
}

}  // namespace

// The grade is taken before the commit: the locator clears the object's pending word.
BOOL CQZObject::Commit(DWORD flags) {
    if (!HoldsWriteAccess(m_Locator.QueryAccess())) return FALSE;
    const DWORD grade = m_dwChangeGrade;
    if (!m_Locator.Commit(*this, flags)) return FALSE;
    Notify(QZOBJ_NOTIFY_COMMITTED, grade);
    ClearChanged();
    return TRUE;
}

BOOL CQZObject::ReleaseAccess() {
    if (!HoldsWriteAccess(m_Locator.QueryAccess())) return TRUE;
    Notify(QZOBJ_NOTIFY_RELEASED, 0);
    return m_Locator.ReleaseAccess();
}

DWORD CQZObject::QueryAccess() {
    return m_Locator.QueryAccess();
}

BOOL CQZObject::Snoop() {
    return m_Locator.SnoopChange(*this);
}

BOOL CQZObject::QueryUndoRedo(unsigned& undo, unsigned& redo) {
    return m_Locator.QueryUndoRedo(undo, redo);
}

unsigned CQZObject::GetUndoRedoList(tagUNDOLIST* list, unsigned max) {
    return m_Locator.GetUndoRedoList(list, max);
}

BOOL CQZObject::RefreshObject(DWORD access, DWORD timeout, DWORD* result) {
    const DWORD versionBefore = m_dwVersion;
    const DWORD accessBefore = QueryAccess();
    if (!Refresh(access, timeout, result)) return FALSE;
    DWORD changes = 0;
    if (m_dwVersion != versionBefore) changes |= 0x1;
    if (accessBefore < access) changes |= 0x2;
    if (changes) Notify(QZOBJ_NOTIFY_REFRESHED, changes);
    return TRUE;
}

// The callbacks are moved aside while the object reloads, so that a reload writing over the
// object's fields cannot lose them, and are put back whatever the reload did. A reload that
// throws (a derived LoadData, say) fails the refresh. A failed reload may have loaded part of
// the object: it keeps the stamp and file time of the version it held before, so the next
// refresh loads it whole again.
BOOL CQZObject::Refresh(DWORD access, DWORD timeout, DWORD* result) {
    const DWORD version = m_dwVersion;
    const FILETIME lastWrite = m_ftLastWrite;
    CPChangeNotify callbacks(m_StateNotify);
    m_StateNotify.Free();
    BOOL refreshed = FALSE;
    try {
        refreshed = m_Locator.RefreshObject(*this, access, timeout, result);
    } catch (...) {
        refreshed = FALSE;
        if (result) *result = LOCATOR_FAILED;
    }
    m_StateNotify = callbacks;
    if (!refreshed) {
        m_dwVersion = version;
        m_ftLastWrite = lastWrite;
    }
    return refreshed;
}

BOOL CQZObject::Reload(Locator& locator) {
    return locator.LoadObject(this);
}

// A writable second instance of the stored object, for a caller holding this one read-only.
CQZObject* CQZObject::CopyOnWriteObject(DWORD access, DWORD timeout, DWORD* result) {
    if (!HoldsWriteAccess(access) || HoldsWriteAccess(QueryAccess())) {
        if (result) *result = LOCATOR_REFUSED;
        return nullptr;
    }
    Locator locator(m_Locator.GetLocation());
    CQZObject* copy = locator.RestoreObject(access, timeout, 0, result);
    if (!copy) return nullptr;
    copy->m_ParentLocation = m_ParentLocation;
    Notify(QZOBJ_NOTIFY_COPIED, reinterpret_cast<uintptr_t>(copy));
    return copy;
}

// An undo or redo counts as a change of the highest grade.
BOOL CQZObject::UnwindObject(int target, int relative) {
    if (!m_Locator.UnwindObject(*this, target, relative)) return FALSE;
    SignalChanged(0, 0xFFFFFFFFu);
    return TRUE;
}

// In copy mode 1 a copy made into another project refers to its parent there.
BOOL CQZObject::CopyObject() {
    if (Locator::GetCopyMode() == 1 && m_ParentLocation.dwProjID == m_Locator.GetProjID())
        m_ParentLocation.dwProjID = PrjLocator::GetDefPrjID();
    return TRUE;
}

BOOL CQZObject::DestroyObject(int really) {
    if (m_Locator.QueryDestroy(really)) return Destroy(really, 1);
    if (m_Locator.QueryFlags() & LOCATOR_TEMPORARY) {
        DelObject();
        return TRUE;
    }
    return FALSE;
}

BOOL CQZObject::DestroyLocator(Locator& locator, int really) {
    return Locator::DestroyLocator(locator, really);
}

// Destroying the stored object ends with this reference dropped, whether or not it worked.
BOOL CQZObject::Destroy(int really, int doIt) {
    BOOL result = doIt;
    if (doIt) {
        result = m_Locator.Destroy(this, really);
        if (result) Notify(QZOBJ_NOTIFY_DESTROYED, 0);
    }
    DelObject();
    return result;
}

BOOL CQZObject::GetObjectStoragePath(WCHAR* buffer, DWORD projectID) {
    if (!buffer) return FALSE;
    buffer[0] = 0;
    if (projectID == LOCATION_NO_PROJID) {
        if (!m_Locator.IsValid() || (m_Locator.QueryFlags() & LOCATOR_VIRTUAL)) return FALSE;
        projectID = m_Locator.GetProjID();
    }
    if (Locator::GetPrjObjectStoragePath(projectID, buffer, MAX_PATH)) return TRUE;
    buffer[0] = 0;
    return FALSE;
}
