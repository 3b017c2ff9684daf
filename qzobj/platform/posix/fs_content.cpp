// Whole-file reads and atomic replacement of a file's content.
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {
namespace {

using posix::Descriptor;
using posix::Fail;
using posix::FailOnPath;

// A name for the temporary copy, next to the file so that the rename stays on one file system.
std::string TemporaryNameFor(const std::string& native) {
    static std::atomic<unsigned> counter{0};
    std::string parent = posix::ParentOf(native);
    std::string base =
        native.substr(native.rfind('/') == std::string::npos ? 0 : native.rfind('/') + 1);
    std::string folder = parent.empty() ? "" : (parent == "/" ? "/" : parent + "/");
    return folder + "." + base + ".tmp-" + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

// Where the new content goes: the file a link names, so that the link stays a link.
std::string ReplacementTarget(const std::string& native) {
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return native;
    char resolved[PATH_MAX];
    return realpath(native.c_str(), resolved) ? std::string(resolved) : native;
}

bool WriteTemporary(int fd, const std::string& bytes, const struct stat* original) {
    if (original && fchmod(fd, original->st_mode & 07777) != 0) return false;
    if (!posix::WriteAll(fd, bytes.data(), bytes.size())) return false;
    return fsync(fd) == 0;
}

}  // namespace

bool ReadWholeFile(const std::string& native, std::string& bytes) {
    Descriptor file(open(native.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return FailOnPath(errno, native);
    struct stat st;
    if (fstat(file.get(), &st) != 0) return FailOnPath(errno, native);
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    bytes.clear();
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return FailOnPath(errno, native);
        }
        if (got == 0) return true;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

bool ReplaceFileContent(const std::string& native, const std::string& bytes) {
    // One counted call: the temporary copy and the rename make the replacement atomic anyway.
    if (posix::CrashSeamActive())
        posix::CountMutatingCall(posix::MutatingCall::kReplaceContent, native);
    const std::string target = ReplacementTarget(native);
    struct stat original;
    const bool exists = stat(target.c_str(), &original) == 0;
    if (exists && S_ISDIR(original.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (exists && !(original.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);  // read-only

    std::string temporary;
    Descriptor file;
    for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
        temporary = TemporaryNameFor(target);
        file = Descriptor(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!file.valid() && errno != EEXIST) {
            int error = errno;
            return error == ENOENT ? Fail(ERROR_PATH_NOT_FOUND) : FailOnPath(error, target);
        }
    }
    if (!file.valid()) return Fail(ERROR_FILE_EXISTS);
    if (!WriteTemporary(file.get(), bytes, exists ? &original : nullptr) || !file.close() ||
        ::rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        unlink(temporary.c_str());
        return FailOnPath(error, target);
    }
    // Make the rename itself durable; a failure here leaves the new content in place anyway.
    std::string parent = posix::ParentOf(target);
    Descriptor folder(
        open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) fsync(folder.get());
    return true;
}

}  // namespace qzo::platform
