// Shared pieces of the POSIX file-system services: a descriptor that closes itself, the
// errno-to-last-error mapping that tells a missing name from a missing folder, and EINTR-safe
// reads and writes.
#pragma once

#include <string>

#include "qzobj/types.h"

namespace qzo::platform::posix {

// Owns a file descriptor; closes it on destruction.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; false (errno set) when close reports an error.
    bool close();

  private:
    int fd_ = -1;
};

// The folder part of a native path ("" for a bare name, "/" for a name in the root).
std::string ParentOf(const std::string& native);
// True when the folder that would hold `native` does not exist.
bool ParentMissing(const std::string& native);
// Sets the last error for `error` raised on `native` (ENOENT becomes 2 or 3) and returns false.
bool FailOnPath(int error, const std::string& native);
// Sets the last error and returns false.
bool Fail(DWORD error);

// Writes all bytes, retrying short writes and EINTR; false with errno set on failure.
bool WriteAll(int fd, const char* data, size_t size);

}  // namespace qzo::platform::posix
