// Checks of a call's result together with the last error it sets, shared by the test suites.
#pragma once

#include <gtest/gtest.h>

#include "qzobj/platform/last_error.h"

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
