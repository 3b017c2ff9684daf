// What a locator does with an open object file: reading and judging its header and history,
// finding or loading the stored class, rebuilding an object, and writing versions, as the
// library's locator sources share them.
#pragma once

#include "qzobj/locator.h"
#include "qzobj/store/object_file_format.h"

namespace qzo::store {

// What reading an open file's header and history found.
struct ClassReading {
    CQZRuntimeClass* record = nullptr;  // the class to rebuild with; null when refused
    bool libraryLoaded = false;         // a class library had to be loaded for it
    bool baseClassOnly = false;         // only a base class of the stored class is available
    object_file_format::FileVerdict verdict = object_file_format::FileVerdict::kTruncated;
    Location storedLocation;  // the location recorded in the header
};

// Thread safety: as Locator; every function works on one locator that holds its file's header
// lock.
struct LocatorLife {
    // Reads and validates the header and index of `locator`'s open file, caches the layout and
    // the current slot's range in the file, and finds the class: for `historyOnly` the root
    // persistent class, otherwise the first heritage record whose class is registered or whose
    // library loads. A refused file gives a null record (and its verdict); a base-class-only
    // answer marks the locator.
    static ClassReading CheckClassPresence(Locator& locator, bool historyOnly);
};

}  // namespace qzo::store
