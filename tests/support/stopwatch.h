// Milliseconds of the monotonic clock since construction, for bounds on waits.
#pragma once

#include <chrono>

namespace qzo::test {

class Stopwatch {
  public:
    long long Ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }
    void Restart() { start_ = std::chrono::steady_clock::now(); }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace qzo::test
