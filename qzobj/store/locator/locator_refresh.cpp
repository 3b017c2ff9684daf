// Refreshing an object from its file: the NT block alone when the object still holds the
// current version (same ModifyCnt and the same last-write time), otherwise a full reload.
#include "qzobj/archive/debug_print.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/fs.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"

namespace qzo::store {
namespace {

constexpr int kFailureLevel = 3;
constexpr int kNoticeLevel = 5;

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

BOOL ReloadNT(LocFile& file, CQZObject& object) {
    LocFileArchive archive(&file);
    BOOL loaded = FALSE;
    try {
        loaded = file.SetFilePtr(LONG(file.m_dwNTOffset), FILE_BEGIN) == file.m_dwNTOffset &&
                 object.LoadNT(archive);
    } catch (...) {
        loaded = FALSE;
    }
    if (file.IsChunkMode()) file.Chnk_Close(0);
    return loaded;
}

}  // namespace
}  // namespace qzo::store

using qzo::store::DebugPrint;
using qzo::store::LocatorLife;

BOOL Locator::RefreshObject(CQZObject& object, DWORD access, DWORD timeout, DWORD* result) {
    if (this != &object.m_Locator) {
        DebugPrint(qzo::store::kFailureLevel,
                   u"\rLocator::RefreshObject: this != rObject.thisObjLoc not allowed.\r\n");
        if (result) *result = LOCATOR_FAILED;
        return FALSE;
    }
    if (QueryFlags() & (LOCATOR_TEMPORARY | LOCATOR_VIRTUAL)) {
        if (result) *result = LOCATOR_FAILED;
        return FALSE;
    }
    if (m_pFile) {
        if (result) *result = LOCATOR_OK;
        if (access == 0) return TRUE;
        if (access & LOCATOR_ACCESS_WRITE) return m_pFile->SetAccess(access);
        ReleaseAccess();
        return TRUE;
    }
    if (access == 0) access = QueryAccess();
    const DWORD waited = WaitForAccess(access, timeout);
    if (result) *result = waited;
    if (waited != LOCATOR_OK) return FALSE;

    BOOL done = FALSE;
    try {
        if (LocatorLife::CheckClassPresence(*this, true).record) {
            const auto index = qzo::store::index_io::CachedIndex(*m_pFile);
            FILETIME fileTime{};
            m_pFile->GetLastWriteTime(&fileTime);
            const bool unchanged =
                !object.QueryChanged() &&
                object.m_dwVersion == index.slots[index.header.dwCurrent].dwModifyCnt &&
                qzo::store::SameTime(object.m_ftLastWrite, fileTime);
            if (unchanged) {
                DebugPrint(qzo::store::kNoticeLevel, u"\rRefresh: ModifyCnt not changed\r\n");
                done = qzo::store::ReloadNT(*m_pFile, object);
            } else {
                done = object.Reload(*this);
            }
            if (done) object.m_ftLastWrite = fileTime;
        }
    } catch (...) {
        Unlock();
        if (!(access & LOCATOR_ACCESS_WRITE)) ReleaseAccess();
        throw;
    }
    if (!done && result) *result = LOCATOR_FAILED;
    Unlock();
    if (!(access & LOCATOR_ACCESS_WRITE)) ReleaseAccess();
    return done;
}
