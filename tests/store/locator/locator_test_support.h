// Helpers of the locator tests: a fixture with an object file made through LocFile and its own
// simulated network (this process is ALPHA, peers pose as BETA), requests, timing, and the raw
// datagrams that pose as a computer.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "qzobj/store/locator/locator_access.h"
#include "support/fixture.h"
#include "support/simulated_network.h"

namespace qzo::test::locator {

inline constexpr DWORD kObjID = 0xABC;  // "00000abc" in the messages
inline constexpr DWORD kProjID = 0x1234;
inline constexpr DWORD kHashID = 0x5A5A0001;
inline constexpr DWORD kRead = 0x80000000u;
inline constexpr DWORD kReadWrite = 0xC0000000u;
inline constexpr int kAlphaHost = 2;
inline constexpr int kBetaHost = 3;

inline std::u16string Wide(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

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

// Every test: "proj/OBJ/5A5A0001/00000ABC.QZO" of 3000 bytes, made with LocFile (CREATE_NEW),
// a hosts map with ALPHA and BETA, and a port base of its own.
class LocatorTest : public QzoTest {
  protected:
    void SetUp() override;

    qzo::store::AccessRequest Request(DWORD access, DWORD timeout) const;
    std::u16string ProjectPath() const { return Wide(TempPath("proj/")); }
    std::map<std::string, std::string> BetaEnvironment() const;

    std::string path_;
    std::u16string widePath_;
};

}  // namespace qzo::test::locator
