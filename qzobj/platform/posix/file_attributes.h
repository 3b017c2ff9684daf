// The attribute word of files and folders: the bits Windows keeps (read-only, hidden, system,
// archive, temporary) stored little-endian in the extended attribute "user.qzo.attr", with the
// folder bit taken from the inode and read-only mirrored into the write permission bits.
#pragma once

#include <sys/stat.h>

#include <string>

#include "qzobj/types.h"

namespace qzo::platform::posix {

inline constexpr char kAttributeName[] = "user.qzo.attr";
inline constexpr DWORD kStoredAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                              FILE_ATTRIBUTE_TEMPORARY;

// The stored word (only the bits of kStoredAttributeMask); 0 when none is stored or the file
// system keeps no extended attributes.
DWORD StoredAttributes(int fd);
DWORD StoredAttributesOfPath(const std::string& native, bool followLinks);

// The word callers see: the stored bits, DIRECTORY for a folder, READONLY also when the owner
// may not write, NORMAL when nothing is set.
DWORD CombineAttributes(DWORD stored, const struct stat& st);
DWORD AttributesOfPath(const std::string& native, const struct stat& st, bool followLinks);
bool IsReadOnly(DWORD stored, const struct stat& st);

// Stores the word; false with errno set (ENOTSUP where the file system keeps none). A word of 0
// removes the attribute.
bool StoreAttributes(int fd, DWORD word);
bool StoreAttributesOfPath(const std::string& native, DWORD word);

// Permission bits with the write bits removed (read-only) or the owner's restored.
mode_t MirrorReadOnly(mode_t mode, bool readOnly);

}  // namespace qzo::platform::posix
