// File attributes kept in the extended attribute "user.qzo.attr", and the archive bit that
// marks a file changed since it was last backed up.
#include "qzobj/platform/posix/file_attributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

#include "qzobj/platform/file.h"
#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform::posix {
namespace {

DWORD DecodeWord(const unsigned char (&bytes)[4], ssize_t got) {
    if (got != 4) return 0;
    DWORD word =
        DWORD(bytes[0]) | DWORD(bytes[1]) << 8 | DWORD(bytes[2]) << 16 | DWORD(bytes[3]) << 24;
    return word & kStoredAttributeMask;
}

void EncodeWord(DWORD word, unsigned char (&bytes)[4]) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(word >> (8 * i));
}

bool Unsupported() {
    errno = ENOTSUP;
    return false;
}

// Removing an attribute that is not there is no failure.
bool Removed(int result) {
    return result == 0 || errno == ENODATA;
}

}  // namespace

DWORD StoredAttributes(int fd) {
    if (ExtendedAttributesDisabled()) return 0;
    unsigned char bytes[4];
    return DecodeWord(bytes, fgetxattr(fd, kAttributeName, bytes, sizeof bytes));
}

DWORD StoredAttributesOfPath(const std::string& native, bool followLinks) {
    if (ExtendedAttributesDisabled()) return 0;
    unsigned char bytes[4];
    ssize_t got = followLinks ? getxattr(native.c_str(), kAttributeName, bytes, sizeof bytes)
                              : lgetxattr(native.c_str(), kAttributeName, bytes, sizeof bytes);
    return DecodeWord(bytes, got);
}

bool IsReadOnly(DWORD stored, const struct stat& st) {
    return (stored & FILE_ATTRIBUTE_READONLY) || !(st.st_mode & S_IWUSR);
}

DWORD CombineAttributes(DWORD stored, const struct stat& st) {
    DWORD word = stored & ~FILE_ATTRIBUTE_READONLY;
    if (S_ISDIR(st.st_mode)) word |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnly(stored, st)) word |= FILE_ATTRIBUTE_READONLY;
    return word ? word : FILE_ATTRIBUTE_NORMAL;
}

DWORD AttributesOfPath(const std::string& native, const struct stat& st, bool followLinks) {
    // A link has no attribute word of its own to show; what it names does.
    bool isLink = S_ISLNK(st.st_mode);
    DWORD stored = isLink ? 0 : StoredAttributesOfPath(native, followLinks);
    return CombineAttributes(stored, st);
}

bool StoreAttributes(int fd, DWORD word) {
    if (ExtendedAttributesDisabled()) return Unsupported();
    word &= kStoredAttributeMask;
    if (word == 0) return Removed(fremovexattr(fd, kAttributeName));
    unsigned char bytes[4];
    EncodeWord(word, bytes);
    return fsetxattr(fd, kAttributeName, bytes, sizeof bytes, 0) == 0;
}

bool StoreAttributesOfPath(const std::string& native, DWORD word) {
    if (ExtendedAttributesDisabled()) return Unsupported();
    word &= kStoredAttributeMask;
    if (word == 0) return Removed(removexattr(native.c_str(), kAttributeName));
    unsigned char bytes[4];
    EncodeWord(word, bytes);
    return setxattr(native.c_str(), kAttributeName, bytes, sizeof bytes, 0) == 0;
}

mode_t MirrorReadOnly(mode_t mode, bool readOnly) {
    return readOnly ? (mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
}

}  // namespace qzo::platform::posix

namespace qzo::platform {

DWORD GetFileAttributes(const WCHAR* path) {
    std::string native;
    if (!ResolveFilePath(path, native)) return INVALID_FILE_ATTRIBUTES;
    return GetNativeFileAttributes(native);
}

DWORD GetNativeFileAttributes(const std::string& native) {
    struct stat st;
    if (stat(native.c_str(), &st) != 0) {
        posix::FailOnPath(errno, native);
        return INVALID_FILE_ATTRIBUTES;
    }
    return posix::AttributesOfPath(native, st, true);
}

bool SetFileAttributes(const WCHAR* path, DWORD attributes) {
    std::string native;
    if (!ResolveFilePath(path, native)) return false;
    if (posix::CrashSeamActive())
        posix::CountMutatingCall(posix::MutatingCall::kSetAttributes, native);
    struct stat st;
    if (stat(native.c_str(), &st) != 0) return posix::FailOnPath(errno, native);
    const DWORD wanted = attributes & posix::kStoredAttributeMask;
    if (!posix::StoreAttributesOfPath(native, wanted)) {
        const bool unsupported = errno == ENOTSUP || errno == EOPNOTSUPP;
        if (!unsupported) return posix::FailOnPath(errno, native);
        // Without extended attributes only read-only survives, in the permission bits.
        if (wanted & ~DWORD(FILE_ATTRIBUTE_READONLY)) return posix::Fail(ERROR_NOT_SUPPORTED);
    }
    if (S_ISDIR(st.st_mode)) return true;  // a folder's permissions say who may add names
    const mode_t mode = posix::MirrorReadOnly(st.st_mode, wanted & FILE_ATTRIBUTE_READONLY);
    if ((mode & 07777) != (st.st_mode & 07777) && chmod(native.c_str(), mode & 07777) != 0)
        return posix::FailOnPath(errno, native);
    return true;
}

}  // namespace qzo::platform
