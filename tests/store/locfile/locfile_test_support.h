// Helpers of the object file tests: system paths, file times, the trailer's bytes, and a fixture
// with an object file of known content.
#pragma once

#include <string>

#include "qzobj/diag.h"
#include "qzobj/file_modes.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/store/objfile/locfile.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test::locfile {

inline constexpr DWORD kHeaderLock = 2236;
inline constexpr DWORD kTrailer = 168;
inline constexpr DWORD kRead = 0x80000000u;
inline constexpr DWORD kReadWrite = 0xC0000000u;
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

inline std::u16string System(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

// Last-write time of a file in nanoseconds since 1970; -1 when it cannot be read.
long long LastWriteNs(const std::string& path);
// Sets both times of a file (nanoseconds since 1970).
void SetTimesNs(const std::string& path, long long lastAccess, long long lastWrite);
long long FileSize(const std::string& path);
// Whether a byte-range lock on [offset, offset + 1) is free for a new handle of this process.
bool ByteIsFree(const std::string& path, DWORD offset);

using ScopedDebug = qzo::test::ScopedDebugOutput;

// Closes a LocFile at the end of a scope.
struct Closer {
    explicit Closer(LocFile* file) : file_(file) {}
    ~Closer() {
        if (file_) file_->Close();
    }
    LocFile* file_;
};

// Every test starts with "obj.qzo": 3000 bytes of a known pattern, last written at a fixed time.
class LocFileTest : public QzoTest {
  protected:
    static constexpr long long kOldWrite = 1000000000123456700LL;
    static constexpr long long kOldAccess = 1000000000000000000LL;

    void SetUp() override;
    LocFile* OpenWriter(DWORD share = FILE_SHARE_READ);
    LocFile* OpenReader();
    std::string Content() const;

    std::string path_;
    std::string original_;
};

}  // namespace qzo::test::locfile
