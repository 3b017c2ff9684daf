// The access-info trailer of an object file: 168 little-endian bytes at the very end of the file
// while a writer has it open, naming the writer's computer and user.
#pragma once

#include <cstddef>

#include "qzobj/types.h"

// The access-info record as kept in memory. The names are UTF-16 and terminated in memory; in
// the file they are zero-padded to their full width.
struct tagACCESSINFO {
    DWORD dwMagic;       // kAccessInfoMagic when the record is valid
    DWORD dwComputerID;  // GetComputerID() of the writer's computer
    WCHAR szComputerName[16];
    WCHAR szUserName[64];  // empty when the user's name could not be read
};

namespace qzo::store::locfile_format {

// Magic (4 bytes, "IAZQ" in the file), computer ID (4), computer name (16 UTF-16 units), user
// name (64 UTF-16 units): 168 bytes, no padding.
inline constexpr DWORD kAccessInfoSize = 168;
inline constexpr DWORD kAccessInfoMagic = 0x515A4149u;
inline constexpr DWORD kMagicOffset = 0;
inline constexpr DWORD kComputerIdOffset = 4;
inline constexpr DWORD kComputerNameOffset = 8;
inline constexpr DWORD kComputerNameUnits = 16;
inline constexpr DWORD kUserNameOffset = 40;
inline constexpr DWORD kUserNameUnits = 64;
// The computer ID of a record that names nobody.
inline constexpr DWORD kNoComputerId = 0x0000FC00u;
// The marker a live writer holds: one byte just past the end of its record.
inline constexpr DWORD kMarkerLength = 1;

static_assert(sizeof(tagACCESSINFO) == kAccessInfoSize);
static_assert(offsetof(tagACCESSINFO, dwComputerID) == kComputerIdOffset);
static_assert(offsetof(tagACCESSINFO, szComputerName) == kComputerNameOffset);
static_assert(offsetof(tagACCESSINFO, szUserName) == kUserNameOffset);
static_assert(kUserNameOffset + 2 * kUserNameUnits == kAccessInfoSize);

using AccessInfoBytes = BYTE[kAccessInfoSize];

// Writes the record's stored form. Names are written up to their terminator and zero-padded.
void EncodeAccessInfo(const tagACCESSINFO& info, AccessInfoBytes& bytes);
// Reads a stored record. Names that fill their whole width lose their last unit, so that the
// names in memory are always terminated.
tagACCESSINFO DecodeAccessInfo(const AccessInfoBytes& bytes);

// A record that names nobody: magic 0, computer ID 0x0000FC00, empty names.
tagACCESSINFO EmptyAccessInfo();

}  // namespace qzo::store::locfile_format
