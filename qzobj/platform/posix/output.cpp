// Standard error and append-only files as raw outputs, on POSIX descriptors.
#include "qzobj/platform/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qzo::platform {

OutputHandle StandardErrorOutput() {
    return STDERR_FILENO;
}

OutputHandle OpenAppendOutput(const char* nativePath) {
    if (!nativePath || !*nativePath) return kNoOutput;
    int fd;
    do {
        fd = open(nativePath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? kNoOutput : fd;
}

bool WriteOutput(OutputHandle output, const void* data, size_t size) {
    if (output < 0) return false;
    // O_APPEND makes each write(2) to a regular file seek and write as one step, so a message
    // written by one call never mixes with another writer's; a second call is needed only when
    // a signal or a full device cut the first one short.
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = write(output, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void CloseOutput(OutputHandle output) {
    if (output > STDERR_FILENO) close(output);
}

bool IsTerminal(OutputHandle output) {
    return output >= 0 && isatty(output) == 1;
}

}  // namespace qzo::platform
