// The chunk byte format shared by every archive: an 8-byte little-endian header (identifier,
// payload size) in front of each payload, nested up to CHNK_MAX_LAYERS deep, nothing else.
#pragma once

#include <cstddef>

#include "qzobj/archive.h"

namespace qzo::store::chunk_format {

// Header is identifier (4 bytes) then payload size (4 bytes); the size does not count the
// header, and a parent's size counts its children's headers and payloads.
inline constexpr DWORD kHeaderSize = 8;
inline constexpr DWORD kIdOffset = 0;
inline constexpr DWORD kSizeOffset = 4;
inline constexpr DWORD kFieldSize = 4;
// The size field holds 0 while its chunk is being written.
inline constexpr DWORD kSizeWhileWriting = 0;
inline constexpr DWORD kUnnamedId = CHNK_UNNAMED_ID;
inline constexpr DWORD kMaxLayers = CHNK_MAX_LAYERS;
// Positions are 32-bit: nothing in an archive lies at or beyond this.
inline constexpr unsigned long long kPositionLimit = 0x100000000ull;

static_assert(sizeof(tagCHNKHEADER) == kHeaderSize);
static_assert(offsetof(tagCHNKHEADER, dwChunkID) == kIdOffset);
static_assert(offsetof(tagCHNKHEADER, dwSize) == kSizeOffset);
static_assert(sizeof(tagCHNKLOCATOR) == 12);

inline void PutLe32(BYTE* to, DWORD value) {
    to[0] = static_cast<BYTE>(value);
    to[1] = static_cast<BYTE>(value >> 8);
    to[2] = static_cast<BYTE>(value >> 16);
    to[3] = static_cast<BYTE>(value >> 24);
}

inline DWORD GetLe32(const BYTE* from) {
    return DWORD(from[0]) | DWORD(from[1]) << 8 | DWORD(from[2]) << 16 | DWORD(from[3]) << 24;
}

inline void EncodeHeader(const tagCHNKHEADER& header, BYTE (&bytes)[kHeaderSize]) {
    PutLe32(bytes + kIdOffset, header.dwChunkID);
    PutLe32(bytes + kSizeOffset, header.dwSize);
}

inline tagCHNKHEADER DecodeHeader(const BYTE (&bytes)[kHeaderSize]) {
    return tagCHNKHEADER{GetLe32(bytes + kIdOffset), GetLe32(bytes + kSizeOffset)};
}

}  // namespace qzo::store::chunk_format
