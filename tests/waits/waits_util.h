// Helpers for wait tests: elapsed time, checks of a result together with the last error, and
// the shared waiting helpers (a condition another thread brings about, with a generous bound).
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "qzobj/platform/last_error.h"
#include "support/wait_until.h"

// Expects `call` to fail (a false or zero result) and leave `code` as the last error, which is
// cleared first so that an error left over from an earlier call cannot pass for it.
#define EXPECT_FAILS_WITH(call, code)                                         \
    do {                                                                      \
        ::qzo::platform::SetLastError(0);                                     \
        EXPECT_FALSE(call);                                                   \
        EXPECT_EQ(::qzo::platform::GetLastError(), static_cast<DWORD>(code)); \
    } while (0)

// Expects `call` to give `result` and leave `code` as the last error (cleared first).
#define EXPECT_RESULT_WITH(call, result, code)                                \
    do {                                                                      \
        ::qzo::platform::SetLastError(0);                                     \
        EXPECT_EQ(call, result);                                              \
        EXPECT_EQ(::qzo::platform::GetLastError(), static_cast<DWORD>(code)); \
    } while (0)

namespace qzo::test {

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

}  // namespace qzo::test
