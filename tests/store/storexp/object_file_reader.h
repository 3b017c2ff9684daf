// A reader of object files written for the tests, independent of the library's own codec: the
// history index (header and 64 slots), the writer's trailer, and the payload of the test class
// found by walking a version's top-level chunks. Also the invariants a closed file must keep.
// Header only, shared by the cross-process and the crash-sweep tests.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/storexp/payload_object.h"

namespace qzo::test::store {

inline constexpr uint64_t kIndexAt = 2236;
inline constexpr uint64_t kIndexBytes = 5684;
inline constexpr uint64_t kSlotsAt = kIndexAt + 52;
inline constexpr uint64_t kSlotBytes = 88;
inline constexpr unsigned kSlots = 64;
inline constexpr uint64_t kVersionsAt = 10240;
inline constexpr uint64_t kTrailerBytes = 168;
inline constexpr uint32_t kNoCurrentSlot = 0xFFFFFFFFu;

inline uint32_t Word(const std::string& bytes, uint64_t at) {
    if (at + 4 > bytes.size()) return 0;
    return GetWord(reinterpret_cast<const BYTE*>(bytes.data() + at));
}

struct SlotImage {
    uint32_t modifyCnt = 0;  // 0: empty
    uint32_t offset = 0;
    uint32_t end = 0;  // 0: the index's data end
    uint32_t modifyID = 0;
};

struct IndexImage {
    bool readable = false;  // the file holds a whole index of the right size
    uint32_t current = kNoCurrentSlot;
    uint32_t dataEnd = 0;
    uint32_t slotCount = 0;
    SlotImage slots[kSlots];
    uint64_t fileLength = 0;

    // The end of slot `i`'s data as a reader takes it.
    uint64_t EndOf(unsigned i) const { return slots[i].end ? slots[i].end : dataEnd; }
};

inline IndexImage ReadIndex(const std::string& file) {
    IndexImage image;
    image.fileLength = file.size();
    if (file.size() < kIndexAt + kIndexBytes || Word(file, kIndexAt) != kIndexBytes) return image;
    image.readable = true;
    image.current = Word(file, kIndexAt + 8);
    image.dataEnd = Word(file, kIndexAt + 12);
    image.slotCount = Word(file, kIndexAt + 16);
    for (unsigned i = 0; i < kSlots; ++i) {
        const uint64_t at = kSlotsAt + kSlotBytes * i;
        image.slots[i] =
            SlotImage{Word(file, at), Word(file, at + 4), Word(file, at + 8), Word(file, at + 12)};
    }
    return image;
}

// What a version's bytes hold: the payload's tag and size when they check out.
struct VersionContent {
    uint32_t tag = 0;
    uint32_t size = 0;
};

// Walks the top-level chunks of [begin, end) and takes the payload head (a 16-byte chunk starting
// with the magic) and the chunk after it as the body. Nothing when the range or a chunk runs past
// the bytes, or the payload does not check out.
inline std::optional<VersionContent> ReadVersion(const std::string& file, uint64_t begin,
                                                 uint64_t end) {
    if (begin > end || end > file.size()) return std::nullopt;
    std::vector<std::pair<uint64_t, uint64_t>> chunks;  // payload position, size
    for (uint64_t at = begin; at < end;) {
        if (at + 8 > end) return std::nullopt;
        const uint64_t size = Word(file, at + 4);
        if (at + 8 + size > end) return std::nullopt;
        chunks.emplace_back(at + 8, size);
        at += 8 + size;
    }
    for (size_t i = 0; i + 1 < chunks.size(); ++i) {
        const auto [head, headSize] = chunks[i];
        if (headSize != kPayloadHeadSize || Word(file, head) != kPayloadMagic) continue;
        const uint32_t tag = Word(file, head + 4), size = Word(file, head + 8);
        const auto [body, bodySize] = chunks[i + 1];
        if (bodySize != size) return std::nullopt;
        const std::string bytes = file.substr(body, bodySize);
        if (PayloadChecksum(bytes) != Word(file, head + 12) || bytes != PayloadBody(tag, size))
            return std::nullopt;
        return VersionContent{tag, size};
    }
    return std::nullopt;
}

// The invariants of a closed, valid file; an empty answer when they hold, else what broke.
inline std::string CheckClosedFile(const std::string& file) {
    const IndexImage index = ReadIndex(file);
    if (!index.readable) return "no readable index";
    if (index.slotCount != kSlots) return "slot count " + std::to_string(index.slotCount);
    if (index.current >= kSlots) return "current slot " + std::to_string(index.current);
    if (index.slots[index.current].modifyCnt == 0) return "current slot is empty";
    if (index.fileLength != index.dataEnd)
        return "length " + std::to_string(index.fileLength) + " != data end " +
               std::to_string(index.dataEnd);
    std::set<uint32_t> stamps;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (unsigned i = 0; i < kSlots; ++i) {
        const SlotImage& slot = index.slots[i];
        if (slot.modifyCnt == 0) continue;
        if (!stamps.insert(slot.modifyCnt).second)
            return "ModifyCnt " + std::to_string(slot.modifyCnt) + " twice";
        const uint64_t end = index.EndOf(i);
        if (slot.offset < kVersionsAt || end < slot.offset || end > index.dataEnd)
            return "slot " + std::to_string(i) + " range out of bounds";
        for (const auto& [begin, other] : ranges)
            if (slot.offset < other && begin < end)
                return "slot " + std::to_string(i) + " overlaps another";
        ranges.emplace_back(slot.offset, end);
    }
    return {};
}

// The writer's trailer at `at`: its computer name when the magic "IAZQ" is there, else nothing.
inline std::optional<std::string> TrailerComputer(const std::string& file, uint64_t at) {
    if (at + kTrailerBytes > file.size() || file.compare(at, 4, "IAZQ") != 0) return std::nullopt;
    std::string name;
    for (uint64_t i = 0; i < 16; ++i) {
        const char16_t unit =
            char16_t(uint8_t(file[at + 8 + 2 * i]) | uint8_t(file[at + 9 + 2 * i]) << 8);
        if (unit == 0) break;
        name += char(unit);
    }
    return name;
}

}  // namespace qzo::test::store
