// What a locator does with an open object file: reading and judging its header and history,
// finding or loading the stored class, rebuilding an object, and writing versions, as the
// library's locator sources share them.
#pragma once

#include "qzobj/locator.h"
#include "qzobj/store/objfile/object_file_format.h"

class CQZObject;

namespace qzo::store {

// What reading an open file's header and history found.
struct ClassReading {
    CQZRuntimeClass* record = nullptr;  // the class to rebuild with; null when refused
    bool libraryLoaded = false;         // a class library had to be loaded for it
    bool baseClassOnly = false;         // only a base class of the stored class is available
    object_file_format::FileVerdict verdict = object_file_format::FileVerdict::kTruncated;
    Location storedLocation;  // the location recorded in the header
};

// The history of an open file as the last read or write left it.
struct HistoryView {
    object_file_format::HistoryIndex index;
    object_file_format::HistoryCheck check;
};

// Thread safety: as Locator; every function works on one locator that holds its file's header
// lock (the functions that take it say so).
struct LocatorLife {
    // Creates an object of `record` for `locator` (CreateObject; `objID` 0 takes the next ID).
    static CQZObject* Create(Locator& locator, DWORD objID, CQZRuntimeClass* record, DWORD flags);
    // Gives `object` its file: header, empty history and version 1 through its own commit.
    static bool CreateDiskObject(CQZObject& object, CQZRuntimeClass* record, DWORD objID,
                                 DWORD flags);
    // The self-locator of a temporary object: the class's identity, no file.
    static void MakeTemporary(CQZObject& object, CQZRuntimeClass* record);

    // Reads and validates the header and index of `locator`'s open file, caches the layout and
    // the current slot's range in the file, and finds the class: for `historyOnly` the root
    // persistent class, otherwise the first heritage record whose class is registered or whose
    // library loads. A refused file gives a null record (and its verdict); a base-class-only
    // answer marks the locator. A writer's reading also mends what an interrupted commit
    // or compaction left (RepairTail).
    static ClassReading CheckClassPresence(Locator& locator, bool historyOnly);

    // The cached history of `locator`'s file, judged against the file's length.
    static HistoryView CachedHistory(Locator& locator);

    // Mends what an interrupted commit or compaction left: lists a complete version behind the
    // data end, empties slots that fail the checks or repeat a kept ModifyCnt, and trims the file
    // to its data end. Only for a valid file open for writing; false when nothing was written.
    static bool RepairTail(Locator& locator);

    // Writes `object` as a new version (the file's header lock held): the staged NT block,
    // then unless NT-only the version in the ring with its slot record and the index header as
    // the commit point. Sets `written` when the file changed.
    static BOOL WriteVersion(Locator& locator, CQZObject& object, DWORD flags, bool& written);

    // Compacts the history into slot 0 (the file's header lock held, write access).
    static BOOL Compact(Locator& locator, bool flush);

    // Makes the last-write time strictly later than `before` (and than it was) and returns it.
    static FILETIME AdvanceLastWrite(Locator& locator, const FILETIME& before);

    // Rebuilds an object of `record` from the selected version of `locator`'s file.
    static CQZObject* Reconstruct(Locator& locator, CQZRuntimeClass* record);

    // The object's self-locator.
    static Locator& Self(CQZObject& object);

    // Makes `object`'s self-locator a copy of `locator` sharing its file.
    static void AdoptLocator(Locator& locator, CQZObject& object);

    // Opens (when needed) and locks `locator`'s file for reading the history, calls `use`, then
    // unlocks and releases what it opened. FALSE when the file could not be had or was refused.
    template <class Use>
    static BOOL WithHistory(Locator& locator, DWORD access, DWORD timeout, Use&& use);

    // The locator's access primitives (private members of Locator).
    static DWORD WaitForAccess(Locator& locator, DWORD access, DWORD timeout) {
        return locator.WaitForAccess(access, timeout);
    }
    static BOOL WaitForLock(Locator& locator, DWORD timeout) {
        return locator.WaitForLock(timeout);
    }
    static BOOL Unlock(Locator& locator) { return locator.Unlock(); }
    static LocFile*& File(Locator& locator) { return locator.m_pFile; }
    static Location& Where(Locator& locator) { return locator.m_Location; }
    static CQZRuntimeClass*& Class(Locator& locator) { return locator.m_pClass; }
    static void SetFlags(Locator& locator, DWORD mask, DWORD values) {
        locator.SetFlags(mask, values);
    }
    static void SetMode(Locator& locator, DWORD mode) { locator.SetMode(mode); }
    static BOOL LoadObject(Locator& locator, CQZObject* object) {
        return locator.LoadObject(object);
    }
};

template <class Use>
BOOL LocatorLife::WithHistory(Locator& locator, DWORD access, DWORD timeout, Use&& use) {
    const bool opened = locator.m_pFile == nullptr;
    if (opened) {
        if (locator.WaitForAccess(access, timeout) != 0) return FALSE;
    } else if (!locator.WaitForLock(timeout)) {
        return FALSE;
    }
    const ClassReading reading = CheckClassPresence(locator, true);
    BOOL result = FALSE;
    if (reading.record) result = use(CachedHistory(locator));
    locator.Unlock();
    if (opened) locator.ReleaseAccess();
    return result;
}

}  // namespace qzo::store
