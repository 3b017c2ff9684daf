// Byte-range locks of file handles with Windows rules, on open-file-description locks.
//
// What Windows guarantees: LockFile takes an exclusive lock of a byte range for one handle. Any
// other handle, in the same thread or another process, fails to lock an overlapping range; the
// same handle fails too (locks do not nest or merge); UnlockFile must name a locked range
// exactly. Closing a handle, or the death of its process, releases its locks and only its locks.
// Windows also refuses other handles' reads and writes inside a locked range.
//
// How we get it: each lock is an exclusive F_OFD_SETLK lock of the range on the handle's own
// open file description, never a classic fcntl lock. Classic locks belong to the process: two
// handles in one process would never conflict, and closing any descriptor of the file would drop
// every lock the process holds there. OFD locks conflict between any two descriptions and live
// until their own description closes or the process dies, so a killed holder's locks are freed.
// The kernel merges and splits a description's own ranges freely, which Windows does not, so
// each handle keeps a table of its ranges: an overlap with its own table fails with
// ERROR_LOCK_VIOLATION, an unlock that is not an exact entry fails with ERROR_NOT_LOCKED.
// A length of 0 is never passed to the kernel (it would mean "to the end of all files"), and no
// range may reach 2^62, where the sharing records live.
//
// What we cannot promise: locks are advisory, so they bind other lockers but not other handles'
// reads and writes, nor processes that do not use this layer. A handle on a file this account may
// not write holds a shared lock instead (exclusive ones need a writable descriptor): it still
// conflicts with every exclusive lock, but two such handles may both lock one range.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {
namespace {

using posix::Fail;

bool Overlaps(uint64_t offsetA, uint64_t lengthA, uint64_t offsetB, uint64_t lengthB) {
    return offsetA < offsetB + lengthB && offsetB < offsetA + lengthA;
}

struct flock RangeLock(uint64_t offset, uint64_t length, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = static_cast<off_t>(length);
    return lock;
}

bool SetRange(int fd, struct flock& lock) {
    while (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// When a shared lock stands in for an exclusive one, first make sure nobody else holds any lock
// on the range (a shared probe would miss other shared locks).
bool OtherLocksRange(int fd, uint64_t offset, uint64_t length) {
    struct flock probe = RangeLock(offset, length, F_WRLCK);
    return fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

}  // namespace

bool File::Lock(uint64_t offset, uint64_t length) {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (length == 0 || offset >= kLockableLimit || length > kLockableLimit - offset)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> hold(rangesGuard_);
    for (const LockedRange& held : ranges_)
        if (Overlaps(offset, length, held.offset, held.length)) return Fail(ERROR_LOCK_VIOLATION);
    const short type = writableDescriptor_ ? F_WRLCK : F_RDLCK;
    if (!writableDescriptor_ && OtherLocksRange(fd_, offset, length))
        return Fail(ERROR_LOCK_VIOLATION);
    struct flock lock = RangeLock(offset, length, type);
    if (!SetRange(fd_, lock)) {
        const int error = errno;
        if (error == EAGAIN || error == EACCES) return Fail(ERROR_LOCK_VIOLATION);
        SetLastErrorFromErrno(error);
        return false;
    }
    ranges_.push_back(LockedRange{offset, length});
    return true;
}

bool File::Unlock(uint64_t offset, uint64_t length) {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> hold(rangesGuard_);
    auto entry = std::find_if(ranges_.begin(), ranges_.end(), [&](const LockedRange& held) {
        return held.offset == offset && held.length == length;
    });
    if (entry == ranges_.end()) return Fail(ERROR_NOT_LOCKED);
    struct flock unlock = RangeLock(offset, length, F_UNLCK);
    if (!SetRange(fd_, unlock)) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    ranges_.erase(entry);
    return true;
}

}  // namespace qzo::platform
