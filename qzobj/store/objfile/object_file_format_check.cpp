// What a reader trusts in an object file: the header and index checks against the file's length,
// the slots that may be listed and loaded, and the undo list built from them.
#include <algorithm>
#include <cstring>

#include "qzobj/store/objfile/object_file_format.h"

namespace qzo::store::object_file_format {
namespace {

FileVerdict CheckHeader(const ObjectFileHeader& header) {
    if (header.dwMagic != kMagic) return FileVerdict::kBadMagic;
    if (header.dwHeaderSize != kHeaderSize) return FileVerdict::kBadHeaderSize;
    if (header.dwIndexOffset != kIndexOffset || header.dwNTOffset != kNTOffset ||
        header.dwVersionsOffset != kVersionsOffset) {
        return FileVerdict::kBadOffsets;
    }
    if (header.dwClassCount != kClassRecordCount) return FileVerdict::kBadClassCount;
    for (const tagOBJHERITAGE& record : header.classes) {
        if (!record.IsWellFormed()) return FileVerdict::kBadClassRecord;
    }
    return FileVerdict::kUsable;
}

FileVerdict CheckIndexHeader(const HistoryIndexHeader& header, uint64_t fileLength) {
    if (header.dwSize != kIndexSize) return FileVerdict::kBadIndexSize;
    if (header.dwSlotCount != kSlotCount) return FileVerdict::kBadSlotCount;
    if (header.dwCurrent == kNoSlot) return FileVerdict::kNoCurrentSlot;
    if (header.dwCurrent >= kSlotCount) return FileVerdict::kBadCurrentSlot;
    if (header.dwDataEnd < kVersionsOffset || uint64_t(header.dwDataEnd) > fileLength) {
        return FileVerdict::kBadDataEnd;
    }
    return FileVerdict::kUsable;
}

// The range checks of one slot; the data end is already known to lie inside the file.
bool SlotRangeFits(const HistoryIndex& index, DWORD slot, uint64_t fileLength) {
    const HistorySlot& record = index.slots[slot];
    if (record.dwModifyCnt == 0) return false;
    const uint64_t offset = record.dwOffset;
    const uint64_t end = SlotEnd(index, slot);
    const uint64_t dataEnd = index.header.dwDataEnd;
    return offset >= kVersionsOffset && offset <= end && end <= dataEnd && end <= fileLength;
}

// Of the slots passing the range checks, those repeating another one's ModifyCnt are dropped;
// the current slot keeps its own, so only its rivals go.
uint64_t DropRepeatedStamps(const HistoryIndex& index, uint64_t fitting, DWORD current) {
    uint64_t valid = fitting;
    for (DWORD i = 0; i < kSlotCount; ++i) {
        if (!(fitting >> i & 1u) || i == current) continue;
        for (DWORD j = 0; j < kSlotCount; ++j) {
            if (j != i && (fitting >> j & 1u) &&
                index.slots[j].dwModifyCnt == index.slots[i].dwModifyCnt) {
                valid &= ~(uint64_t(1) << i);
                break;
            }
        }
    }
    return valid;
}

}  // namespace

const char* VerdictText(FileVerdict verdict) {
    switch (verdict) {
        case FileVerdict::kUsable:
            return "usable";
        case FileVerdict::kTruncated:
            return "file too short for header and index";
        case FileVerdict::kBadMagic:
            return "wrong magic";
        case FileVerdict::kBadHeaderSize:
            return "wrong header size";
        case FileVerdict::kBadOffsets:
            return "wrong part offsets";
        case FileVerdict::kBadClassCount:
            return "wrong class record count";
        case FileVerdict::kBadClassRecord:
            return "malformed class record";
        case FileVerdict::kBadIndexSize:
            return "wrong history index size";
        case FileVerdict::kBadSlotCount:
            return "wrong slot count";
        case FileVerdict::kNoCurrentSlot:
            return "no current slot";
        case FileVerdict::kBadCurrentSlot:
            return "current slot out of range";
        case FileVerdict::kEmptyCurrentSlot:
            return "current slot empty";
        case FileVerdict::kBadDataEnd:
            return "data end outside the file";
        case FileVerdict::kInvalidCurrentSlot:
            return "current slot outside the data";
    }
    return "unknown";
}

DWORD SlotEnd(const HistoryIndex& index, DWORD slot) {
    const DWORD own = slot < kSlotCount ? index.slots[slot].dwEnd : 0;
    return own != 0 ? own : index.header.dwDataEnd;
}

HistoryCheck CheckHistory(const ObjectFileHeader& header, const HistoryIndex& index,
                          uint64_t fileLength) {
    HistoryCheck check;
    if (fileLength < kVersionsOffset) {
        check.verdict = FileVerdict::kTruncated;
        // A header or index error tells more than the length does; report it when there is one.
        const FileVerdict shape = CheckHeader(header);
        if (shape != FileVerdict::kUsable) check.verdict = shape;
        return check;
    }
    check.verdict = CheckHeader(header);
    if (check.verdict != FileVerdict::kUsable) return check;
    check.verdict = CheckIndexHeader(index.header, fileLength);
    if (check.verdict != FileVerdict::kUsable) return check;
    const DWORD current = index.header.dwCurrent;
    if (index.slots[current].dwModifyCnt == 0) {
        check.verdict = FileVerdict::kEmptyCurrentSlot;
        return check;
    }
    uint64_t fitting = 0;
    for (DWORD i = 0; i < kSlotCount; ++i) {
        if (SlotRangeFits(index, i, fileLength)) fitting |= uint64_t(1) << i;
    }
    if (!(fitting >> current & 1u)) {
        check.verdict = FileVerdict::kInvalidCurrentSlot;
        return check;
    }
    check.validSlots = DropRepeatedStamps(index, fitting, current);
    return check;
}

HistoryCheck ReadHistory(const BYTE* bytes, size_t count, uint64_t fileLength,
                         ObjectFileHeader& header, HistoryIndex& index) {
    if (bytes == nullptr || count < kNTOffset || fileLength < kNTOffset) return HistoryCheck{};
    HeaderBytes headerBytes;
    IndexBytes indexBytes;
    std::memcpy(headerBytes, bytes, kHeaderSize);
    std::memcpy(indexBytes, bytes + kIndexOffset, kIndexSize);
    header = DecodeHeader(headerBytes);
    index = DecodeIndex(indexBytes);
    return CheckHistory(header, index, fileLength);
}

void CountUndoRedo(const HistoryIndex& index, const HistoryCheck& check, unsigned& undo,
                   unsigned& redo) {
    undo = 0;
    redo = 0;
    if (!check.IsUsable()) return;
    const DWORD currentStamp = index.slots[index.header.dwCurrent].dwModifyCnt;
    for (DWORD i = 0; i < kSlotCount; ++i) {
        if (!check.IsValidSlot(i)) continue;
        if (index.slots[i].dwModifyCnt < currentStamp) ++undo;
        if (index.slots[i].dwModifyCnt > currentStamp) ++redo;
    }
}

unsigned CountListed(const HistoryCheck& check) {
    if (!check.IsUsable()) return 0;
    unsigned count = 0;
    for (DWORD i = 0; i < kSlotCount; ++i) count += check.IsValidSlot(i) ? 1u : 0u;
    return count;
}

unsigned BuildUndoList(const HistoryIndex& index, const HistoryCheck& check, tagUNDOLIST* list,
                       unsigned max) {
    if (list == nullptr || !check.IsUsable()) return 0;
    DWORD order[kSlotCount];
    unsigned listed = 0;
    for (DWORD i = 0; i < kSlotCount; ++i) {
        if (check.IsValidSlot(i)) order[listed++] = i;
    }
    std::sort(order, order + listed, [&index](DWORD a, DWORD b) {
        return index.slots[a].dwModifyCnt < index.slots[b].dwModifyCnt;
    });
    const unsigned written = std::min(listed, max);
    for (unsigned n = 0; n < written; ++n) {
        const HistorySlot& slot = index.slots[order[n]];
        tagUNDOLIST& entry = list[n];
        entry.dwModifyCnt = slot.dwModifyCnt;
        const uint64_t length = uint64_t(SlotEnd(index, order[n])) - slot.dwOffset;
        entry.dwSizeKB = static_cast<DWORD>((length + 512) >> 10);
        std::memcpy(entry.szComment, slot.szComment, sizeof(entry.szComment));
        entry.dwModifyID = slot.dwModifyID;
    }
    return written;
}

}  // namespace qzo::store::object_file_format
