// The tests' own object-file writer and reader (see store_image.h).
#include "store/support/store_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "qzobj/hashid.h"
#include "qzobj/objmodel.h"
#include "store/support/store_object.h"

namespace qzo::test::store {

void Put32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(at + i) = uint8_t(value >> (8 * i));
}

uint32_t Get32(const Bytes& bytes, size_t at) {
    if (at + 4 > bytes.size()) return 0;
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

void PutText(Bytes& bytes, size_t at, const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        bytes.at(at + 2 * i) = uint8_t(text[i]);
        bytes.at(at + 2 * i + 1) = uint8_t(text[i] >> 8);
    }
}

Bytes BytesOf(const void* data, size_t size) {
    const auto* at = static_cast<const uint8_t*>(data);
    return Bytes(at, at + size);
}

Bytes Concat(std::initializer_list<Bytes> pieces) {
    Bytes bytes;
    for (const Bytes& piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
    return bytes;
}

namespace {

Bytes Word(uint32_t value) {
    Bytes bytes(4);
    Put32(bytes, 0, value);
    return bytes;
}

// A chunk: the name's hash, the payload size, the payload.
Bytes Chunk(uint32_t id, const Bytes& payload) {
    return Concat({Word(id), Word(uint32_t(payload.size())), payload});
}

uint32_t ChunkID(const char* name) {
    return GetHashID(name);
}

// One chunk read from a byte range: its identifier and payload, or nothing when the header or
// the payload would pass `end`.
struct ParsedChunk {
    uint32_t id;
    size_t payloadAt;
    uint32_t size;
};

std::optional<ParsedChunk> ReadChunk(const Bytes& file, size_t at, size_t end) {
    end = std::min(end, file.size());
    if (at > end || end - at < 8) return std::nullopt;
    ParsedChunk chunk{Get32(file, at), at + 8, Get32(file, at + 4)};
    if (uint64_t(chunk.payloadAt) + chunk.size > end) return std::nullopt;
    return chunk;
}

}  // namespace

::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    const size_t common = std::min(actual.size(), expected.size());
    for (size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i]) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "first difference at offset %zu: %02X, expected %02X (lengths %zu, %zu)",
                          i, actual[i], expected[i], actual.size(), expected.size());
            return ::testing::AssertionFailure() << text;
        }
    }
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure()
               << "length " << actual.size() << ", expected " << expected.size();
    return ::testing::AssertionSuccess();
}

ImageClass ClassOf(const CQZRuntimeClass& record) {
    ImageClass image;
    image.hashID = record.dwHashID;
    // The GUID's stored form: Data1, Data2, Data3 little-endian, then Data4 as is.
    Bytes guid(16);
    Put32(guid, 0, record.guid.Data1);
    guid[4] = uint8_t(record.guid.Data2);
    guid[5] = uint8_t(record.guid.Data2 >> 8);
    guid[6] = uint8_t(record.guid.Data3);
    guid[7] = uint8_t(record.guid.Data3 >> 8);
    std::memcpy(&guid[8], record.guid.Data4, 8);
    std::memcpy(image.guid, guid.data(), 16);
    image.flags = record.dwFlags;
    for (size_t i = 0; i < MAX_PATH && record.szDLLPath[i]; ++i)
        image.path.push_back(record.szDLLPath[i]);
    return image;
}

ImageClass RootClass() {
    ImageClass root;
    root.hashID = kRootHashID;
    std::memcpy(root.guid, kRootGuid, 16);
    root.flags = 0x81;
    root.path = kRootLibraryPath;
    return root;
}

Bytes HeritageBytes(const ImageClass& record) {
    Bytes bytes(kHeritageSize, 0);
    Put32(bytes, 0, kHeritageSize);
    Put32(bytes, 4, record.hashID | 0xFC00u);
    std::memcpy(&bytes[8], record.guid, 16);
    Put32(bytes, 8, Get32(bytes, 8) ^ 0xFC00u);
    Put32(bytes, 24, record.flags);
    PutText(bytes, 28, record.path.substr(0, 259));
    return bytes;
}

Bytes EmptyHeritageBytes() {
    Bytes bytes(kHeritageSize, 0);
    Put32(bytes, 0, kHeritageSize);
    Put32(bytes, 4, 0xFC00u);
    return bytes;
}

ImageLocation ImageLocationOf(const Location& location) {
    return ImageLocation{location.dwHashID, location.dwObjID, location.dwProjID, location.dwDataID,
                         location.dwFlags};
}

Bytes HeaderBytes(const ImageLocation& location, const std::vector<ImageClass>& classes) {
    Bytes bytes(kHeaderSize, 0);
    std::memcpy(bytes.data(), "FOZQ", 4);
    Put32(bytes, 4, kHeaderSize);
    Put32(bytes, 8, location.hashID);
    Put32(bytes, 12, location.objID);
    Put32(bytes, 16, location.projID);
    Put32(bytes, 20, location.dataID);
    Put32(bytes, 24, location.flags & 0x00060000u);
    Put32(bytes, 28, kIndexOffset);
    Put32(bytes, 32, kNTOffset);
    Put32(bytes, 36, kVersionsOffset);
    Put32(bytes, 40, 4);
    for (size_t i = 0; i < 4; ++i) {
        const Bytes record = i < classes.size() ? HeritageBytes(classes[i]) : EmptyHeritageBytes();
        std::copy(record.begin(), record.end(), bytes.begin() + 44 + long(i * kHeritageSize));
    }
    return bytes;
}

ImageIndex OneVersionIndex(uint32_t classFlags, uint32_t versionSize) {
    ImageIndex index;
    index.classFlags = classFlags;
    index.current = 0;
    index.dataEnd = kVersionsOffset + versionSize;
    index.slots[0] = {1, kVersionsOffset, index.dataEnd, 0, u"Create"};
    return index;
}

Bytes SlotBytes(const ImageSlot& slot) {
    Bytes bytes(kSlotSize, 0);
    Put32(bytes, 0, slot.modifyCnt);
    Put32(bytes, 4, slot.offset);
    Put32(bytes, 8, slot.end);
    Put32(bytes, 12, slot.modifyID);
    PutText(bytes, 16, slot.comment.substr(0, kCommentUnits));
    return bytes;
}

Bytes IndexBytes(const ImageIndex& index) {
    Bytes bytes(kIndexHeaderSize, 0);
    Put32(bytes, 0, index.size);
    Put32(bytes, 4, index.classFlags);
    Put32(bytes, 8, index.current);
    Put32(bytes, 12, index.dataEnd);
    Put32(bytes, 16, index.slotCount);
    for (const ImageSlot& slot : index.slots) {
        const Bytes one = SlotBytes(slot);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

Bytes UndoEntryBytes(uint32_t modifyCnt, uint32_t sizeKB, const std::u16string& comment,
                     uint32_t modifyID) {
    Bytes bytes(76, 0);
    Put32(bytes, 0, modifyCnt);
    Put32(bytes, 4, sizeKB);
    PutText(bytes, 8, comment.substr(0, kCommentUnits));
    Put32(bytes, 72, modifyID);
    return bytes;
}

Bytes RootVersionBytes(uint32_t version) {
    return Chunk(kRootHashID, Chunk(kRootHashID, Word(version)));
}

Bytes RootNTBytes() {
    return Chunk(kRootHashID, {});
}

Bytes TestVersionBytes(uint32_t version, uint32_t tag, const Bytes& payload) {
    const Bytes head = Concat({Word(kHeadMagic), Word(tag), Word(uint32_t(payload.size())),
                               Word(PayloadChecksum(payload))});
    return Concat({RootVersionBytes(version), Chunk(ChunkID(kHeadChunk), head),
                   Chunk(ChunkID(kPayloadChunk), payload)});
}

Bytes TestNTBytes(uint32_t ntValue) {
    return Concat({RootNTBytes(), Chunk(ChunkID(kNTValueChunk), Word(ntValue))});
}

Bytes FileBytes(const ImageLocation& location, const std::vector<ImageClass>& classes,
                const ImageIndex& index, const Bytes& nt, const Bytes& versions) {
    Bytes ntArea(kVersionsOffset - kNTOffset, 0);
    std::copy(nt.begin(), nt.begin() + long(std::min<size_t>(nt.size(), ntArea.size())),
              ntArea.begin());
    return Concat({HeaderBytes(location, classes), IndexBytes(index), ntArea, versions});
}

ImageIndex ParseIndex(const Bytes& file) {
    ImageIndex index;
    index.size = 0;
    if (file.size() < kNTOffset) return index;
    index.size = Get32(file, kIndexOffset);
    index.classFlags = Get32(file, kIndexOffset + 4);
    index.current = Get32(file, kIndexOffset + 8);
    index.dataEnd = Get32(file, kIndexOffset + 12);
    index.slotCount = Get32(file, kIndexOffset + 16);
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const size_t at = SlotOffset(i);
        ImageSlot& slot = index.slots[i];
        slot.modifyCnt = Get32(file, at);
        slot.offset = Get32(file, at + 4);
        slot.end = Get32(file, at + 8);
        slot.modifyID = Get32(file, at + 12);
        for (uint32_t u = 0; u < kCommentUnits; ++u) {
            const char16_t unit = char16_t(file[at + 16 + 2 * u] | file[at + 17 + 2 * u] << 8);
            if (!unit) break;
            slot.comment.push_back(unit);
        }
    }
    return index;
}

uint32_t SlotEnd(const ImageIndex& index, uint32_t slot) {
    return index.slots[slot].end ? index.slots[slot].end : index.dataEnd;
}

bool SlotInBounds(const ImageIndex& index, uint32_t slot, uint64_t fileLength) {
    if (slot >= kSlotCount || index.slots[slot].modifyCnt == 0) return false;
    const uint64_t offset = index.slots[slot].offset;
    const uint64_t end = SlotEnd(index, slot);
    return kVersionsOffset <= offset && offset <= end && end <= index.dataEnd &&
           index.dataEnd <= fileLength;
}

std::optional<VersionContent> ReadVersion(const Bytes& file, uint64_t begin, uint64_t end) {
    if (begin > end || end > file.size()) return std::nullopt;
    std::vector<ParsedChunk> chunks;
    for (uint64_t at = begin; at < end;) {
        const auto chunk = ReadChunk(file, at, end);
        if (!chunk) return std::nullopt;
        chunks.push_back(*chunk);
        at = chunk->payloadAt + chunk->size;
    }
    // The root's chunk holding its version chunk, the head, the payload.
    if (chunks.size() != 3 || chunks[0].id != kRootHashID || chunks[0].size != 12 ||
        chunks[1].id != ChunkID(kHeadChunk) || chunks[1].size != kHeadSize ||
        chunks[2].id != ChunkID(kPayloadChunk))
        return std::nullopt;
    const size_t head = chunks[1].payloadAt, body = chunks[2].payloadAt;
    const VersionContent content{Get32(file, chunks[0].payloadAt + 8), Get32(file, head + 4),
                                 Get32(file, head + 8)};
    const Bytes payload(file.begin() + long(body), file.begin() + long(body + chunks[2].size));
    if (Get32(file, head) != kHeadMagic || content.size != payload.size() ||
        PayloadChecksum(payload) != Get32(file, head + 12) ||
        payload != PayloadFor(content.tag, content.size))
        return std::nullopt;
    return content;
}

std::string CheckClosedFile(const Bytes& file) {
    const ImageIndex index = ParseIndex(file);
    if (index.size != kIndexSize) return "no readable index";
    if (index.slotCount != kSlotCount) return "slot count " + std::to_string(index.slotCount);
    if (index.current >= kSlotCount) return "current slot " + std::to_string(index.current);
    if (index.slots[index.current].modifyCnt == 0) return "current slot is empty";
    if (file.size() != index.dataEnd)
        return "length " + std::to_string(file.size()) + " != data end " +
               std::to_string(index.dataEnd);
    std::set<uint32_t> stamps;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const ImageSlot& slot = index.slots[i];
        if (slot.modifyCnt == 0) continue;
        if (!stamps.insert(slot.modifyCnt).second)
            return "ModifyCnt " + std::to_string(slot.modifyCnt) + " twice";
        if (!SlotInBounds(index, i, file.size()))
            return "slot " + std::to_string(i) + " range out of bounds";
        const uint64_t end = SlotEnd(index, i);
        for (const auto& [begin, other] : ranges)
            if (slot.offset < other && begin < end)
                return "slot " + std::to_string(i) + " overlaps another";
        ranges.emplace_back(slot.offset, end);
    }
    return {};
}

std::optional<std::string> AccessRecordComputer(const Bytes& file, uint64_t at) {
    if (at + kAccessInfoSize > file.size() || std::memcmp(&file[at], "IAZQ", 4) != 0)
        return std::nullopt;
    std::string name;
    for (uint64_t i = 0; i < 16; ++i) {
        const char16_t unit = char16_t(file[at + 8 + 2 * i] | file[at + 9 + 2 * i] << 8);
        if (unit == 0) break;
        name += char(unit);
    }
    return name;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    Bytes bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

uint64_t FileLength(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace qzo::test::store
