// Strings on memory blocks (CPTStr, CPWStr), the DF_ conversions between ANSI text (code page
// Windows-1252) and UTF-16, the suite's small string utilities, and GUIDcv, the text form of a
// GUID.
#pragma once

#include "qzobj/memblock.h"

class CQZArchive;

// ---- Conversions. Sizes are bytes, lengths characters without the terminator. ANSI text is
// Windows-1252; characters it cannot represent become "?" ("_" in DF_ToANSIPath), one per
// character (a surrogate pair is one character).

// Wide length of a narrow text; 0 for null or empty.
QZOBJ_API DWORD DF_WideLen(const char* narrow);
// Narrow length of a wide text; 0 for null or empty.
QZOBJ_API DWORD DF_ANSILen(const WCHAR* wide);
// Bytes of the wide copy with its terminator; 0 for null, 2 for empty.
QZOBJ_API DWORD DF_WideBufferSize(const char* narrow);
// Bytes of the narrow copy with its terminator; 0 for null, 1 for empty.
QZOBJ_API DWORD DF_ANSIBufferSize(const WCHAR* wide);
// Converts into a buffer of `capacity` characters (bytes for the narrow forms). Returns the
// characters written including the terminator; 0 when an argument is null or 0. The text is
// cut to fit, and the buffer's last character is always zero.
QZOBJ_API DWORD DF_ToWideBuffer(WCHAR* destination, const char* narrow, DWORD capacity);
QZOBJ_API DWORD DF_ToANSIBuffer(char* destination, const WCHAR* wide, DWORD capacity);
// As DF_ToANSIBuffer, with "_" for characters without an ANSI equivalent.
QZOBJ_API DWORD DF_ToANSIPath(char* destination, const WCHAR* wide, DWORD capacity);

// Fixed-size text fields in stored records end in a kind mark (their last UTF-16 unit).
// DF_Init empties a field and clears its mark; 0 for fields below 3 bytes.
QZOBJ_API BOOL DF_Init(void* field, DWORD bytes);
// Fixes up a loaded field by its mark: 0 nothing; 1 or 2, the first bytes/2 bytes hold ANSI text,
// converted to UTF-16 in place; above 2 the field holds UTF-16 and stays. The mark is cleared
// (so the text is terminated inside the field). Fields below 3 bytes are left alone. Returns 1.
QZOBJ_API BOOL DF_LoadInit(void* field, DWORD bytes);

// ---- Utilities (narrow variants use ANSI text).

// Empties the buffer and loads string `id` of `module` (cut to length-1 characters); when none
// was loaded and a default is given, copies the default cut to length-1. Returns the buffer.
// A null buffer or a length below 1 writes nothing.
QZOBJ_API WCHAR* LSetStringW(WCHAR* buffer, const WCHAR* defaultText, int length, HINSTANCE module,
                             UINT id);
QZOBJ_API char* LSetStringA(char* buffer, const char* defaultText, int length, HINSTANCE module,
                            UINT id);
// Replaces every character of /:*?"<>| by "_" in place; returns the text.
QZOBJ_API char* LegalizeFilenameA(char* text);
QZOBJ_API WCHAR* LegalizeFilenameW(WCHAR* text);
// Copies at most capacity-1 characters with the same replacement and terminates; a capacity of
// 0 writes nothing. Returns the destination.
QZOBJ_API char* LegalizeBufferA(char* destination, const char* source, DWORD capacity);
QZOBJ_API WCHAR* LegalizeBufferW(WCHAR* destination, const WCHAR* source, DWORD capacity);
// Appends the separator and the addition to a non-empty text, or copies the addition into an
// empty one (a null addition appends the separator alone). The text's buffer must have room.
// 0 for a null text or a zero separator.
QZOBJ_API BOOL strAppend(WCHAR* text, const WCHAR* addition, WCHAR separator);
// The index of the first table entry equal to the text ignoring (ASCII) case, or 0xFFFFFFFF.
QZOBJ_API DWORD strIndex(const WCHAR* text, const WCHAR* const* table, DWORD count);
// Finds `tag` in the text and copies the value behind it, up to `terminator` (0: to the end),
// cut to capacity-1 characters and terminated (the narrow variant converts to ANSI). The text
// is never written to. 0 when the tag is absent.
QZOBJ_API BOOL strGetTagW(const WCHAR* text, const WCHAR* tag, WCHAR* destination, DWORD capacity,
                          WCHAR terminator);
QZOBJ_API BOOL strGetTagA(const WCHAR* text, const WCHAR* tag, char* destination, DWORD capacity,
                          WCHAR terminator);
// destination = (destination AND NOT mask) OR (source AND mask), byte by byte.
QZOBJ_API void PatCpy(void* destination, const void* source, const void* mask, DWORD bytes);
// 1 when all bytes are zero; 0 otherwise and when reading the memory faults.
QZOBJ_API BOOL IsZeroMemory(const void* memory, DWORD bytes);

// ---- Strings.

// What the two string classes share: a terminated UTF-16 text in a memory block (class ID
// "CPMemory", so strings share blocks with plain CPMemory handles). Every text scan is bounded
// by the block's size in use; an empty string holds no block (or a lone terminator).
//
// Thread safety: as CPMemory. Appending to a shared string first makes its block private.
class QZOBJ_API CPStrBase : public CPMemory {
  public:
    // Characters before the terminator; 0 for an empty string.
    DWORD GetLen() const;
    // Drops the block and allocates `characters` * 2 bytes holding an empty text.
    BOOL Alloc(DWORD characters);

  protected:
    CPStrBase() = default;
    CPStrBase(const CPStrBase& source) = default;
    CPStrBase& operator=(const CPStrBase& source) = default;

    // One part of a text being composed: wide, or narrow (ANSI) to convert.
    struct Piece {
        const WCHAR* wide;
        const char* narrow;
        size_t length;
    };
    static Piece Wide(const WCHAR* text);
    static Piece Narrow(const char* text);
    Piece Text() const;

    // Replaces the block by a new one holding the pieces in order. `keepEmpty`: an empty result
    // still gets a block with a lone terminator (else the string holds nothing).
    void Compose(const Piece* pieces, int count, bool keepEmpty);
    // Appends a piece, making a shared block private first and growing in place where it can.
    void Append(const Piece& piece);
    // Copies another handle's data as text (bounded by its size).
    void CopyBlockText(const CPMemory& source);
    // Terminates the text inside the block and sets the size to (length + 1) * 2.
    void CheckMemory();
    // Loads a chunk whose payload is bare UTF-16 text (unterminated text is terminated inside
    // the block).
    BOOL LoadWide(const char* chunkName, CQZArchive* archive);
};

// The string of the build's character width: UTF-16. Stored as one chunk: a kind byte (2 for
// UTF-16) and the text's bytes with their terminator; kinds 0 and 1 load as ANSI text.
class QZOBJ_API CPTStr : public CPStrBase {
  public:
    CPTStr() = default;
    CPTStr(const CPTStr& source);
    CPTStr(const CPMemory& source);  // copies the text
    CPTStr(const char* text);
    CPTStr(const WCHAR* text);

    CPTStr& operator=(const CPTStr& source);    // shares
    CPTStr& operator=(const CPMemory& source);  // copies the text
    CPTStr& operator=(const char* text);
    CPTStr& operator=(const WCHAR* text);

    CPTStr operator+(const char* text) const;
    CPTStr operator+(const WCHAR* text) const;
    CPTStr operator+(const CPTStr& other) const;
    friend QZOBJ_API CPTStr operator+(const char* text, const CPTStr& string);
    friend QZOBJ_API CPTStr operator+(const WCHAR* text, const CPTStr& string);

    CPTStr& operator+=(const char* text);
    CPTStr& operator+=(const WCHAR* text);

    BOOL DynaSave(const char* chunkName, CQZArchive& archive);
    BOOL DynaLoad(const char* chunkName, CQZArchive& archive);
};

QZOBJ_API CPTStr operator+(const char* text, const CPTStr& string);
QZOBJ_API CPTStr operator+(const WCHAR* text, const CPTStr& string);

// A UTF-16 string stored as its bare bytes (with the terminator, without a kind byte).
class QZOBJ_API CPWStr : public CPStrBase {
  public:
    CPWStr() = default;
    CPWStr(const CPWStr& source);
    CPWStr(const CPMemory& source);  // copies the text (a CPTStr too)
    CPWStr(const char* text);
    CPWStr(const WCHAR* text);

    CPWStr& operator=(const CPWStr& source);    // shares
    CPWStr& operator=(const CPMemory& source);  // copies the text
    CPWStr& operator=(const char* text);
    CPWStr& operator=(const WCHAR* text);

    CPWStr operator+(const char* text) const;
    CPWStr operator+(const WCHAR* text) const;
    CPWStr operator+(const CPWStr& other) const;
    friend QZOBJ_API CPWStr operator+(const char* text, const CPWStr& string);
    friend QZOBJ_API CPWStr operator+(const WCHAR* text, const CPWStr& string);

    CPWStr& operator+=(const char* text);
    CPWStr& operator+=(const WCHAR* text);

    // A CPTStr with a copy of the text.
    operator CPTStr() const;

    BOOL DynaSave(const char* chunkName, CQZArchive& archive);
    // Loads the bare UTF-16 bytes; unterminated text is terminated inside the block.
    BOOL DynaLoad(const char* chunkName, CQZArchive& archive);
};

QZOBJ_API CPWStr operator+(const char* text, const CPWStr& string);
QZOBJ_API CPWStr operator+(const WCHAR* text, const CPWStr& string);

// ---- GUID text: "xxxxxxxx-xxxx-xxxx-xx-xx-xx-xx-xx-xx-xx-xx" (lower-case, 42 characters).
class QZOBJ_API GUIDcv {
  public:
    GUIDcv(const GUID& guid) : m_Guid(guid) {}
    // Parses the text form (blanks before each number, an optional "0x", only the low byte of
    // each of the last eight numbers counts). Text with fewer than 11 numbers gives the zero
    // GUID and a debug message.
    explicit GUIDcv(const WCHAR* text);

    operator GUID() const { return m_Guid; }
    // Formats the GUID into this object's buffer (valid until the next call on it).
    operator const WCHAR*();

  private:
    GUID m_Guid;
    WCHAR m_szText[44] = {};
};
static_assert(sizeof(GUIDcv) == 104, "GUIDcv is 104 bytes");
