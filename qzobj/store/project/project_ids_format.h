// The layout of "PRJ.IDS", the project's unique-ID file: a 4-byte counter, and byte ranges behind
// it that serve only as locks (they may lie past the end of the file).
#pragma once

#include <cstdint>

#include "qzobj/types.h"

namespace qzo::store::project_ids_format {

// The file's name inside the project folder.
inline constexpr char16_t kFileName[] = u"PRJ.IDS";

// Offset 0, 4 bytes, little-endian: the next free object ID.
inline constexpr uint64_t kCounterOffset = 0;
inline constexpr DWORD kCounterBytes = 4;
// The counter never lies below this value; a lower one is read as it.
inline constexpr DWORD kFirstID = 1024;
// Never handed out: the invalid object ID. A counter holding it means the IDs are exhausted.
inline constexpr DWORD kInvalidID = 0xFFFFFFFF;

// Bytes 0-3: the counter lock, held for one read-modify-write of the counter.
inline constexpr uint64_t kCounterLockOffset = 0;
inline constexpr uint64_t kCounterLockBytes = 4;
// Bytes 4-259: one slot byte per open generator; the project lock is all of them at once.
inline constexpr uint64_t kSlotsOffset = 4;
inline constexpr unsigned kSlotCount = 256;
inline constexpr unsigned kNoSlot = kSlotCount;

static_assert(kCounterLockOffset + kCounterLockBytes == kSlotsOffset);
static_assert(kSlotsOffset + kSlotCount == 260);

inline constexpr uint64_t SlotOffset(unsigned slot) {
    return kSlotsOffset + slot;
}

// Counter bytes <-> value.
inline void EncodeCounter(DWORD value, uint8_t (&bytes)[kCounterBytes]) {
    for (DWORD i = 0; i < kCounterBytes; ++i) bytes[i] = uint8_t(value >> (8 * i));
}
inline DWORD DecodeCounter(const uint8_t (&bytes)[kCounterBytes]) {
    DWORD value = 0;
    for (DWORD i = 0; i < kCounterBytes; ++i) value |= DWORD(bytes[i]) << (8 * i);
    return value;
}

}  // namespace qzo::store::project_ids_format
