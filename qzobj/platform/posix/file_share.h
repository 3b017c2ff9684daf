// Sharing records of open handles, kept as open-file-description locks on reserved bytes of the
// file, and the gate that makes checking and recording them one step.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "qzobj/types.h"

namespace qzo::platform::posix {

// Reserved bytes, counted from kLockableLimit (2^62): far above any data a file can hold.
enum class ShareByte : uint64_t {
    kHasRead = 0,      // held by every handle with read access
    kHasWrite = 1,     // held by every handle with write access
    kDeniesRead = 2,   // held by every handle that does not share reading
    kDeniesWrite = 3,  // held by every handle that does not share writing
    kIsOpen = 4,       // held by every handle
    kGate = 5,         // held alone, briefly, while an open checks and records its bytes
};

// Holds the gate byte of a file for its lifetime. A descriptor opened without write permission
// cannot hold it (exclusive locks need one); then `held()` is false and the caller relies on
// recording before checking (see file_share.cpp).
class ShareGate {
  public:
    ShareGate(int fd, bool writableDescriptor);
    ~ShareGate();
    ShareGate(const ShareGate&) = delete;
    ShareGate& operator=(const ShareGate&) = delete;
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_ = false;
};

// Records a handle's access and sharing mode on `fd` and checks them against every other handle
// of the file. On a conflict the records are released and the call fails with
// ERROR_SHARING_VIOLATION. Call with the gate held where possible.
bool RecordSharing(int fd, bool wantsRead, bool wantsWrite, DWORD share);

// True when `fd` and `native` name the same file (the name was not removed or replaced since
// `fd` was opened).
bool SameFileAsPath(int fd, const std::string& native);

// Runs `operation` (a delete or a move of the regular file at `native`) under the file's gate
// when no handle has the file open; fails with ERROR_SHARING_VIOLATION otherwise. A name that is
// not a regular file, or that this account cannot open, runs the operation unchecked.
bool RunUnlessOpen(const std::string& native, const std::function<bool()>& operation);

}  // namespace qzo::platform::posix
