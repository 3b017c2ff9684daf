// The history index of an object file as the inspection verbs read it: every slot, the current
// one and the data end, checked against the file's length before anything is trusted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qzo::tool {

struct SlotView {
    uint32_t slot = 0;
    uint32_t modifyCnt = 0;  // 0: empty
    uint32_t offset = 0;
    uint32_t end = 0;  // the slot's own end, or the data end when it records none
    uint32_t modifyID = 0;
    std::string comment;
};

struct HistoryView {
    uint32_t current = 0xFFFFFFFFu;
    uint32_t dataEnd = 0;
    uint32_t classFlags = 0;
    std::vector<SlotView> slots;  // all 64, empty ones included
    // The non-empty slots.
    std::vector<SlotView> Listed() const;
};

// Reads the index of an object file's bytes. False with `error` set when the bytes are too short
// for header and index or the index's own size and slot count are wrong. The current slot and
// ranges are not judged here (CheckCurrent does that).
bool ReadHistoryView(const std::vector<uint8_t>& bytes, HistoryView& view, std::string& error);

// False with `error` set when there is no usable current version: none yet, out of range, empty,
// a data end outside [10240, file length] or a current range outside the version area.
bool CheckCurrent(const HistoryView& view, uint64_t fileLength, std::string& error);

// Reads a whole object file and its index; false with `error` set.
bool LoadHistoryView(const char* path, HistoryView& view, uint64_t& fileLength, std::string& error);

}  // namespace qzo::tool
