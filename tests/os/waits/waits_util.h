// Helpers for wait tests: elapsed time, checks of a result together with the last error, and
// the shared waiting helpers (a condition another thread brings about, with a generous bound).
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "qzobj/platform/last_error.h"
#include "support/last_error_checks.h"
#include "support/wait_until.h"

namespace qzo::test {

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

}  // namespace qzo::test
