// Helpers of the file tests: system paths from native ones, the fixture, checks of a result
// together with the last error, a peer that drives CQZFile handles in another process, and the
// answers it gives.
#pragma once

#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/file.h"
#include "qzobj/platform/file_faults.h"
#include "qzobj/platform/last_error.h"
#include "support/fixture.h"
#include "support/last_error_checks.h"
#include "support/peer.h"

namespace qzo::test::files {

inline std::u16string System(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

// The fixture of the file tests: armed file faults and debug output end with the test.
class FileTest : public QzoTest {
  protected:
    void TearDown() override {
        qzo::platform::ClearFileFaults();
        SetDebugMode(FALSE);
        QzoTest::TearDown();
    }
    // A path in the test's folder, in the library's form.
    std::u16string Path(const std::string& name) const { return System(TempPath(name)); }
};

// Splits a peer's answer "a b c" into words.
std::vector<std::string> Words(const std::string& answer);

// A peer process whose commands act on CQZFile objects it keeps by slot name:
//   file_open SLOT PATH ACCESS SHARE CREATION  -> "RESULT LASTERROR"
//   file_lock SLOT OFFSET BYTES                -> "BOOL LASTERROR"
//   file_unlock SLOT OFFSET BYTES              -> "BOOL LASTERROR"
//   file_close SLOT                            -> "BOOL"
// Numbers may be decimal or 0x-hexadecimal.
class FilePeer {
  public:
    FilePeer();
    bool started() const { return started_; }
    // Returns the open result, and the peer's last error through `error`.
    unsigned Open(const std::string& slot, const std::string& path, DWORD access, DWORD share,
                  DWORD creation, DWORD* error = nullptr);
    bool Lock(const std::string& slot, DWORD offset, DWORD bytes, DWORD* error = nullptr);
    bool Unlock(const std::string& slot, DWORD offset, DWORD bytes, DWORD* error = nullptr);
    bool Close(const std::string& slot);
    std::string Call(const std::string& command) { return peer_.Call(command); }
    // Kills the peer with SIGKILL and waits for it.
    void Kill();

  private:
    Peer peer_;
    bool started_ = false;
};

}  // namespace qzo::test::files
