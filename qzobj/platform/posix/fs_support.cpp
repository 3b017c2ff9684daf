// Descriptor ownership, error mapping and EINTR-safe writes for the POSIX file-system services.
#include "qzobj/platform/posix/fs_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qzobj/platform/last_error.h"

namespace qzo::platform::posix {

Descriptor::~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

bool Descriptor::close() {
    if (fd_ < 0) return true;
    int result = ::close(release());
    return result == 0 || errno == EINTR;  // after EINTR the descriptor is gone all the same
}

std::string ParentOf(const std::string& native) {
    size_t end = native.size();
    while (end > 1 && native[end - 1] == '/') --end;
    size_t slash = native.rfind('/', end - 1);
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return native.substr(0, slash);
}

bool ParentMissing(const std::string& native) {
    std::string parent = ParentOf(native);
    if (parent.empty()) return false;
    struct stat st;
    return stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

bool FailOnPath(int error, const std::string& native) {
    SetLastErrorFromErrno(error, error == ENOENT && ParentMissing(native));
    return false;
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace qzo::platform::posix
