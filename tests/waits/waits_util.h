// Helpers for wait tests: elapsed time, besides the shared waiting helpers (a condition another
// thread brings about, with a generous bound, so that a slow machine never fails a correct wait).
#pragma once

#include <chrono>

#include "support/wait_until.h"

namespace qzo::test {

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

}  // namespace qzo::test
