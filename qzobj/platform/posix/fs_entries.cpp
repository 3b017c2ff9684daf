// Creating, removing, moving and copying files, links and folders on the native file system.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/file_share.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {
namespace {

using posix::Descriptor;
using posix::Fail;
using posix::FailOnPath;
using posix::MutatingCall;

// Counts the call for the crash seam, which may end the process here, before the call acts.
void Count(MutatingCall kind, const std::string& path, const std::string& second = {}) {
    if (posix::CrashSeamActive()) posix::CountMutatingCall(kind, path, second);
}

constexpr DWORD kErrorNotSameDevice = 17;  // a folder cannot move to another file system

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool CopyBytes(int from, int to) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        if (!posix::WriteAll(to, buffer.data(), static_cast<size_t>(got))) return false;
    }
}

// Renames without replacing an existing target. File systems without the no-replace rename
// get a check before the rename, which another process could race.
int RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    struct stat st;
    if (lstat(to.c_str(), &st) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Renames, or copies and removes across file systems, without the sharing check.
bool MoveUnchecked(const std::string& from, const std::string& to) {
    struct stat source;
    if (lstat(from.c_str(), &source) != 0) return FailOnPath(errno, from);
    int error = RenameNoReplace(from, to);
    if (error == 0) return true;
    if (error == EEXIST || error == ENOTEMPTY) return Fail(ERROR_ALREADY_EXISTS);
    if (error == ENOENT) return Fail(ERROR_PATH_NOT_FOUND);  // the source exists: `to`'s folder
    if (error != EXDEV) return FailOnPath(error, to);
    // Another file system: files are copied and the original removed; folders cannot move.
    if (S_ISDIR(source.st_mode)) return Fail(kErrorNotSameDevice);
    if (S_ISLNK(source.st_mode)) {
        if (!CopySymlink(from, to)) return false;
    } else if (!CopyFile(from, to, true)) {
        return false;
    }
    if (unlink(from.c_str()) != 0) {
        int unlinkError = errno;
        unlink(to.c_str());
        return FailOnPath(unlinkError, from);
    }
    return true;
}

}  // namespace

bool CreateDirectory(const std::string& native) {
    Count(MutatingCall::kCreateDirectory, native);
    if (mkdir(native.c_str(), 0777) == 0) return true;
    int error = errno;
    if (error == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
    // mkdir reports ENOENT only when a folder above the new one is missing.
    if (error == ENOENT) return Fail(ERROR_PATH_NOT_FOUND);
    return FailOnPath(error, native);
}

bool CreateDirectories(const std::string& native) {
    if (native.empty()) return Fail(ERROR_INVALID_PARAMETER);
    if (IsDirectory(native)) return true;
    Count(MutatingCall::kCreateDirectory, native);
    for (size_t slash = native.find('/', 1);; slash = native.find('/', slash + 1)) {
        std::string level = native.substr(0, slash);
        if (mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) return FailOnPath(errno, level);
        if (!IsDirectory(level)) {
            // A file stands where a folder is needed.
            return Fail(slash == std::string::npos ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND);
        }
        if (slash == std::string::npos || slash + 1 == native.size()) return true;
    }
}

bool RemoveDirectory(const std::string& native) {
    Count(MutatingCall::kRemoveDirectory, native);
    if (rmdir(native.c_str()) == 0) return true;
    int error = errno;
    if (error == ENOTDIR) {
        struct stat st;
        if (lstat(native.c_str(), &st) == 0) return Fail(ERROR_DIRECTORY);
    }
    if (error == EEXIST) error = ENOTEMPTY;  // some file systems say EEXIST for a full folder
    return FailOnPath(error, native);
}

bool DeleteFile(const std::string& native) {
    Count(MutatingCall::kDelete, native);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return FailOnPath(errno, native);
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    return posix::RunUnlessOpen(
        native, [&] { return unlink(native.c_str()) == 0 || FailOnPath(errno, native); });
}

bool MoveFile(const std::string& from, const std::string& to) {
    Count(MutatingCall::kMove, from, to);
    return posix::RunUnlessOpen(from, [&] { return MoveUnchecked(from, to); });
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
    Count(MutatingCall::kCopy, from, to);
    Descriptor source(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source.valid()) return FailOnPath(errno, from);
    struct stat st;
    if (fstat(source.get(), &st) != 0) return FailOnPath(errno, from);
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    struct stat existing;
    if (stat(to.c_str(), &existing) == 0) {
        if (failIfExists) return Fail(ERROR_FILE_EXISTS);
        // Truncating the target would destroy the source when both are one file.
        if (SameFile(st, existing)) return Fail(ERROR_SHARING_VIOLATION);
    }
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
    Descriptor target(open(to.c_str(), flags, st.st_mode & 07777));
    if (!target.valid()) {
        int error = errno;
        if (error == EEXIST) return Fail(ERROR_FILE_EXISTS);
        return error == ENOENT ? Fail(ERROR_PATH_NOT_FOUND) : FailOnPath(error, to);
    }
    if (!CopyBytes(source.get(), target.get())) return FailOnPath(errno, to);
    fchmod(target.get(), st.st_mode & 07777);  // an existing target keeps none of its own bits
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(target.get(), times);
    if (!target.close()) return FailOnPath(errno, to);
    return true;
}

bool CopySymlink(const std::string& from, const std::string& to) {
    Count(MutatingCall::kCopy, from, to);
    std::vector<char> buffer(4096);
    ssize_t length = readlink(from.c_str(), buffer.data(), buffer.size() - 1);
    if (length < 0) return FailOnPath(errno, from);
    buffer[static_cast<size_t>(length)] = '\0';
    struct stat existing;
    if (lstat(to.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) return Fail(ERROR_ALREADY_EXISTS);
        if (unlink(to.c_str()) != 0) return FailOnPath(errno, to);
    }
    if (symlink(buffer.data(), to.c_str()) != 0) {
        int error = errno;
        return error == ENOENT ? Fail(ERROR_PATH_NOT_FOUND) : FailOnPath(error, to);
    }
    return true;
}

bool CreateEmptyFile(const std::string& native) {
    struct stat st;
    if (stat(native.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode) ? Fail(ERROR_ACCESS_DENIED) : true;
    }
    Count(MutatingCall::kOpenCreate, native);
    Descriptor file(open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.valid() || errno == EEXIST) return true;  // EEXIST: another thread created it
    int error = errno;
    return error == ENOENT ? Fail(ERROR_PATH_NOT_FOUND) : FailOnPath(error, native);
}

}  // namespace qzo::platform
