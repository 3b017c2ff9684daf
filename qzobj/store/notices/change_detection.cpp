// Change detection: the table-or-file decision, the file's facts, and the record an unlock
// leaves in the table and in the workgroup.
#include "qzobj/store/notices/change_detection.h"

#include <string>

#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/store/locator/locator_access.h"

namespace qzo::store {
namespace {

// Runs `read` timed under `timer` when one is given.
FileFacts TimedRead(const SnoopRequest& request) {
    const ULONGLONG start = request.timer ? CBasePerfItem::GetCount() : 0;
    FileFacts facts =
        request.readFile ? request.readFile(request.path) : ReadFileFacts(request.path);
    if (request.timer) request.timer->Lapse(start);
    return facts;
}

}  // namespace

ChangeTable* ChangeNotices::TableFor(DWORD projID) const {
    if (!table || !mailslot || projID == LOCATION_NO_PROJID || projID != dwDefProjID)
        return nullptr;
    return mailslot->GetProjID() == projID ? table : nullptr;
}

FileFacts ReadFileFacts(const WCHAR* path) {
    FileFacts facts;
    std::string native;
    qzo::platform::FileStatus status;
    if (!path || !qzo::platform::ResolveFilePath(path, native) ||
        !qzo::platform::GetFileStatus(native, status))
        return facts;
    facts.readable = true;
    facts.markedDeleted = (status.attributes & FILE_ATTRIBUTE_READONLY) != 0;
    facts.lastWrite = status.lastWrite;
    return facts;
}

std::optional<BOOL> ChangeFromTable(DWORD tableAnswer) {
    if (tableAnswer == ChangeTable::kSameTime) return FALSE;
    if (tableAnswer == ChangeTable::kOtherTime) return TRUE;
    return std::nullopt;
}

BOOL ChangeFromFile(const FileFacts& file, const FILETIME& objectTime) {
    if (!file.readable || file.markedDeleted) return TRUE;
    return qzo::platform::FileTimeValue(file.lastWrite) > qzo::platform::FileTimeValue(objectTime)
               ? TRUE
               : FALSE;
}

BOOL SnoopChange(const SnoopRequest& request, const ChangeNotices& notices) {
    ChangeTable* table = notices.TableFor(request.projID);
    DWORD answer = ChangeTable::kNotFound;
    if (table) {
        answer = table->Lookup(request.objID, request.objectTime);
        if (const std::optional<BOOL> known = ChangeFromTable(answer)) return *known;
    }
    const FileFacts facts = TimedRead(request);
    if (!facts.readable) return TRUE;
    if (table && answer == ChangeTable::kNotFound) table->Set(request.objID, facts.lastWrite);
    return ChangeFromFile(facts, request.objectTime);
}

BOOL StoreUnlockTime(LocFile& file, const Location& location, const ChangeNotices& notices) {
    if (location.dwProjID == LOCATION_NO_PROJID || location.dwProjID != notices.dwDefProjID)
        return FALSE;
    if (ChangeTable* table = notices.TableFor(location.dwProjID)) {
        FILETIME lastWrite{};
        if (file.GetLastWriteTime(&lastWrite)) table->Set(location.dwObjID, lastWrite);
    }
    if (file.IsModified() && notices.mailslot) notices.mailslot->SendChange(location);
    return TRUE;
}

BOOL UnlockObject(LocFile* file, const Location& location, const ChangeNotices& notices) {
    if (!file) return FALSE;
    StoreUnlockTime(*file, location, notices);
    return file->Unlock(0, kHeaderLockLength);
}

}  // namespace qzo::store
