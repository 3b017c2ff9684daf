// Helpers for tests across threads: waiting for a condition another thread brings about, with a
// generous bound so that a slow machine never fails correct code, and giving a thread that ought
// to stay blocked the time to (wrongly) go on.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace qzo::test {

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

// Time to give a thread that ought to stay blocked the chance to (wrongly) go on.
inline void GiveTime() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace qzo::test
