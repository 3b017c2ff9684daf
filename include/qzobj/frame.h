// The library frame: settings in "QZO.INI" (the library's tuning values) and "QZO.VST" (the
// host's settings), shell registration of file types, and the application root directory.
// Section and key names are narrow; texts and paths are UTF-16.
#pragma once

#include "qzobj/types.h"

// Reads an integer from "QZO.INI". The text is parsed as a decimal number (leading blanks and
// a sign allowed, parsing stops at the first non-digit, no digits give 0; values beyond 32 bits
// clamp). A missing or empty key gives `def`, written back first when `writeIfMissing` is set.
// A null or empty section or key gives `def`.
QZOBJ_API int32_t QZOBJ_GetProfileInt(const char* section, const char* key, int32_t def,
                                      BOOL writeIfMissing);
// Writes an integer to "QZO.INI". FALSE for a null or empty section or key.
QZOBJ_API BOOL QZOBJ_WriteProfileInt(const char* section, const char* key, int32_t value);

// The host's settings in "QZO.VST". The store is opened on first use; while it cannot be, reads
// give their defaults and writes FALSE, and the next call tries again.
//
// Copies the value (or the default, written back first when `writeIfMissing` is set) into the
// buffer, at most size-1 characters, terminated; returns the length. A null buffer or size 0
// returns 0 and writes nothing; a null default counts as empty.
QZOBJ_API int QZOBJ_GetCurrentSettingStr(const char* section, const char* key, const WCHAR* def,
                                         WCHAR* buffer, int size, BOOL writeIfMissing);
QZOBJ_API int32_t QZOBJ_GetCurrentSettingInt(const char* section, const char* key, int32_t def,
                                             BOOL writeIfMissing);
QZOBJ_API BOOL QZOBJ_GetCurrentSettingBool(const char* section, const char* key, BOOL def,
                                           BOOL writeIfMissing);
// An empty or null text is refused (FALSE, nothing written).
QZOBJ_API BOOL QZOBJ_WriteCurrentSettingStr(const char* section, const char* key,
                                            const WCHAR* text);
QZOBJ_API BOOL QZOBJ_WriteCurrentSettingInt(const char* section, const char* key, int32_t value);
QZOBJ_API BOOL QZOBJ_WriteCurrentSettingBool(const char* section, const char* key, BOOL value);

// The folder above the one that holds the library, ending with a separator (a library in
// /opt/app/lib/ gives /opt/app/; a library in "/" gives "/"). The buffer holds MAX_PATH
// characters. FALSE when the library's path is unknown or has 260 characters or more.
QZOBJ_API BOOL QZOBJ_GetAppRootDir(WCHAR* buffer);

// Registers a file type with the shell: the extension key names the type, whose key holds the
// description, "DefaultIcon" and "shell\open\command". An extension that already has a key,
// even a foreign one, is left alone and counts as registered. When a write fails, the keys this
// call created are removed and the result is FALSE.
QZOBJ_API BOOL RegisterFileType(const WCHAR* extension, const WCHAR* typeName,
                                const WCHAR* description, const WCHAR* icon,
                                const WCHAR* command);
