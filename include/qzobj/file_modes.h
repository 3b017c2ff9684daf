// The values that describe how a file is opened, mapped and positioned: creation dispositions,
// sharing modes, flags, page protections, view access and seek origins, with their Windows values.
#pragma once

#include "qzobj/types.h"

// Creation dispositions.
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

// Sharing modes: what other handles of the file may do while this one is open.
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

// Flags that go with the attributes of a new file.
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u

// Page protections of mappings and access rights of views.
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

// Seek origins.
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// Further results of file operations.
#ifndef ERROR_NEGATIVE_SEEK
#define ERROR_NEGATIVE_SEEK 131u
#endif
#ifndef ERROR_FILE_INVALID
#define ERROR_FILE_INVALID 1006u
#endif
#ifndef ERROR_USER_MAPPED_FILE
#define ERROR_USER_MAPPED_FILE 1224u
#endif
#ifndef ERROR_FILE_TOO_LARGE
#define ERROR_FILE_TOO_LARGE 223u
#endif
