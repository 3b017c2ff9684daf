// The tests' own writer and reader of object files: header, heritage records, history index,
// slots, undo list entries, the chunk streams of versions and the writer's access record, built
// and read from the documented layout field by field. It shares no code with the library's
// codec, so that the library's files are checked against an independent image.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qzobj/location.h"
#include "qzobj/types.h"

class CQZRuntimeClass;

namespace qzo::test::store {

using Bytes = std::vector<uint8_t>;

// Where the pieces of an object file lie.
inline constexpr uint32_t kHeaderSize = 2236;
inline constexpr uint32_t kIndexOffset = 2236;
inline constexpr uint32_t kIndexSize = 5684;
inline constexpr uint32_t kIndexHeaderSize = 52;
inline constexpr uint32_t kSlotSize = 88;
inline constexpr uint32_t kSlotCount = 64;
inline constexpr uint32_t kNTOffset = 7920;
inline constexpr uint32_t kVersionsOffset = 10240;
inline constexpr uint32_t kHeritageSize = 548;
inline constexpr uint32_t kAccessInfoSize = 168;
inline constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
inline constexpr uint32_t kCommentUnits = 32;

// File offsets of the index fields and of slot i's fields.
inline constexpr uint32_t kCurrentFieldOffset = kIndexOffset + 8;
inline constexpr uint32_t kDataEndFieldOffset = kIndexOffset + 12;
inline constexpr uint32_t SlotOffset(uint32_t slot) {
    return kIndexOffset + kIndexHeaderSize + kSlotSize * slot;
}

// Hash identifier of the chunk name "CQZObject" (also the class's).
inline constexpr uint32_t kRootHashID = 0x3437008Du;
// The GUID of the persistent root class, {6B1F4E00-2C7A-11CF-8E3D-0000C4A51B77}, as stored.
inline constexpr uint8_t kRootGuid[16] = {0x00, 0x4E, 0x1F, 0x6B, 0x7A, 0x2C, 0xCF, 0x11,
                                          0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77};
inline constexpr char16_t kRootLibraryPath[] = u"/opt/suite/lib/libqzobju.so";

void Put32(Bytes& bytes, size_t at, uint32_t value);
uint32_t Get32(const Bytes& bytes, size_t at);  // 0 past the end
void PutText(Bytes& bytes, size_t at, const std::u16string& text);
Bytes BytesOf(const void* data, size_t size);
Bytes Concat(std::initializer_list<Bytes> pieces);

// Equal byte strings, or the first difference and both lengths.
::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected);

// One class as a heritage record names it.
struct ImageClass {
    uint32_t hashID = 0;  // unmarked
    uint8_t guid[16] = {};
    uint32_t flags = 0;
    std::u16string path;
};
ImageClass ClassOf(const CQZRuntimeClass& record);
// The persistent root class with the library path above.
ImageClass RootClass();

// 548 bytes: the marked identifier, the GUID with its first word marked, flags, path.
Bytes HeritageBytes(const ImageClass& record);
// An empty record: size, the mark alone, zeros.
Bytes EmptyHeritageBytes();

struct ImageLocation {
    uint32_t hashID = 0x0000FC00u;
    uint32_t objID = 0xFFFFFFFFu;
    uint32_t projID = 0x0000FC00u;
    uint32_t dataID = 0;
    uint32_t flags = 0;
};
ImageLocation ImageLocationOf(const Location& location);

// 2236 bytes: magic, size, location (identity flags only), offsets, four heritage records (the
// classes given, then empty ones).
Bytes HeaderBytes(const ImageLocation& location, const std::vector<ImageClass>& classes);

struct ImageSlot {
    uint32_t modifyCnt = 0;  // 0: empty
    uint32_t offset = 0;
    uint32_t end = 0;  // 0: the index's data end
    uint32_t modifyID = 0;
    std::u16string comment;  // at most 32 units
    bool operator==(const ImageSlot&) const = default;
};

struct ImageIndex {
    uint32_t size = kIndexSize;  // 0 when read from a file too short to hold the index
    uint32_t classFlags = 0;
    uint32_t current = kNoSlot;
    uint32_t dataEnd = 0;
    uint32_t slotCount = kSlotCount;
    ImageSlot slots[kSlotCount];
};
// One version in slot 0, "Create", current; its data end behind it.
ImageIndex OneVersionIndex(uint32_t classFlags, uint32_t versionSize);

Bytes SlotBytes(const ImageSlot& slot);
Bytes IndexBytes(const ImageIndex& index);

// 76 bytes of one undo list entry.
Bytes UndoEntryBytes(uint32_t modifyCnt, uint32_t sizeKB, const std::u16string& comment,
                     uint32_t modifyID);

// The version stream of the persistent root class: chunk "CQZObject" holding chunk "CQZObject"
// holding the version word. Its NT block: an empty chunk "CQZObject".
Bytes RootVersionBytes(uint32_t version);
Bytes RootNTBytes();
// The same for the test class: the root's stream, then head and payload; the NT word after the
// root's NT block.
Bytes TestVersionBytes(uint32_t version, uint32_t tag, const Bytes& payload);
Bytes TestNTBytes(uint32_t ntValue);

// A whole file image: header, index, NT block at 7920 (zeros after it up to 10240), and the
// given bytes from 10240 on.
Bytes FileBytes(const ImageLocation& location, const std::vector<ImageClass>& classes,
                const ImageIndex& index, const Bytes& nt, const Bytes& versions);

// ---- Reading ------------------------------------------------------------------------------

ImageIndex ParseIndex(const Bytes& file);
// A slot's end: its own when non-zero, else the index's data end.
uint32_t SlotEnd(const ImageIndex& index, uint32_t slot);
// Non-empty slots whose range lies inside [10240, data end] and the file.
bool SlotInBounds(const ImageIndex& index, uint32_t slot, uint64_t fileLength);

// What the version stream [begin, end) of the test class holds: its version word and the tag
// and size of its payload, when the chunks fill the range exactly and the payload checks out.
struct VersionContent {
    uint32_t version = 0;
    uint32_t tag = 0;
    uint32_t size = 0;
};
std::optional<VersionContent> ReadVersion(const Bytes& file, uint64_t begin, uint64_t end);

// The invariants of a closed, valid file; an empty answer when they hold, else what broke.
std::string CheckClosedFile(const Bytes& file);

// The computer named by a writer's access record at `at`, when its magic "IAZQ" is there.
std::optional<std::string> AccessRecordComputer(const Bytes& file, uint64_t at);

Bytes ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const Bytes& bytes);
uint64_t FileLength(const std::string& path);

}  // namespace qzo::test::store
