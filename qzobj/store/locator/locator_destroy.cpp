// Deleting objects: marking an object's file deleted (the read-only attribute) or deleting it
// for good, undoing the mark, the questions asked before either, tagging a file as used, and
// the copy mode.
#include "qzobj/archive/debug_print.h"
#include "qzobj/diag.h"
#include "qzobj/file_modes.h"
#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/system.h"
#include "qzobj/project_ids.h"
#include "qzobj/store/locator/locator_access.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_link.h"

using qzo::store::LocatorCore;

namespace {

constexpr DWORD kDeleteTimeout = 2000;
constexpr DWORD kRestoreTimeout = 1000;
constexpr DWORD kSecondRestoreTimeout = 5000;
constexpr DWORD kRetryPause = 1;
constexpr int kRefusalLevel = 3;
constexpr DWORD kCopyKeepsIDs = 1;
constexpr DWORD kStoredAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_TEMPORARY;

bool IsVirtual(const Location& location) {
    return (location.dwFlags & LOCATOR_VIRTUAL) != 0;
}

bool IsTemporary(const Location& location) {
    return (location.dwFlags & LOCATOR_TEMPORARY) != 0;
}

bool Missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Someone else holds the file for the moment: worth another try.
bool Busy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Sets or clears attribute bits, keeping the other stored ones.
bool ChangeAttributes(const WCHAR* path, DWORD attributes, DWORD set, DWORD clear) {
    DWORD wanted = ((attributes & kStoredAttributes) | set) & ~clear;
    if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
    return qzo::platform::SetFileAttributes(path, wanted);
}

// One attempt: true when the file is gone (really) or carries the mark.
bool TryDelete(const WCHAR* path, bool really) {
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return Missing(qzo::platform::GetLastError());
    if (!really) {
        if (attributes & FILE_ATTRIBUTE_READONLY) return true;
        return ChangeAttributes(path, attributes, FILE_ATTRIBUTE_READONLY, 0);
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) &&
        !ChangeAttributes(path, attributes, 0, FILE_ATTRIBUTE_READONLY))
        return false;
    if (qzo::platform::DeleteFileUnlessOpen(path)) return true;
    return Missing(qzo::platform::GetLastError());
}

// The fall-back when a deletion keeps failing: the mark alone.
bool MarkDeleted(const WCHAR* path) {
    return TryDelete(path, false);
}

}  // namespace

BOOL Locator::DeleteObjectFile(BOOL really) {
    ReleaseAccess();
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return FALSE;
    qzo::store::WaitDeadline deadline(kDeleteTimeout);
    for (;;) {
        if (TryDelete(path, really != FALSE)) return TRUE;
        if (!Busy(qzo::platform::GetLastError()) || deadline.Passed()) break;
        qzo::platform::Sleep(kRetryPause);
    }
    // Another process keeps the file open: it cannot go now, but it can no longer be restored.
    return MarkDeleted(path) ? TRUE : FALSE;
}

BOOL Locator::Destroy(CQZObject* object, BOOL really) {
    if (!IsValid() || IsVirtual(m_Location) || IsTemporary(m_Location)) return TRUE;
    const DWORD defProjID = LocatorCore::DefProjID();
    if (m_Location.dwProjID != defProjID) {
        qzo::store::DebugPrint(kRefusalLevel,
                               u"\rLocator::Destroy: PrjID = %08x, Default =%08X\r\n",
                               m_Location.dwProjID, defProjID);
        WarningMsg(u"Locator::Destroy: Attempt to destroy object not belonging to default project",
                   __builtin_return_address(0), __builtin_frame_address(0));
        return FALSE;
    }
    if (!DeleteObjectFile(really)) return FALSE;
    if (qzo::store::ChangeTable* table = LocatorCore::Notices().table)
        table->Remove(m_Location.dwObjID);
    const Location destroyed = GetLocation();
    LocatorCore::NotifyState(object ? static_cast<const void*>(object) : &destroyed,
                             LOCATOR_NOTIFY_DESTROYED, static_cast<uintptr_t>(really));
    // The locator names nothing any more; an object's own locator stays its self-locator.
    const DWORD self = m_Location.dwFlags & LOCATOR_SELFLOCATOR;
    Init();
    m_Location.dwFlags |= self;
    return TRUE;
}

BOOL Locator::DestroyLocator(Locator& locator, int really) {
    const Location& location = locator.m_Location;
    if (IsVirtual(location) || IsTemporary(location)) return TRUE;
    if (location.dwFlags & LOCATOR_STATIC) {
        WarningMsg(u"Attempt to illegally destroy static/inhibited locator!",
                   __builtin_return_address(0), __builtin_frame_address(0));
        return FALSE;
    }
    // The file cannot go while this locator keeps it open.
    locator.ReleaseAccess();
    Locator probe(locator.GetLocation());
    DWORD result = LOCATOR_FAILED;
    CQZObject* object = probe.RestoreObject(LOCATOR_ACCESS_READ, kRestoreTimeout, 0, &result);
    probe.ReleaseAccess();
    if (!object) {
        if (result != LOCATOR_FAILED) return FALSE;
        // No file, one already marked, or one too damaged to rebuild. A damaged file still goes,
        // and so does a marked one when it is to go for good.
        if (!probe.QueryUndestroy()) return TRUE;
        if (!really && !probe.QueryDestroy(FALSE)) return TRUE;
        return probe.Destroy(nullptr, really);
    }
    // The object's Destroy drops the reference the restore gave us, whatever it answers.
    return object->Destroy(really, 1);
}

BOOL Locator::DestroyLocation(Location& location, int really) {
    Locator locator(location);
    return DestroyLocator(locator, really);
}

BOOL Locator::UnDestroy() {
    if (!IsValid() || IsVirtual(m_Location) || IsTemporary(m_Location) || m_pFile) return FALSE;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return FALSE;
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if ((attributes & FILE_ATTRIBUTE_READONLY) &&
        !ChangeAttributes(path, attributes, 0, FILE_ATTRIBUTE_READONLY))
        return FALSE;
    Locator probe(GetLocation());
    DWORD result = LOCATOR_FAILED;
    CQZObject* object = probe.RestoreObject(LOCATOR_ACCESS_RWE, kRestoreTimeout, 0, &result);
    if (!object && result == LOCATOR_TIMEOUT)
        object = probe.RestoreObject(LOCATOR_ACCESS_RWE, kSecondRestoreTimeout, 0, &result);
    probe.ReleaseAccess();
    if (!object) {
        MarkDeleted(path);
        return FALSE;
    }
    if (!object->UnDestroy()) {
        // Marks the file again and drops the restored copy.
        object->Destroy(FALSE, 1);
        return FALSE;
    }
    LocatorCore::NotifyState(object, LOCATOR_NOTIFY_UNDESTROYED, 0);
    object->DelObject();
    return TRUE;
}

BOOL Locator::QueryDestroy(BOOL really) {
    if (IsTemporary(m_Location)) return TRUE;
    if (m_Location.dwFlags & LOCATOR_STATIC) return FALSE;
    if (really) return TRUE;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return TRUE;
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) ? FALSE
                                                                                           : TRUE;
}

BOOL Locator::QueryUndestroy() {
    if (!IsValid() || IsVirtual(m_Location) || IsTemporary(m_Location) || m_pFile) return FALSE;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return FALSE;
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)
               ? TRUE
               : FALSE;
}

void Locator::TagUsed() {
    if (!m_Location.IsDiskObject() || IsTemporary(m_Location)) return;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) {
        qzo::store::DebugPrint(kRefusalLevel,
                               u"\rLocator:TagUnused: Object path unretrievable\r\n");
        return;
    }
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_ARCHIVE)) return;
    ChangeAttributes(path, attributes, FILE_ATTRIBUTE_ARCHIVE, 0);
}

void Locator::SetCopyMode(unsigned mode) {
    const unsigned previous = LocatorCore::ExchangeCopyMode(mode);
    if (previous != kCopyKeepsIDs || mode != 0) return;
    // Copies kept their sources' IDs: new IDs must start above all of them.
    CProjUniID* generator = LocatorCore::UIDGen();
    const DWORD defProjID = LocatorCore::DefProjID();
    if (!generator || defProjID == LOCATION_NO_PROJID) return;
    const DWORD highest = qzo::store::LinkGetMaxExistingID(defProjID);
    if (highest < 0xFFFFFFFEu) generator->SetStartID(highest + 1);
}

unsigned Locator::GetCopyMode() {
    return LocatorCore::CopyMode();
}
