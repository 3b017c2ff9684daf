// Private-profile (INI) files with the behaviour of the Windows profile functions: sections and
// keys compare without case and the first match wins; values are trimmed and one pair of
// surrounding quotes is stripped; writes update a key in place, append new keys to their
// section and new sections at the end, write CRLF, accept LF, and keep every other line byte
// for byte. A bare file name resolves in the Windows directory. Files are UTF-8; a UTF-16LE
// file with a byte-order mark stays UTF-16LE. Safe across threads and processes: a writer holds
// an exclusive lock on "<file>.lck", re-reads the file, and renames a new copy into place.
#pragma once

#include "qzobj/types.h"

namespace qzo::platform {

// Reads a value into `out` (at most size-1 characters, always terminated when size > 0) and
// returns the characters written. A missing file, section or key gives `def` (null as "").
// A null section lists the section names, a null key the section's keys, each terminated,
// with a second terminator at the end (the Windows list form).
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                               DWORD size, const char* file);
DWORD GetPrivateProfileStringW(const WCHAR* section, const WCHAR* key, const WCHAR* def,
                               WCHAR* out, DWORD size, const WCHAR* file);

// Writes a value. A null value deletes the key, a null key deletes the section. Refuses (FALSE,
// ERROR_INVALID_PARAMETER) a null or empty section, a section with ']', a key with '=', a key
// or section with leading or trailing blanks, and any text with CR or LF.
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* file);
BOOL WritePrivateProfileStringW(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                                const WCHAR* file);

}  // namespace qzo::platform
