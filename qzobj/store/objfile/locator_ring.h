// Where a new version goes in the history ring, and which slots it ends: a pure computation on
// the history index, shared by the commit and its tests.
#pragma once

#include <cstdint>

#include "qzobj/store/objfile/object_file_format.h"

namespace qzo::store {

// The largest file position a version may reach, the writer's 168-byte record included: file
// positions travel as signed 32-bit distances.
inline constexpr uint64_t kLargestFileEnd = 0x7FFFFFFFu;

struct VersionPlan {
    bool fits = false;  // the version and the writer's record stay within kLargestFileEnd
    DWORD slot = 0;     // the slot that takes the version
    uint64_t offset = 0;
    uint64_t end = 0;
    // The index once the doomed slots are emptied and every listed slot records its own end;
    // written before the data. `firstChanged` > `lastChanged` when no slot record changes.
    object_file_format::HistoryIndex emptied;
    DWORD firstChanged = object_file_format::kSlotCount;
    DWORD lastChanged = 0;
    // The index that lists the new version (its slot, current slot and data end).
    object_file_format::HistoryIndex final;
};

// Plans a version of `size` bytes stamped `modifyCnt`: the slot after the current one (slot 0
// for the first version, 1 after 63), its data starting where the current version's ends.
// Slots whose ModifyCnt reaches the new one or passes the current one (redo versions), the
// reused slot, and slots whose data overlap the new version's are emptied. The data end becomes
// the largest end still listed.
VersionPlan PlanVersion(const object_file_format::HistoryIndex& index, DWORD modifyCnt,
                        uint64_t size);

}  // namespace qzo::store
