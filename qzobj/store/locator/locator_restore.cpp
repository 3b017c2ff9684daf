// Restoring objects from their files: waiting for access, finding the stored class, rebuilding
// the object from the NT block and the selected version, and handing it its self-locator.
#include <cstring>

#include "qzobj/archive/debug_print.h"
#include "qzobj/persistent.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"

namespace qzo::store {
namespace {

constexpr int kFailureLevel = 3;

// Closes chunk layers a failing or careless object left open, so the file's raw calls work.
void CloseLayers(LocFile& file) {
    if (file.IsChunkMode()) file.Chnk_Close(0);
}

bool Refused(Locator& locator, DWORD* result) {
    const DWORD flags = locator.QueryFlags();
    if (!LocatorLife::File(locator) && locator.IsValid() && !(flags & LOCATOR_SELFLOCATOR))
        return false;
    DebugPrint(kFailureLevel,
               u"\rLocator::RestoreObject: General failure (Locator has access/is invalid/selfloc/"
               u"edit access invalid)\r\n");
    if (result) *result = LOCATOR_FAILED;
    return true;
}

// A virtual location names its class by GUID: the object lives in memory only.
CQZObject* RestoreVirtual(Locator& locator, DWORD* result) {
    GUID guid{};
    std::memcpy(&guid, &LocatorLife::Where(locator), sizeof(GUID));
    CQZRuntimeClass* record = CQZRuntimeClass::GetClassPtr(&guid, LOCATION_NO_HASHID);
    CQZObject* object = nullptr;
    if (record && record->pfnCreateObject && record->IsKindOf(&classCQZObject))
        object = static_cast<CQZObject*>(record->pfnCreateObject());
    if (!object) {
        if (result) *result = LOCATOR_FAILED;
        return nullptr;
    }
    LocatorLife::AdoptLocator(locator, *object);
    Locator& self = LocatorLife::Self(*object);
    const DWORD marks = LOCATOR_VIRTUAL | LOCATOR_TEMPORARY | LOCATOR_SELFLOCATOR;
    LocatorLife::SetFlags(self, marks, marks);
    LocatorLife::Class(self) = record;
    if (result) *result = LOCATOR_OK;
    return object;
}

// Unlocks and lets go of the file this locator opened for the restore.
void Finish(Locator& locator) {
    LocatorTimer timer(LocatorCounter::kRelease);
    LocatorLife::Unlock(locator);
    locator.ReleaseAccess();
}

// Finds the stored class; the timing is left out when a class library had to be loaded.
ClassReading ReadClass(Locator& locator) {
    const ULONGLONG start = CBasePerfItem::GetCount();
    ClassReading reading = LocatorLife::CheckClassPresence(locator, false);
    if (!reading.libraryLoaded) LocatorCore::Counter(LocatorCounter::kCheckClass).Lapse(start);
    return reading;
}

}  // namespace

Locator& LocatorLife::Self(CQZObject& object) {
    return object.m_Locator;
}

void LocatorLife::AdoptLocator(Locator& locator, CQZObject& object) {
    Locator& self = object.m_Locator;
    if (self.m_pFile) self.ReleaseAccess();
    self.m_Location = locator.m_Location;
    self.m_pClass = locator.m_pClass;
    self.m_pFile = locator.m_pFile;
    if (self.m_pFile) self.m_pFile->AddRef();
    self.SetFlags(LOCATOR_SELFLOCATOR, LOCATOR_SELFLOCATOR);
}

CQZObject* LocatorLife::Reconstruct(Locator& locator, CQZRuntimeClass* record) {
    LocatorTimer timer(LocatorCounter::kReconstruct);
    const Location& where = locator.m_Location;
    CQZObject* object = record && record->pfnCreateObject
                            ? static_cast<CQZObject*>(record->pfnCreateObject())
                            : nullptr;
    if (!object) {
        DebugPrint(kFailureLevel,
                   u"\rLocator::ReconstructObject(Class=%08X, ID=%08X): Object could not be "
                   u"created\r\n",
                   where.dwHashID, where.dwObjID);
        return nullptr;
    }
    BOOL loaded;
    {
        LocatorTimer load(LocatorCounter::kLoadMem);
        loaded = locator.LoadObject(object);
    }
    if (!loaded) {
        DebugPrint(kFailureLevel,
                   u"\rLocator::ReconstructObject(Class=%08X, ID=%08X): Object could not be "
                   u"loaded\r\n",
                   where.dwHashID, where.dwObjID);
        object->DelObject();
        return nullptr;
    }
    AdoptLocator(locator, *object);
    object->m_dwChangeFlags &= ~QZOBJ_CHANGED;
    locator.m_pFile->GetLastWriteTime(&object->m_ftLastWrite);
    if (locator.m_pFile->GetAccess() & LocFile::kWrite)
        object->m_Locator.SetRWTrace();
    else
        object->m_Locator.ReleaseAccess();
    return object;
}

}  // namespace qzo::store

using qzo::store::ClassReading;
using qzo::store::LocatorCounter;
using qzo::store::LocatorLife;
using qzo::store::LocatorTimer;

BOOL Locator::LoadObject(CQZObject* object) {
    if (!object || !m_pFile || m_pFile->m_dwDataOffset == 0) return FALSE;
    LocFile& file = *m_pFile;
    LocFileArchive archive(&file);
    BOOL loaded = FALSE;
    try {
        loaded = file.SetFilePtr(LONG(file.m_dwNTOffset), FILE_BEGIN) == file.m_dwNTOffset &&
                 object->LoadNT(archive);
        qzo::store::CloseLayers(file);
        loaded = loaded &&
                 file.SetFilePtr(LONG(file.m_dwDataOffset), FILE_BEGIN) == file.m_dwDataOffset &&
                 object->LoadData(archive);
    } catch (...) {
        loaded = FALSE;
    }
    qzo::store::CloseLayers(file);
    return loaded;
}

CQZObject* Locator::RestoreObject(DWORD access, DWORD timeout, DWORD flags, DWORD* result) {
    if (qzo::store::Refused(*this, result)) return nullptr;
    SetMode(0);
    if (QueryFlags() & LOCATOR_VIRTUAL) return qzo::store::RestoreVirtual(*this, result);
    LocatorTimer whole(LocatorCounter::kRestore);
    DWORD waited;
    {
        LocatorTimer timer(LocatorCounter::kWaitAccess);
        waited = WaitForAccess(access, timeout);
    }
    if (result) *result = waited;
    if (waited != LOCATOR_OK) return nullptr;

    const ClassReading reading = qzo::store::ReadClass(*this);
    CQZObject* object = nullptr;
    const bool refuseBase = reading.baseClassOnly && (flags & LOCATOR_RESTORE_EXACTCLASS);
    if (reading.record && !refuseBase) {
        if (reading.baseClassOnly) m_pFile->SetAccess(LOCATOR_ACCESS_READ);
        object = LocatorLife::Reconstruct(*this, reading.record);
    }
    if (!object && result) *result = LOCATOR_FAILED;
    qzo::store::Finish(*this);
    return object;
}

CQZObject* Locator::RestoreObject(const Location& location, DWORD access, DWORD timeout) {
    Locator locator(location);
    return locator.RestoreObject(access, timeout, 0, nullptr);
}

CQZObject* Locator::RestoreObjectAs(CQZRuntimeClass* record, DWORD timeout, DWORD flags,
                                    DWORD* result) {
    if (qzo::store::Refused(*this, result)) return nullptr;
    if ((QueryFlags() & (LOCATOR_VIRTUAL | LOCATOR_TEMPORARY)) || !record ||
        !record->IsKindOf(&classCQZObject)) {
        if (result) *result = LOCATOR_FAILED;
        return nullptr;
    }
    SetMode(0);
    LocatorTimer whole(LocatorCounter::kRestore);
    DWORD waited;
    {
        LocatorTimer timer(LocatorCounter::kWaitAccess);
        waited = WaitForAccess(LOCATOR_ACCESS_READ, timeout);
    }
    if (result) *result = waited;
    if (waited != LOCATOR_OK) return nullptr;

    const ClassReading reading = qzo::store::ReadClass(*this);
    CQZRuntimeClass* build = nullptr;
    if (reading.record) {
        if (reading.record->IsKindOf(record))
            build = record;
        else if (!(flags & LOCATOR_RESTORE_EXACTCLASS) && record->IsKindOf(reading.record))
            build = reading.record;
    }
    CQZObject* object = nullptr;
    if (build) {
        SetFlags(LOCATOR_BASECLASSONLY, LOCATOR_BASECLASSONLY);
        m_pClass = build;
        object = LocatorLife::Reconstruct(*this, build);
    }
    if (!object && result) *result = LOCATOR_FAILED;
    qzo::store::Finish(*this);
    return object;
}
