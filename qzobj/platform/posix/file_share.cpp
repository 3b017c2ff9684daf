// Sharing modes between handles and processes, emulated with open-file-description locks on
// reserved bytes, and the check that keeps deletes and moves away from open files.
//
// What Windows guarantees: an open names the access it wants and the access it lets others
// have; it fails with a sharing violation when it wants what an earlier handle denies, or
// denies what an earlier handle has. The check is atomic, holds between any two handles (two
// of one thread too), and ends when a handle closes or its process dies. An open file cannot
// be deleted or renamed.
//
// How we get it: each handle takes shared (read) locks on bytes far above any data, at 2^62+k,
// saying what it has and what it denies: "has read", "has write", "denies read", "denies
// write", "is open". An open probes the opposite bytes with F_OFD_GETLK for a write lock, which
// reports any other handle's shared lock there. The locks are open-file-description (OFD)
// locks, never classic fcntl locks: classic locks belong to the process, so two handles in one
// process would never see each other, and closing any descriptor of the file (a copy, a
// library reading it, another handle) would silently drop every record the process holds. OFD
// locks belong to one open file description: they conflict with every other open, in this
// process or another, and vanish only when that description closes or its process dies, so a
// killed holder stops blocking at once.
//
// The check and the recording happen under the gate byte, an exclusive lock taken for the few
// system calls in between, so two opens cannot both pass before either records. The opener
// records first and checks afterwards (a probe ignores the prober's own locks), so even
// without the gate two racing opens can both fail, never both succeed. After recording, the
// opener checks that its descriptor still names the file at the path: a delete or move that
// ran between the open and the gate leaves it holding a stale inode, and it starts again.
// Deletes and moves take the gate and refuse while anyone holds "is open".
//
// What we cannot promise: processes that ignore these bytes (tools other than this library)
// are not bound; a descriptor without write permission (a file this account may not write)
// cannot take the gate, which leaves only the record-then-check order; files on network file
// systems without OFD lock support are not bound between computers.
#include "qzobj/platform/posix/file_share.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qzobj/file_modes.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform::posix {
namespace {

off_t OffsetOf(ShareByte byte) {
    return static_cast<off_t>(kLockableLimit + static_cast<uint64_t>(byte));
}

struct flock ByteLock(ShareByte byte, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = OffsetOf(byte);
    lock.l_len = 1;
    return lock;
}

bool SetByte(int fd, ShareByte byte, short type) {
    struct flock lock = ByteLock(byte, type);
    while (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// True when another open file description holds any lock on the byte.
bool OtherHolds(int fd, ShareByte byte) {
    struct flock probe = ByteLock(byte, F_WRLCK);
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
    return probe.l_type != F_UNLCK;
}

void ReleaseRecords(int fd) {
    for (ShareByte byte : {ShareByte::kHasRead, ShareByte::kHasWrite, ShareByte::kDeniesRead,
                           ShareByte::kDeniesWrite, ShareByte::kIsOpen})
        SetByte(fd, byte, F_UNLCK);
}

bool Conflicts(int fd, bool wantsRead, bool wantsWrite, DWORD share) {
    if (wantsRead && OtherHolds(fd, ShareByte::kDeniesRead)) return true;
    if (wantsWrite && OtherHolds(fd, ShareByte::kDeniesWrite)) return true;
    if (!(share & FILE_SHARE_READ) && OtherHolds(fd, ShareByte::kHasRead)) return true;
    if (!(share & FILE_SHARE_WRITE) && OtherHolds(fd, ShareByte::kHasWrite)) return true;
    return false;
}

}  // namespace

ShareGate::ShareGate(int fd, bool writableDescriptor) : fd_(fd) {
    if (!writableDescriptor) return;
    struct flock gate = ByteLock(ShareByte::kGate, F_WRLCK);
    // The gate is held only for a few system calls (or by a holder that died, whose lock the
    // kernel drops), so waiting for it is bounded.
    while (fcntl(fd_, F_OFD_SETLKW, &gate) != 0) {
        if (errno != EINTR) return;
    }
    held_ = true;
}

ShareGate::~ShareGate() {
    if (held_) SetByte(fd_, ShareByte::kGate, F_UNLCK);
}

bool RecordSharing(int fd, bool wantsRead, bool wantsWrite, DWORD share) {
    // A handle with neither read nor write access (attributes and times only) takes part in no
    // sharing check, as on Windows; it still counts as open.
    const bool dataAccess = wantsRead || wantsWrite;
    bool recorded = SetByte(fd, ShareByte::kIsOpen, F_RDLCK);
    if (dataAccess) {
        if (wantsRead) recorded = recorded && SetByte(fd, ShareByte::kHasRead, F_RDLCK);
        if (wantsWrite) recorded = recorded && SetByte(fd, ShareByte::kHasWrite, F_RDLCK);
        if (!(share & FILE_SHARE_READ))
            recorded = recorded && SetByte(fd, ShareByte::kDeniesRead, F_RDLCK);
        if (!(share & FILE_SHARE_WRITE))
            recorded = recorded && SetByte(fd, ShareByte::kDeniesWrite, F_RDLCK);
    }
    if (!recorded) {
        int error = errno;
        ReleaseRecords(fd);
        SetLastErrorFromErrno(error);
        return false;
    }
    if (dataAccess && Conflicts(fd, wantsRead, wantsWrite, share)) {
        ReleaseRecords(fd);
        return Fail(ERROR_SHARING_VIOLATION);
    }
    return true;
}

bool SameFileAsPath(int fd, const std::string& native) {
    struct stat byName, byDescriptor;
    if (stat(native.c_str(), &byName) != 0 || fstat(fd, &byDescriptor) != 0) return false;
    return byName.st_dev == byDescriptor.st_dev && byName.st_ino == byDescriptor.st_ino;
}

bool RunUnlessOpen(const std::string& native, const std::function<bool()>& operation) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        struct stat st;
        if (lstat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return operation();
        const int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
        bool writable = true;
        Descriptor file(open(native.c_str(), O_RDWR | flags));
        if (!file.valid() && errno == EACCES) {
            writable = false;
            file = Descriptor(open(native.c_str(), O_RDONLY | flags));
        }
        if (!file.valid()) {
            if (errno == ENOENT) continue;  // gone meanwhile: look again
            return operation();             // cannot be opened here, so not by this library
        }
        ShareGate gate(file.get(), writable);
        if (!SameFileAsPath(file.get(), native)) continue;  // replaced before the gate
        if (OtherHolds(file.get(), ShareByte::kIsOpen)) return Fail(ERROR_SHARING_VIOLATION);
        return operation();  // still under the gate: no open can slip in between
    }
    return Fail(ERROR_SHARING_VIOLATION);
}

}  // namespace qzo::platform::posix
