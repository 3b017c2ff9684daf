// Private-profile (INI) files with the behaviour of the Windows profile functions: sections and
// keys compare without case and the first match wins; values are trimmed and one pair of
// surrounding quotes is stripped; writes update a key in place, append new keys to their
// section and new sections at the end, write CRLF, accept LF, and keep every other line byte
// for byte. A bare file name resolves in the Windows directory. Files are UTF-8; a UTF-16LE
// file with a byte-order mark stays UTF-16LE. Safe across threads and processes: a writer holds
// an exclusive lock on "<file>.lck", re-reads the file, and renames a new copy into place.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "qzobj/platform/ini_document.h"
#include "qzobj/types.h"

namespace qzo::platform {

// Reads a value into `out` (at most size-1 characters, always terminated when size > 0) and
// returns the characters written. A missing file, section or key gives `def` (null as "").
// A null section lists the section names, a null key the section's keys, each terminated,
// with a second terminator at the end (the Windows list form); a list that does not fit is cut
// and ends with two terminators, and size-2 is returned.
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                               DWORD size, const char* file);
DWORD GetPrivateProfileStringW(const WCHAR* section, const WCHAR* key, const WCHAR* def, WCHAR* out,
                               DWORD size, const WCHAR* file);

// Writes a value. A null value deletes the key, a null key deletes the section. Refuses (FALSE,
// ERROR_INVALID_PARAMETER) a null or empty section, a section with ']', an empty key, a key with
// '=' or starting with ';', '#' or '[', a key or section with leading or trailing blanks, and any
// text with CR or LF: each would read back as something else. A write that changes nothing
// leaves the file untouched.
BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* file);
BOOL WritePrivateProfileStringW(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                                const WCHAR* file);

// The library's own stores (settings file, classes root) build on these. Names and values are
// UTF-8 here.

// Maps a profile file name to a native path: a bare name (no separator) lies in the Windows
// directory, which is created first when `forWrite` is set.
bool ResolveProfileFile(std::u16string_view file, bool forWrite, std::string& native);

// Whether a name or value can be written so that it reads back as the same entry.
bool IsWritableSectionName(std::string_view section);
bool IsWritableKeyName(std::string_view key);
bool IsWritableValue(std::string_view value);

// The first matching value (trimmed, unquoted). False when the file, section or key is missing.
bool ReadProfileValue(const std::string& native, std::string_view section, std::string_view key,
                      std::string& value);
// The whole document as UTF-8 text; false (and empty text) when the file cannot be read.
bool ReadProfileDocument(const std::string& native, std::string& text);

// Edits the file under its writer lock: takes the lock, re-reads the file, runs `edit`, and
// writes the document back only when `edit` returns true (it changed something). A file that
// does not exist starts empty and is created only by an edit that adds something.
bool EditProfileFile(const std::string& native, const std::function<bool(ini::Document&)>& edit);

}  // namespace qzo::platform
