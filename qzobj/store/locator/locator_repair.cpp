// The repair a writer makes when it reads a file that an interrupted commit or compaction left
// with bytes past its data end or with slots no reader may list: a complete version behind the
// data end is listed (the data end raised over it), every slot that fails the checks or repeats
// a kept ModifyCnt is emptied, and the file is cut at the data end.
#include <algorithm>
#include <vector>

#include "qzobj/archive/debug_print.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"

namespace qzo::store {
namespace {

namespace fmt = object_file_format;

constexpr int kNoticeLevel = 5;

struct Range {
    uint64_t offset;
    uint64_t end;
    DWORD modifyCnt;
};

bool Overlaps(const Range& a, const Range& b) {
    return a.offset < b.end && b.offset < a.end;
}

// Whether slot `slot` may stay listed next to the ranges already kept.
bool Keepable(const Range& range, const std::vector<Range>& kept, uint64_t content) {
    if (range.offset < fmt::kVersionsOffset || range.offset > range.end || range.end > content)
        return false;
    for (const Range& other : kept)
        if (other.modifyCnt == range.modifyCnt || Overlaps(other, range)) return false;
    return true;
}

}  // namespace

bool LocatorLife::RepairTail(Locator& locator) {
    LocFile* file = locator.m_pFile;
    if (!file || !(file->GetAccess() & LocFile::kWrite)) return false;
    uint64_t content = 0;
    if (!index_io::ContentLength(*file, content)) return false;
    fmt::HistoryIndex index = index_io::CachedIndex(*file);
    const DWORD current = index.header.dwCurrent;
    const DWORD oldEnd = index.header.dwDataEnd;
    if (current >= fmt::kSlotCount) return false;

    fmt::HistorySlot& currentSlot = index.slots[current];
    std::vector<Range> kept{
        {currentSlot.dwOffset, fmt::SlotEnd(index, current), currentSlot.dwModifyCnt}};
    uint64_t newEnd = std::max<uint64_t>(oldEnd, kept[0].end);
    DWORD first = fmt::kSlotCount, last = 0;
    auto touched = [&](DWORD slot) {
        first = std::min(first, slot);
        last = std::max(last, slot);
    };
    if (currentSlot.dwEnd == 0) {
        currentSlot.dwEnd = oldEnd;
        touched(current);
    }
    for (DWORD slot = 0; slot < fmt::kSlotCount; ++slot) {
        fmt::HistorySlot& record = index.slots[slot];
        if (slot == current || record.dwModifyCnt == 0) continue;
        const Range range{record.dwOffset, record.dwEnd ? record.dwEnd : oldEnd,
                          record.dwModifyCnt};
        if (!Keepable(range, kept, content)) {
            record = fmt::HistorySlot{};
            touched(slot);
            continue;
        }
        if (record.dwEnd == 0) {
            record.dwEnd = oldEnd;
            touched(slot);
        }
        kept.push_back(range);
        newEnd = std::max(newEnd, range.end);
    }
    if (first > last && content <= oldEnd) return false;  // nothing to mend
    index.header.dwDataEnd = DWORD(newEnd);
    DebugPrint(kNoticeLevel, u"\rLocator %08x: Repairing history, data end %u -> %u\r\n",
               locator.m_Location.dwObjID, oldEnd, DWORD(newEnd));

    // Slots first (emptied ones vanish, explicit ends mean what they meant), then the header
    // that lists what stays, then the cut.
    index_io::CacheIndex(*file, index);
    if (first <= last && !index_io::WriteSlots(*file, first, last)) return false;
    if (newEnd != oldEnd && !index_io::WriteIndexHeader(*file)) return false;
    index_io::SelectSlot(*file, index, current);
    return content <= newEnd || index_io::CutAt(*file, newEnd);
}

}  // namespace qzo::store
