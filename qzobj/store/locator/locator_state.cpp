// What a locator can tell about its object without rebuilding it: the file's details, the
// object's state and availability, whether the header names this location, whether the file
// changed since an object was read, and the project's object folders.
#include <cstring>
#include <optional>
#include <string>

#include "qzobj/file_modes.h"
#include "qzobj/locator.h"
#include "qzobj/objmodel.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/notices/change_detection.h"
#include "qzobj/store/objfile/locfile.h"

using qzo::store::ClassReading;
using qzo::store::LocatorCore;
using qzo::store::LocatorCounter;
using qzo::store::LocatorLife;

namespace {

constexpr DWORD kQueryTimeout = 1000;

bool IsVirtual(const Location& location) {
    return (location.dwFlags & LOCATOR_VIRTUAL) != 0;
}

bool IsTemporary(const Location& location) {
    return (location.dwFlags & LOCATOR_TEMPORARY) != 0;
}

// The file name part of a path: after its last separator.
const WCHAR* FileNameOf(const WCHAR* path) {
    const WCHAR* name = path;
    for (const WCHAR* at = path; *at; ++at)
        if (*at == u'/' || *at == u'\\') name = at + 1;
    return name;
}

// "<project>" + `tail` into `buffer` of `size` units; the working project for LOCATION_NO_PROJID.
BOOL ProjectFolder(DWORD projectID, const char16_t* tail, WCHAR* buffer, unsigned size) {
    if (!buffer || size == 0) return FALSE;
    buffer[0] = 0;
    if (projectID == LOCATION_NO_PROJID) projectID = LocatorCore::DefProjID();
    const WCHAR* project = LocatorCore::ProjectPath(projectID);
    if (!project) return FALSE;
    const std::u16string folder = std::u16string(project) + tail;
    if (folder.size() >= size) return FALSE;
    std::memcpy(buffer, folder.c_str(), (folder.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

}  // namespace

BOOL Locator::GetFileInfo(WIN32_FIND_DATAW* data) const {
    if (!data) return FALSE;
    std::memset(data, 0, sizeof *data);
    if (IsVirtual(m_Location) || IsTemporary(m_Location)) return FALSE;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return FALSE;
    std::string native;
    qzo::platform::FileStatus status;
    if (!qzo::platform::ResolveFilePath(path, native) ||
        !qzo::platform::GetFileStatus(native, status) || status.isDirectory)
        return FALSE;
    // A file marked deleted is no longer the object's: nothing of it is reported.
    if (status.attributes & FILE_ATTRIBUTE_READONLY) return FALSE;
    data->dwFileAttributes = status.attributes;
    data->ftCreationTime = status.creation;
    data->ftLastAccessTime = status.lastAccess;
    data->ftLastWriteTime = status.lastWrite;
    data->nFileSizeHigh = static_cast<DWORD>(status.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(status.size);
    const WCHAR* name = FileNameOf(path);
    size_t length = 0;
    while (name[length] && length + 1 < MAX_PATH) ++length;
    std::memcpy(data->cFileName, name, length * sizeof(WCHAR));
    return TRUE;
}

unsigned Locator::QueryObjectState() {
    if (m_pFile) return LOCATOR_STATE_WHOLE;
    if (!IsValid()) return LOCATOR_STATE_INVALID;
    if (IsTemporary(m_Location)) return LOCATOR_STATE_TEMPORARY;
    if (IsVirtual(m_Location)) return LOCATOR_STATE_VIRTUAL;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return LOCATOR_STATE_NOPATH;
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return LOCATOR_STATE_NOFILE;
    if (attributes & FILE_ATTRIBUTE_READONLY) return LOCATOR_STATE_DELETED;
    if (WaitForAccess(LOCATOR_ACCESS_READ, kQueryTimeout) != LOCATOR_OK) {
        ReleaseAccess();
        return LOCATOR_STATE_INVALID;
    }
    // Reading the header may mark this locator as rebuilt from a base class and name a class:
    // a query changes neither.
    const DWORD flags = m_Location.dwFlags;
    CQZRuntimeClass* const record = m_pClass;
    const ClassReading reading = LocatorLife::CheckClassPresence(*this, false);
    m_Location.dwFlags = flags;
    m_pClass = record;
    Unlock();
    ReleaseAccess();
    if (!reading.record) return LOCATOR_STATE_DAMAGED;
    return reading.baseClassOnly ? LOCATOR_STATE_BASECLASS : LOCATOR_STATE_WHOLE;
}

BOOL Locator::QueryAvailable() {
    if (IsVirtual(m_Location)) return TRUE;
    if (!IsValid() || m_pFile || IsTemporary(m_Location)) return FALSE;
    WCHAR path[MAX_PATH];
    if (!GetObjectPath(path)) return FALSE;
    const DWORD attributes = qzo::platform::GetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ? FALSE : TRUE;
}

BOOL Locator::VerifyLocation() {
    if (IsVirtual(m_Location)) {
        GUID guid;
        static_assert(sizeof guid == 16, "a GUID fills the first four words");
        std::memcpy(&guid, &m_Location, sizeof guid);
        return CQZRuntimeClass::GetClassPtr(&guid, LOCATION_NO_HASHID) ? TRUE : FALSE;
    }
    if (!IsValid()) return FALSE;
    const bool hadFile = m_pFile != nullptr;
    if (hadFile) {
        if (!WaitForLock(kQueryTimeout)) return FALSE;
    } else if (WaitForAccess(LOCATOR_ACCESS_READ, kQueryTimeout) != LOCATOR_OK) {
        ReleaseAccess();
        return FALSE;
    }
    // The header is read for its location only; the holder's file position and the locator's
    // class and flags stay as they were.
    const DWORD position = m_pFile->GetFilePtr();
    const DWORD flags = m_Location.dwFlags;
    CQZRuntimeClass* const record = m_pClass;
    const ClassReading reading = LocatorLife::CheckClassPresence(*this, true);
    m_Location.dwFlags = flags;
    m_pClass = record;
    if (position != LocFile::kNoPosition) m_pFile->SetFilePtr(LONG(position), FILE_BEGIN);
    Unlock();
    if (!hadFile) ReleaseAccess();
    // Only a header that names this very object may lend it its data word.
    if (!reading.storedLocation.IsValid() || !reading.storedLocation.IsSameObject(m_Location))
        return FALSE;
    m_Location.dwDataID = reading.storedLocation.dwDataID;
    return TRUE;
}

BOOL Locator::SnoopChange(CQZObject& object) {
    if (!IsValid() || IsVirtual(m_Location) || IsTemporary(m_Location) || m_pFile) return FALSE;
    const qzo::store::ChangeNotices notices = LocatorCore::Notices();
    // The common case answers from the table alone, before any path is built.
    if (qzo::store::ChangeTable* table = notices.TableFor(m_Location.dwProjID)) {
        const DWORD answer = table->Lookup(m_Location.dwObjID, object.m_ftLastWrite);
        if (const std::optional<BOOL> known = qzo::store::ChangeFromTable(answer)) return *known;
    }
    WCHAR path[MAX_PATH];
    // Without a path the file cannot vouch for the object.
    if (!GetObjectPath(path)) return TRUE;
    qzo::store::SnoopRequest request;
    request.objID = m_Location.dwObjID;
    request.projID = m_Location.dwProjID;
    request.path = path;
    request.objectTime = object.m_ftLastWrite;
    request.timer = &LocatorCore::Counter(LocatorCounter::kSnoop);
    return qzo::store::SnoopChange(request, notices);
}

BOOL Locator::GetPrjObjectPath(DWORD projectID, WCHAR* buffer, unsigned size) {
    return ProjectFolder(projectID, u"Obj/", buffer, size);
}

BOOL Locator::GetPrjObjectStoragePath(DWORD projectID, WCHAR* buffer, unsigned size) {
    return ProjectFolder(projectID, u"Obj/storage/", buffer, size);
}
