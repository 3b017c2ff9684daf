// The object file layout: the 2236-byte header with four heritage records, the 5684-byte history
// index (52-byte header, 64 slots of 88 bytes), the NT block and the version area, as plain
// records, their little-endian codec and the checks a reader applies before trusting a file.
//
// File map (offsets from the start of the file):
//   0      2236  object file header
//   2236   5684  history index: 52-byte header, then slot i at 2288 + 88 * i
//   7920   2320  NT block (chunk stream, never past 10240)
//   10240  ...   versions, up to the index's data end; a writer's access record follows them
//
// Everything here is a pure computation on records and bytes the caller owns: no file access, no
// shared state, so any thread may call any function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qzobj/heritage.h"
#include "qzobj/history.h"
#include "qzobj/location.h"
#include "qzobj/types.h"

class CQZRuntimeClass;

namespace qzo::store::object_file_format {

// Object file header: magic, header size, location (5 words), three offsets, class-record count,
// then the class records.
inline constexpr DWORD kMagic = 0x515A4F46u;  // the bytes "FOZQ"
inline constexpr DWORD kHeaderSize = 2236;
inline constexpr DWORD kMagicOffset = 0;
inline constexpr DWORD kHeaderSizeOffset = 4;
inline constexpr DWORD kLocationOffset = 8;
inline constexpr DWORD kIndexOffsetOffset = 28;
inline constexpr DWORD kNTOffsetOffset = 32;
inline constexpr DWORD kVersionsOffsetOffset = 36;
inline constexpr DWORD kClassCountOffset = 40;
inline constexpr DWORD kClassRecordsOffset = 44;
inline constexpr DWORD kClassRecordCount = 4;
inline constexpr DWORD kHeritageSize = OBJHERITAGE_SIZE;
// Only these flags of the location belong in the file.
inline constexpr DWORD kStoredLocationFlags = 0x00060000u;

// Heritage record fields.
inline constexpr DWORD kHeritageHashOffset = 4;
inline constexpr DWORD kHeritageGuidOffset = 8;
inline constexpr DWORD kHeritageFlagsOffset = 24;
inline constexpr DWORD kHeritagePathOffset = 28;
inline constexpr DWORD kHeritagePathUnits = OBJHERITAGE_PATH_UNITS;

// Where the parts of the file lie.
inline constexpr DWORD kIndexOffset = 2236;
inline constexpr DWORD kIndexSize = 5684;
inline constexpr DWORD kNTOffset = 7920;
inline constexpr DWORD kNTMaxSize = 2320;
inline constexpr DWORD kVersionsOffset = 10240;

// History index header.
inline constexpr DWORD kIndexHeaderSize = 52;
inline constexpr DWORD kIndexSizeOffset = 0;
inline constexpr DWORD kIndexClassFlagsOffset = 4;
inline constexpr DWORD kIndexCurrentOffset = 8;
inline constexpr DWORD kIndexDataEndOffset = 12;
inline constexpr DWORD kIndexSlotCountOffset = 16;
inline constexpr DWORD kIndexReservedOffset = 20;  // 32 zero bytes
inline constexpr DWORD kSlotCount = 64;
inline constexpr DWORD kNoSlot = 0xFFFFFFFFu;  // current slot before the first commit

// Slot: ModifyCnt (0 = empty), data offset, data end (0 = the index's data end), caller value,
// undo comment (32 UTF-16 units), 8 zero bytes.
inline constexpr DWORD kSlotSize = 88;
inline constexpr DWORD kSlotModifyCntOffset = 0;
inline constexpr DWORD kSlotDataOffsetOffset = 4;
inline constexpr DWORD kSlotDataEndOffset = 8;
inline constexpr DWORD kSlotModifyIdOffset = 12;
inline constexpr DWORD kSlotCommentOffset = 16;
inline constexpr DWORD kSlotCommentUnits = UNDOLIST_COMMENT_UNITS;
inline constexpr DWORD kSlotReservedOffset = 80;  // 8 zero bytes

static_assert(kClassRecordsOffset + kClassRecordCount * kHeritageSize == kHeaderSize);
static_assert(kIndexHeaderSize + kSlotCount * kSlotSize == kIndexSize);
static_assert(kSlotCommentOffset + 2 * kSlotCommentUnits == kSlotReservedOffset);
static_assert(kSlotReservedOffset + 8 == kSlotSize);
static_assert(kIndexReservedOffset + 32 == kIndexHeaderSize);
static_assert(kIndexOffset == kHeaderSize);
static_assert(kIndexOffset + kIndexSize == kNTOffset);
static_assert(kNTOffset + kNTMaxSize == kVersionsOffset);
static_assert(kHeritagePathOffset + 2 * kHeritagePathUnits == kHeritageSize);

// File offset of slot `slot`'s record; its first word is the ModifyCnt.
inline constexpr uint64_t SlotFileOffset(DWORD slot) {
    return uint64_t(kIndexOffset) + kIndexHeaderSize + uint64_t(kSlotSize) * slot;
}

// ---------------------------------------------------------------------------------------------
// Records as the program keeps them. The stored form is produced field by field by the codec
// below, so these carry no layout promises.

struct ObjectFileHeader {
    DWORD dwMagic = kMagic;
    DWORD dwHeaderSize = kHeaderSize;
    Location location;
    DWORD dwIndexOffset = kIndexOffset;
    DWORD dwNTOffset = kNTOffset;
    DWORD dwVersionsOffset = kVersionsOffset;
    DWORD dwClassCount = kClassRecordCount;
    tagOBJHERITAGE classes[kClassRecordCount] = {};
};

struct HistorySlot {
    DWORD dwModifyCnt = 0;                    // 0: empty
    DWORD dwOffset = 0;                       // file offset of the version's data
    DWORD dwEnd = 0;                          // end of the data; 0 means the index's data end
    DWORD dwModifyID = 0;                     // the caller's value recorded with the version
    WCHAR szComment[kSlotCommentUnits] = {};  // terminated only when shorter than 32 units
};

struct HistoryIndexHeader {
    DWORD dwSize = kIndexSize;
    DWORD dwClassFlags = 0;
    DWORD dwCurrent = kNoSlot;
    DWORD dwDataEnd = 0;
    DWORD dwSlotCount = kSlotCount;
};

struct HistoryIndex {
    HistoryIndexHeader header;
    HistorySlot slots[kSlotCount];
};

using HeaderBytes = BYTE[kHeaderSize];
using IndexBytes = BYTE[kIndexSize];
using IndexHeaderBytes = BYTE[kIndexHeaderSize];
using SlotBytes = BYTE[kSlotSize];
using HeritageBytes = BYTE[kHeritageSize];

// The header of a new file: `location` with its flags reduced to kStoredLocationFlags, the
// classes given (at most four; the caller stops at the root persistent class) and empty records
// after them.
ObjectFileHeader NewHeader(const Location& location, const CQZRuntimeClass* const* classes,
                           unsigned count);
// The index of a new file: no current slot, data end 0, every slot empty.
HistoryIndex NewIndex(DWORD classFlags);
// A slot's comment from a terminated text: at most 32 units, zero-padded.
void SetSlotComment(HistorySlot& slot, const WCHAR* text);

// Encoding writes every byte of the stored form (reserved bytes as 0); the location's flags are
// reduced to kStoredLocationFlags. Decoding reads every field as stored (reserved bytes are
// ignored) and judges nothing: validate with CheckHistory.
// The heritage codec reads or writes kHeritageSize bytes at `bytes` (object file headers and
// class reference files).
void EncodeHeritage(const tagOBJHERITAGE& record, BYTE* bytes);
tagOBJHERITAGE DecodeHeritage(const BYTE* bytes);
void EncodeHeader(const ObjectFileHeader& header, HeaderBytes& bytes);
ObjectFileHeader DecodeHeader(const HeaderBytes& bytes);
void EncodeIndexHeader(const HistoryIndexHeader& header, IndexHeaderBytes& bytes);
HistoryIndexHeader DecodeIndexHeader(const IndexHeaderBytes& bytes);
void EncodeSlot(const HistorySlot& slot, SlotBytes& bytes);
HistorySlot DecodeSlot(const SlotBytes& bytes);
void EncodeIndex(const HistoryIndex& index, IndexBytes& bytes);
HistoryIndex DecodeIndex(const IndexBytes& bytes);

// ---------------------------------------------------------------------------------------------
// What a reader decides about a file before it uses any of its offsets.

enum class FileVerdict : DWORD {
    kUsable = 0,
    kTruncated,  // fewer bytes than header and index, or a file shorter than them
    kBadMagic,
    kBadHeaderSize,
    kBadOffsets,      // index, NT or version offset other than 2236, 7920, 10240
    kBadClassCount,   // not 4 class records
    kBadClassRecord,  // a class record of the wrong size or with an unterminated path
    kBadIndexSize,
    kBadSlotCount,
    kNoCurrentSlot,   // 0xFFFFFFFF: the first commit never finished
    kBadCurrentSlot,  // 64 or more
    kEmptyCurrentSlot,
    kBadDataEnd,         // before 10240 or past the end of the file
    kInvalidCurrentSlot  // the current slot's range fails the slot checks
};

// The verdict as a short English phrase for debug output.
const char* VerdictText(FileVerdict verdict);

struct HistoryCheck {
    FileVerdict verdict = FileVerdict::kTruncated;
    uint64_t validSlots = 0;  // bit i: slot i may be listed and loaded

    bool IsUsable() const { return verdict == FileVerdict::kUsable; }
    bool IsValidSlot(DWORD slot) const { return slot < kSlotCount && (validSlots >> slot & 1u); }
};

// The end of slot `slot`'s data: its own end when non-zero, else the index's data end.
DWORD SlotEnd(const HistoryIndex& index, DWORD slot);

// Judges a decoded header and index against the file's length. The file is refused for a wrong
// magic or size, other offsets, a class-record count other than 4, a malformed class record, a
// current slot that is 0xFFFFFFFF, 64 or above, empty or invalid, a data end before 10240 or past
// the file's end. A slot is valid when it is not empty, 10240 <= offset <= end <= data end
// (end per SlotEnd, all in 64-bit arithmetic against the length) and no other slot passing these
// checks carries its ModifyCnt, except that the current slot always keeps its own.
HistoryCheck CheckHistory(const ObjectFileHeader& header, const HistoryIndex& index,
                          uint64_t fileLength);

// Decodes and judges the first `count` bytes of a file of `fileLength` bytes. Fewer than
// kNTOffset bytes give kTruncated (the records are then left as they were).
HistoryCheck ReadHistory(const BYTE* bytes, size_t count, uint64_t fileLength,
                         ObjectFileHeader& header, HistoryIndex& index);

// Steps back (ModifyCnt below the current one) and forward among the valid slots; both 0 for a
// file that is not usable.
void CountUndoRedo(const HistoryIndex& index, const HistoryCheck& check, unsigned& undo,
                   unsigned& redo);
// Up to `max` entries for the valid slots, sorted by ModifyCnt; the number written. A null list
// gives 0. Sizes are (end - offset + 512) >> 10 with end per SlotEnd.
unsigned BuildUndoList(const HistoryIndex& index, const HistoryCheck& check, tagUNDOLIST* list,
                       unsigned max);
// The number of entries BuildUndoList would give without a limit.
unsigned CountListed(const HistoryCheck& check);

}  // namespace qzo::store::object_file_format
