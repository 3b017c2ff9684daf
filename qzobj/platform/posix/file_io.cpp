// Transfers, positions, size, end of file, flushing and times of open file handles, with the
// access each needs checked by the layer (descriptors are opened read-write where permitted).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qzobj/platform/file.h"
#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {
namespace {

using posix::Fail;

// A file-size limit (EFBIG) has no errno mapping of its own elsewhere.
bool FailFromErrno() {
    const int error = errno;
    if (error == EFBIG) return Fail(ERROR_FILE_TOO_LARGE);
    SetLastErrorFromErrno(error);
    return false;
}

timespec TimespecOrOmit(const FILETIME* time) {
    if (!time || FileTimeValue(*time) == 0) return timespec{0, UTIME_OMIT};
    int64_t seconds = 0, nanoseconds = 0;
    UnixFromFileTime(*time, seconds, nanoseconds);
    return timespec{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)};
}

}  // namespace

bool File::Read(void* buffer, DWORD bytes, DWORD& done) {
    return Transfer(buffer, bytes, done, kAtPosition);
}

bool File::ReadAt(uint64_t offset, void* buffer, DWORD bytes, DWORD& done) {
    done = 0;
    if (offset >= kLockableLimit) return Fail(ERROR_INVALID_PARAMETER);
    return Transfer(buffer, bytes, done, offset);
}

bool File::Write(const void* buffer, DWORD bytes, DWORD& done) {
    return Transfer(buffer, bytes, done, kAtPosition);
}

bool File::WriteAt(uint64_t offset, const void* buffer, DWORD bytes, DWORD& done) {
    done = 0;
    if (offset >= kLockableLimit) return Fail(ERROR_INVALID_PARAMETER);
    return Transfer(buffer, bytes, done, offset);
}

bool File::Transfer(void* buffer, DWORD bytes, DWORD& done, uint64_t at) {
    done = 0;
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (!canRead()) return Fail(ERROR_ACCESS_DENIED);
    if (bytes && !buffer) return Fail(ERROR_INVALID_PARAMETER);
    if (const IoFault fault = TakeReadFault(); fault != IoFault::kNone)
        return Fail(ErrorOfIoFault(fault));
    auto* out = static_cast<char*>(buffer);
    while (done < bytes) {
        const ssize_t got = at == kAtPosition
                                ? ::read(fd_, out + done, bytes - done)
                                : ::pread(fd_, out + done, bytes - done, off_t(at + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return FailFromErrno();
        }
        if (got == 0) break;  // the end of the file
        done += static_cast<DWORD>(got);
    }
    return true;
}

bool File::Transfer(const void* buffer, DWORD bytes, DWORD& done, uint64_t at) {
    done = 0;
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (!canWrite()) return Fail(ERROR_ACCESS_DENIED);
    if (bytes && !buffer) return Fail(ERROR_INVALID_PARAMETER);
    if (const IoFault fault = TakeWriteFault(); fault != IoFault::kNone)
        return Fail(ErrorOfIoFault(fault));
    const DWORD allowed = TakeWriteBudget(bytes);
    const auto* in = static_cast<const char*>(buffer);
    if (allowed && posix::CrashSeamActive()) {
        if (at == kAtPosition)
            posix::CountWrite(fd_, native_, in, allowed);
        else
            posix::CountWriteAt(fd_, native_, in, allowed, at);
    }
    if (bytes) MarkModified();
    while (done < allowed) {
        const ssize_t put = at == kAtPosition
                                ? ::write(fd_, in + done, allowed - done)
                                : ::pwrite(fd_, in + done, allowed - done, off_t(at + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return FailFromErrno();
        }
        if (put == 0) break;
        done += static_cast<DWORD>(put);
    }
    if (done < bytes) return Fail(ERROR_DISK_FULL);
    return true;
}

bool File::Seek(int64_t distance, DWORD method, uint64_t& position) {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (method > FILE_END) return Fail(ERROR_INVALID_PARAMETER);
    // An absolute move needs no base: one system call instead of two on the hot path of
    // positioned transfers.
    int64_t base = 0;
    if (method != FILE_BEGIN) {
        const off_t current = lseek(fd_, 0, method == FILE_CURRENT ? SEEK_CUR : SEEK_END);
        if (current < 0) return FailFromErrno();
        base = static_cast<int64_t>(current);
    }
    const int64_t target = base + distance;
    if (target < 0 || (distance > 0 && target < base)) return Fail(ERROR_NEGATIVE_SEEK);
    if (lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) return FailFromErrno();
    position = static_cast<uint64_t>(target);
    return true;
}

bool File::SetEndOfFile() {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (!canWrite()) return Fail(ERROR_ACCESS_DENIED);
    if (mappings_.load() > 0) return Fail(ERROR_USER_MAPPED_FILE);
    off_t position = lseek(fd_, 0, SEEK_CUR);
    if (position < 0) return FailFromErrno();
    if (posix::CrashSeamActive())
        posix::CountMutatingCall(posix::MutatingCall::kSetEndOfFile, native_);
    MarkModified();
    if (ftruncate(fd_, position) != 0) return FailFromErrno();
    return true;
}

bool File::Flush() {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (FlushFaultActive()) return Fail(ERROR_WRITE_FAULT);
    if (!canWrite()) return true;  // nothing of ours can be waiting
    if (fdatasync(fd_) != 0 && errno != EINVAL) return FailFromErrno();
    return true;
}

bool File::GetSize(uint64_t& size) const {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(fd_, &st) != 0) return FailFromErrno();
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool File::GetTimes(FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) const {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    struct statx times {};
    const unsigned mask = STATX_ATIME | STATX_MTIME | STATX_BTIME;
    if (statx(fd_, "", AT_EMPTY_PATH, mask, &times) != 0) return FailFromErrno();
    auto convert = [](const statx_timestamp& t) { return FileTimeFromUnix(t.tv_sec, t.tv_nsec); };
    if (lastAccess) *lastAccess = convert(times.stx_atime);
    if (lastWrite) *lastWrite = convert(times.stx_mtime);
    if (creation)
        *creation =
            (times.stx_mask & STATX_BTIME) ? convert(times.stx_btime) : convert(times.stx_mtime);
    return true;
}

bool File::SetTimes(const FILETIME* /*creation*/, const FILETIME* lastAccess,
                    const FILETIME* lastWrite) {
    // The birth time of a file cannot be set on this platform; a creation time is ignored.
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (!canWrite()) return Fail(ERROR_ACCESS_DENIED);
    const timespec times[2] = {TimespecOrOmit(lastAccess), TimespecOrOmit(lastWrite)};
    if (posix::CrashSeamActive()) posix::CountMutatingCall(posix::MutatingCall::kSetTimes, native_);
    if (futimens(fd_, times) != 0) return FailFromErrno();
    return true;
}

}  // namespace qzo::platform
