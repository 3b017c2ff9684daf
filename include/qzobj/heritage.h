// tagOBJHERITAGE: the 548-byte record by which a stored object names its class (and, in object
// file headers, its base classes), kept in object files and in class reference files.
#pragma once

#include <cstddef>
#include <type_traits>

#include "qzobj/export.h"
#include "qzobj/types.h"

class CQZRuntimeClass;

#define OBJHERITAGE_SIZE 548u
// Bits set in a stored identifier; they also mark the first GUID word (xor). An empty record
// holds them alone.
#define OBJHERITAGE_MARK 0x0000FC00u
// Path units in the record (terminator included) and the buffer GetDLLPath needs: the longest
// stored path (259 units), the inserted 'U' and the terminator.
#define OBJHERITAGE_PATH_UNITS 260u
#define OBJHERITAGE_DLLPATH_BUFFER 261u

// The record as plain data, 548 bytes without padding, little-endian in files (the stored codec
// writes it field by field). A record is copied as plain data; its members touch only the record,
// so one record may be used by one thread at a time, different records by any threads.
//
// Reading notes:
// - Init and Set clear all 548 bytes before filling in the fields, so no stale GUID, flags or
//   path bytes ever reach a file.
// - A stored path must be terminated within its 260 units. A record read from a damaged file may
//   not be: every reader below refuses such a record rather than read past it.
struct QZOBJ_API tagOBJHERITAGE {
    DWORD cbSize;    // OBJHERITAGE_SIZE
    DWORD dwHashID;  // the class's hash ID with OBJHERITAGE_MARK set; the mark alone when empty
    GUID guid;       // the class GUID, first word xor-ed with OBJHERITAGE_MARK
    DWORD dwFlags;   // the class record's flags at the time of writing
    WCHAR szDLLPath[OBJHERITAGE_PATH_UNITS];  // the class's library path, terminated

    // An empty record: every byte 0, then cbSize 548 and dwHashID 0xFC00.
    void Init();
    // The record of `record`'s class (cleared first); a null class gives the empty record. The
    // path copied is the class record's szDLLPath up to its terminator, at most 259 units.
    void Set(const CQZRuntimeClass* record);

    // The library path to load the class from, into a buffer of OBJHERITAGE_DLLPATH_BUFFER units.
    // Without QZRTC_RECORDEDPATH (0x80) in dwFlags, 'U' goes in before the file extension
    // ("D:\drv\fx.dll" gives "D:\drv\fxU.dll"; a name without extension gets it at the end).
    // FALSE, with an empty buffer, for a null buffer, an empty or unterminated stored path.
    BOOL GetDLLPath(WCHAR* buffer) const;
    // The same into a buffer of `size` units; also FALSE (empty buffer when size > 0) when the
    // path does not fit.
    BOOL GetDLLPath(WCHAR* buffer, unsigned size) const;

    // TRUE when the record names no class: its identifier is OBJHERITAGE_MARK alone.
    BOOL IsEmpty() const;
    // TRUE when cbSize is 548 and the path is terminated within its 260 units.
    BOOL IsWellFormed() const;
    // The class's hash ID with the mark undone (bits 0xFC00 cleared); QZO_NO_HASHID (0xFC00) for
    // an empty record.
    DWORD GetClassHashID() const;
    // The class GUID with the mark undone: the first word xor-ed with the bits 0xFC00 of the
    // stored identifier. A record whose identifier lacks them holds the GUID unchanged.
    GUID GetClassGUID() const;
};

static_assert(sizeof(tagOBJHERITAGE) == OBJHERITAGE_SIZE, "the heritage record is 548 bytes");
static_assert(std::is_standard_layout_v<tagOBJHERITAGE>, "the heritage record is plain data");
static_assert(std::is_trivially_copyable_v<tagOBJHERITAGE>, "the heritage record is plain data");
static_assert(offsetof(tagOBJHERITAGE, dwHashID) == 4, "heritage record layout");
static_assert(offsetof(tagOBJHERITAGE, guid) == 8, "heritage record layout");
static_assert(offsetof(tagOBJHERITAGE, dwFlags) == 24, "heritage record layout");
static_assert(offsetof(tagOBJHERITAGE, szDLLPath) == 28, "heritage record layout");
