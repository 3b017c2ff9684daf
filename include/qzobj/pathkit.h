// The suite's path and folder functions as this library provides them. Paths are UTF-16 in
// system form: '/' and '\' both separate, names compare without case. A non-zero result is
// success; failures set the last-error value. Paths of 260 characters or more are refused with
// ERROR_FILENAME_EXCED_RANGE, never cut; null pointers fail with ERROR_INVALID_PARAMETER.
// Wildcards are '*' and '?', matched without case; a pattern ending in ".*" also matches names
// without an extension, so "*.*" matches every name. Entries are visited in name order without
// case. Attribute masks select folders (FILE_ATTRIBUTE_DIRECTORY) and hidden or system entries
// only when their bit is in the mask; files, read-only ones included, are always selected.
// Nothing here follows a symbolic link into a folder it walks, deletes or copies.
#pragma once

#include "qzobj/types.h"

// Rewrites every separator to `separator` ('/' or '\'; '/' is 0x2F) and ends the path with
// exactly one. With 0 the separators become '/' and trailing separators are removed. A root
// ("/", "C:/", "//") is kept and an empty path stays empty. The form without a capacity assumes
// a buffer of MAX_PATH characters; a result that does not fit fails with
// ERROR_INSUFFICIENT_BUFFER and writes nothing.
QZOBJ_API BOOL FU_FormatPath(WCHAR* path, WCHAR separator);
QZOBJ_API BOOL FU_FormatPathEx(WCHAR* path, size_t capacity, WCHAR separator);

// The parts of a path. The prefix is "X:" or "\\server\share" (or empty); the directory keeps
// its leading and trailing separators; the extension includes its ".".
struct FU_PATHPARTS {
    WCHAR szPrefix[MAX_PATH];
    WCHAR szDirectory[MAX_PATH];
    WCHAR szName[MAX_PATH];
    WCHAR szExtension[MAX_PATH];
};
QZOBJ_API BOOL FU_ParsePath(const WCHAR* path, FU_PATHPARTS* parts, DWORD flags);

// 0 when both name the same path (case and separator kind ignored, a trailing separator too).
QZOBJ_API int FU_PathCompare(const WCHAR* path1, const WCHAR* path2);

// Positions inside the caller's path; null when the part is missing or the path is null. The
// file name follows the last separator (or a drive "X:"); "dir/" has none. The extension is
// the name's last "." onwards; "." and ".." have none.
QZOBJ_API WCHAR* FU_FindFilename(WCHAR* path);
QZOBJ_API const WCHAR* FU_FindFilenameC(const WCHAR* path);
QZOBJ_API WCHAR* FU_FindLastSeparator(WCHAR* path);
QZOBJ_API WCHAR* FU_FindExtension(WCHAR* path);
QZOBJ_API const WCHAR* FU_FindExtensionC(const WCHAR* path);
// Cuts the path behind its last separator (a bare name becomes empty).
QZOBJ_API BOOL FU_RemoveFilename(WCHAR* path);

// Existence of a file (FU_TestFileExists: not a folder) or a folder; links are followed.
QZOBJ_API BOOL FU_TestFileExists(const WCHAR* path);
QZOBJ_API BOOL FU_TestDirExists(const WCHAR* path);
// Creates every missing folder of the path; a last component after the final separator is
// taken as a folder too.
QZOBJ_API BOOL FU_CreatePath(const WCHAR* path);
// Creates an empty file (an existing one is kept as it is); its folder must exist.
QZOBJ_API BOOL FU_CreateDirectoryEntry(const WCHAR* path);
// Sets the file's last-write time to now.
QZOBJ_API BOOL FU_Touch(const WCHAR* path);

// Finds the first entry matching the pattern's name part (wildcards * and ?, without case, in
// sorted order) and writes its name over the pattern's name part; the folder part keeps the
// caller's spelling. `attributes` is an attribute mask (0 matches files only). No match fails
// with ERROR_FILE_NOT_FOUND. The form without capacity assumes MAX_PATH; a result that does
// not fit fails with ERROR_INSUFFICIENT_BUFFER and writes nothing.
QZOBJ_API BOOL FU_GetFirstMatch(WCHAR* pattern, DWORD attributes, DWORD flags);
QZOBJ_API BOOL FU_GetFirstMatchEx(WCHAR* pattern, size_t capacity, DWORD attributes, DWORD flags);

// Identity and size of a file: equal for two paths that reach the same file (through a
// symbolic or a hard link), different for a copy.
struct FU_FILEINFO {
    ULONGLONG ullDevice;
    ULONGLONG ullInode;
    ULONGLONG ullSize;
    FILETIME ftLastWrite;
};
QZOBJ_API BOOL FU_GetFileInfo(const WCHAR* path, FU_FILEINFO* info);

QZOBJ_API BOOL FU_GetLastModifyTime(const WCHAR* path, FILETIME* time);
// "YYYY-MM-DD HH:MM:SS" in local time; the buffer holds at least 20 characters.
QZOBJ_API BOOL FU_TranslateFileTime(const FILETIME* time, WCHAR* text);

// Deletes the files matching the pattern (never folders; a link is removed, not its target;
// read-only files go too). Non-zero when every match went, also when nothing matched.
QZOBJ_API BOOL FU_DeleteFiles(const WCHAR* pattern);
// Deletes the folder, with its subfolders when asked; symbolic links are removed, never
// followed (a link to a folder given as `path` is removed, its target kept). Without
// `subfolders` the folder's files go and the folder itself only when no subfolder remains
// (ERROR_DIR_NOT_EMPTY). A name part with wildcards ("proj/*") deletes the matching entries
// and keeps the folder. A file fails with ERROR_DIRECTORY; the root is refused.
QZOBJ_API BOOL FU_DeleteDirectory(const WCHAR* path, BOOL subfolders, DWORD flags);
// Copies the folder's files (and subfolders when asked) into `to`, creating it; links are
// copied as links, never followed. `from` may end in a wildcard name ("proj/*.*"), which
// selects the files copied. Copying into one of the source's own subfolders skips that
// subfolder; copying a folder onto itself fails with ERROR_ACCESS_DENIED.
QZOBJ_API BOOL FU_CopyDirectory(const WCHAR* from, const WCHAR* to, BOOL subfolders, DWORD flags);

// Calls the callback for each entry matching the pattern whose attributes meet the mask (0 for
// files only; FILE_ATTRIBUTE_DIRECTORY adds folders). The callback gets the full path (the
// pattern's folder as the caller spelled it plus the name) and the entry; returning FALSE stops
// the walk. FU_ENUM_RECURSIVE in `flags` descends into every subfolder. The result is non-zero
// when the walk went through, FALSE when the callback stopped it (ERROR_CANCELLED), threw, or
// a folder could not be read.
#define FU_ENUM_RECURSIVE 0x1u
typedef BOOL (*FU_ENUMPROC)(const WCHAR* path, const WIN32_FIND_DATAW* entry, uintptr_t context);
QZOBJ_API BOOL FU_EnumDirectory(FU_ENUMPROC callback, const WCHAR* pattern, DWORD attributeMask,
                                DWORD flags, uintptr_t context);

// Total size and count of the files matching the pattern (recursively with FU_ENUM_RECURSIVE);
// both outputs are required.
QZOBJ_API BOOL FU_ScanDir(const WCHAR* pattern, DWORD flags, ULONGLONG* totalSize,
                          DWORD* fileCount);
