// Helpers for wait tests: elapsed time, and waiting for a condition another thread brings about
// with a generous bound, so that a slow machine never fails a correct wait.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace qzo::test {

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// Polls `condition` until it holds or `limit` passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Time for a thread that ought to stay blocked to (wrongly) go on.
inline void GiveTime() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace qzo::test
