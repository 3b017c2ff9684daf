// Helpers of the cross-process object store tests: a working project of this process (ALPHA)
// that peers posing as BETA and GAMMA open as well, each with its own computer name, loopback
// address, Windows directory and the test's own mailslot port base.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "store/storexp/object_file_reader.h"
#include "store/storexp/payload_object.h"
#include "support/fixture.h"
#include "support/peer.h"

namespace qzo::test::store {

inline constexpr int kAlphaHost = 2;
inline constexpr int kBetaHost = 3;
inline constexpr int kGammaHost = 4;

std::string Narrow(const std::u16string& text);
std::string LocationText(const Location& location);

// Milliseconds of the monotonic clock since construction.
class Stopwatch {
  public:
    long long Ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class StoreXpTest : public QzoTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A new object of the test class holding version `tag` of `size` bytes, with write access.
    ObjectRef Create(DWORD tag, DWORD size);
    // Restores the object at `location_`; `result` gets the restore's answer.
    ObjectRef Restore(DWORD access, DWORD timeout, DWORD* result);
    // A peer posing as computer `name` (its address comes from the hosts map), with a Windows
    // directory of its own and this test's project as its working project.
    std::unique_ptr<Peer> StartPeer(const std::string& name);

    std::string ObjectFile() const;  // native path of `location_`'s file
    std::string ProjectFolder() const { return project_; }

    DWORD projectID_ = 0;
    Location location_;

  private:
    std::string root_;
    std::string project_;
};

}  // namespace qzo::test::store
