// Reading an object file's history index for the inspection verbs.
#include "history_view.h"

#include "chunk_tree.h"

namespace qzo::tool {
namespace {

constexpr uint32_t kIndexOffset = 2236;
constexpr uint32_t kIndexSize = 5684;
constexpr uint32_t kIndexHeaderSize = 52;
constexpr uint32_t kNTOffset = 7920;
constexpr uint32_t kVersionsOffset = 10240;
constexpr uint32_t kSlotCount = 64;
constexpr uint32_t kSlotSize = 88;
constexpr uint32_t kCommentUnits = 32;

}  // namespace

std::vector<SlotView> HistoryView::Listed() const {
    std::vector<SlotView> listed;
    for (const SlotView& slot : slots)
        if (slot.modifyCnt != 0) listed.push_back(slot);
    return listed;
}

bool ReadHistoryView(const std::vector<uint8_t>& bytes, HistoryView& view, std::string& error) {
    if (bytes.size() < kNTOffset) {
        error = "truncated: " + std::to_string(bytes.size()) +
                " bytes, fewer than the header and history index (7920)";
        return false;
    }
    const uint8_t* index = &bytes[kIndexOffset];
    if (Le32(index) != kIndexSize) {
        error = "history index size " + std::to_string(Le32(index)) + ", expected 5684";
        return false;
    }
    if (Le32(index + 16) != kSlotCount) {
        error = "slot count " + std::to_string(Le32(index + 16)) + ", expected 64";
        return false;
    }
    view.classFlags = Le32(index + 4);
    view.current = Le32(index + 8);
    view.dataEnd = Le32(index + 12);
    view.slots.clear();
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const uint8_t* slot = index + kIndexHeaderSize + i * kSlotSize;
        const uint32_t end = Le32(slot + 8);
        view.slots.push_back({i, Le32(slot), Le32(slot + 4), end ? end : view.dataEnd,
                              Le32(slot + 12), StoredText(slot + 16, kCommentUnits)});
    }
    return true;
}

bool CheckCurrent(const HistoryView& view, uint64_t fileLength, std::string& error) {
    if (view.current == 0xFFFFFFFFu) {
        error = "no current version: the first commit never ended";
    } else if (view.current >= kSlotCount) {
        error = "current slot " + std::to_string(view.current) + " is out of range";
    } else if (view.slots[view.current].modifyCnt == 0) {
        error = "current slot " + std::to_string(view.current) + " is empty";
    } else if (view.dataEnd < kVersionsOffset || view.dataEnd > fileLength) {
        error = "data end " + std::to_string(view.dataEnd) + " lies outside [10240, " +
                std::to_string(fileLength) + "]";
    } else {
        const SlotView& slot = view.slots[view.current];
        if (slot.offset >= kVersionsOffset && slot.offset <= slot.end && slot.end <= view.dataEnd)
            return true;
        error = "current slot's data range is outside the version area";
    }
    return false;
}

bool LoadHistoryView(const char* path, HistoryView& view, uint64_t& fileLength,
                     std::string& error) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, error)) return false;
    fileLength = bytes.size();
    return ReadHistoryView(bytes, view, error);
}

}  // namespace qzo::tool
