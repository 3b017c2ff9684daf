// The inter-process lock file: an exclusive open-file-description lock on the whole file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {

FileLock::FileLock(const std::string& lockPath) {
    posix::Descriptor file(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (!file.valid()) {
        posix::FailOnPath(errno, lockPath);
        return;
    }
    // An open-file-description (OFD) lock, never a classic fcntl lock: classic locks belong to
    // the process, so two threads of one process would both "hold" them, and closing any
    // descriptor of the file (say, a reader elsewhere in the process) would silently drop
    // them. An OFD lock belongs to this descriptor alone: it conflicts with every other open
    // of the file, in this process or another, and goes away only when this descriptor closes
    // (or its process dies, which frees a crashed holder's lock).
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;  // the whole file, however long it grows
    while (fcntl(file.get(), F_OFD_SETLKW, &whole) != 0) {
        if (errno == EINTR) continue;  // a signal interrupted the wait: keep waiting
        posix::FailOnPath(errno, lockPath);
        return;
    }
    descriptor_ = file.release();
}

FileLock::~FileLock() {
    if (descriptor_ >= 0) ::close(descriptor_);  // closing the description releases the lock
}

}  // namespace qzo::platform
