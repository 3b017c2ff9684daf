// The tests' own object-file writer and reader (see store_image.h).
#include "store/objects/store_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "qzobj/hashid.h"
#include "qzobj/objmodel.h"

namespace qzo::test::store {

void Put32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(at + i) = uint8_t(value >> (8 * i));
}

uint32_t Get32(const Bytes& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(at + i);
    return value;
}

void PutText(Bytes& bytes, size_t at, const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        bytes.at(at + 2 * i) = uint8_t(text[i]);
        bytes.at(at + 2 * i + 1) = uint8_t(text[i] >> 8);
    }
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

Bytes IndexHeaderBytes(const ImageIndex& index) {
    Bytes bytes(kIndexHeaderSize, 0);
    Put32(bytes, 0, index.size);
    Put32(bytes, 4, index.classFlags);
    Put32(bytes, 8, index.current);
    Put32(bytes, 12, index.dataEnd);
    Put32(bytes, 16, index.slotCount);
    return bytes;
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
    Bytes bytes = IndexHeaderBytes(index);
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

Bytes Chunk(uint32_t id, const Bytes& payload) {
    Bytes bytes(8, 0);
    Put32(bytes, 0, id);
    Put32(bytes, 4, uint32_t(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

uint32_t ChunkID(const char* name) {
    return GetHashID(name);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

Bytes RootVersionBytes(uint32_t version) {
    Bytes word(4, 0);
    Put32(word, 0, version);
    return Chunk(kRootHashID, Chunk(kRootHashID, word));
}

Bytes RootNTBytes() {
    return Chunk(kRootHashID, {});
}

Bytes FileBytes(const ImageLocation& location, const std::vector<ImageClass>& classes,
                const ImageIndex& index, const Bytes& nt, const Bytes& versions) {
    Bytes bytes = HeaderBytes(location, classes);
    const Bytes indexBytes = IndexBytes(index);
    bytes.insert(bytes.end(), indexBytes.begin(), indexBytes.end());
    Bytes ntArea(kVersionsOffset - kNTOffset, 0);
    std::copy(nt.begin(), nt.begin() + long(std::min<size_t>(nt.size(), ntArea.size())),
              ntArea.begin());
    bytes.insert(bytes.end(), ntArea.begin(), ntArea.end());
    bytes.insert(bytes.end(), versions.begin(), versions.end());
    return bytes;
}

ImageIndex ParseIndex(const Bytes& file) {
    ImageIndex index;
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

std::optional<ParsedChunk> ReadChunk(const Bytes& file, size_t at, size_t end) {
    end = std::min(end, file.size());
    if (at > end || end - at < 8) return std::nullopt;
    ParsedChunk chunk{Get32(file, at), at + 8, Get32(file, at + 4)};
    if (uint64_t(chunk.payloadAt) + chunk.size > end) return std::nullopt;
    return chunk;
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
