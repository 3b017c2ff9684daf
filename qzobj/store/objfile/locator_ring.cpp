// The history ring's planning of a new version.
#include "qzobj/store/objfile/locator_ring.h"

#include <algorithm>

#include "qzobj/store/objfile/locfile_format.h"

namespace qzo::store {
namespace {

namespace fmt = object_file_format;

DWORD NextSlot(DWORD current) {
    if (current >= fmt::kSlotCount) return 0;
    return current + 1 >= fmt::kSlotCount ? 1 : current + 1;
}

}  // namespace

VersionPlan PlanVersion(const fmt::HistoryIndex& index, DWORD modifyCnt, uint64_t size) {
    VersionPlan plan;
    const DWORD current = index.header.dwCurrent;
    const bool hasCurrent = current < fmt::kSlotCount;
    const DWORD currentCnt = hasCurrent ? index.slots[current].dwModifyCnt : 0;
    plan.slot = NextSlot(current);
    plan.offset = hasCurrent ? fmt::SlotEnd(index, current) : fmt::kVersionsOffset;
    plan.end = plan.offset + size;
    plan.fits = plan.end + locfile_format::kAccessInfoSize <= kLargestFileEnd;

    plan.emptied = index;
    uint64_t dataEnd = plan.end;
    for (DWORD slot = 0; slot < fmt::kSlotCount; ++slot) {
        fmt::HistorySlot& record = plan.emptied.slots[slot];
        if (record.dwModifyCnt == 0) continue;
        const uint64_t start = record.dwOffset;
        const uint64_t stop = fmt::SlotEnd(index, slot);
        const bool overlaps = start < plan.end && plan.offset < stop;
        const bool doomed =
            slot != current && (slot == plan.slot || record.dwModifyCnt >= modifyCnt ||
                                record.dwModifyCnt > currentCnt || overlaps);
        if (doomed) {
            record = fmt::HistorySlot{};
        } else {
            if (record.dwEnd == 0) record.dwEnd = DWORD(stop);
            dataEnd = std::max(dataEnd, stop);
            if (record.dwEnd == index.slots[slot].dwEnd) continue;
        }
        plan.firstChanged = std::min(plan.firstChanged, slot);
        plan.lastChanged = std::max(plan.lastChanged, slot);
    }

    plan.final = plan.emptied;
    fmt::HistorySlot& fresh = plan.final.slots[plan.slot];
    fresh = fmt::HistorySlot{};
    fresh.dwModifyCnt = modifyCnt;
    fresh.dwOffset = DWORD(plan.offset);
    fresh.dwEnd = DWORD(plan.end);
    plan.final.header.dwCurrent = plan.slot;
    plan.final.header.dwDataEnd = DWORD(dataEnd);
    return plan;
}

}  // namespace qzo::store
