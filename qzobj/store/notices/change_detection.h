// Change detection between processes and computers: whether an object's file changed since the
// object was read, answered from the change table when it knows the object and from the file
// otherwise, and what unlocking an object file records and announces.
#pragma once

#include <functional>
#include <optional>

#include "qzobj/location.h"
#include "qzobj/perf.h"
#include "qzobj/store/notices/change_table.h"
#include "qzobj/store/notices/locator_mailslot.h"
#include "qzobj/store/objfile/locfile.h"

namespace qzo::store {

// The working project's change notices as the locator keeps them. The pointers are not owned.
struct ChangeNotices {
    ChangeTable* table = nullptr;
    LocMailslot* mailslot = nullptr;
    DWORD dwDefProjID = LOCATION_NO_PROJID;

    // The table that answers for objects of `projID`: the working project's table, and only while
    // this process's mailslot serves that project. A process that could not open the mailslot
    // (another process of its computer owns it) hears no notices, so its table would go stale:
    // null then, and change detection reads the file.
    ChangeTable* TableFor(DWORD projID) const;
};

// What change detection learns from the object file.
struct FileFacts {
    bool readable = false;       // attributes and last-write time could be read
    bool markedDeleted = false;  // the read-only attribute, the deletion mark of object files
    FILETIME lastWrite{};
};

// The file's attributes and last-write time in one status read.
FileFacts ReadFileFacts(const WCHAR* path);

// The table's answer (ChangeTable::Lookup): the same time means unchanged, another time
// changed; an object the table does not know leaves the question to the file (nullopt).
std::optional<BOOL> ChangeFromTable(DWORD tableAnswer);
// Unreadable or marked deleted means changed; else whether the file was written after the
// time the object was read at.
BOOL ChangeFromFile(const FileFacts& file, const FILETIME& objectTime);

struct SnoopRequest {
    DWORD objID = LOCATION_NO_OBJID;
    DWORD projID = LOCATION_NO_PROJID;
    const WCHAR* path = nullptr;     // the object file
    FILETIME objectTime{};           // the last-write time the object was read at
    CBasePerfItem* timer = nullptr;  // times the file read when set
    // Reads the file's facts; null for ReadFileFacts.
    std::function<FileFacts(const WCHAR*)> readFile;
};

// TRUE when the object's file changed since the object was read. The locator answers FALSE
// itself for an invalid, virtual or currently open locator before asking. Objects the serving
// table knows are answered without touching the file; a file read for an object of the served
// project the table did not know stores the file's time there.
BOOL SnoopChange(const SnoopRequest& request, const ChangeNotices& notices);

// What unlocking records for an object of the working project: the file's last-write time in
// the serving table and, when the file was written while open, the change message to the
// workgroup. FALSE (nothing done) for objects of other projects.
BOOL StoreUnlockTime(LocFile& file, const Location& location, const ChangeNotices& notices);

// StoreUnlockTime, then the header lock's release. FALSE without a file or when the release
// fails.
BOOL UnlockObject(LocFile* file, const Location& location, const ChangeNotices& notices);

}  // namespace qzo::store
