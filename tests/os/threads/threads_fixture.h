// The fixture of the thread tests: each starts with a fresh auto-thread table and leaves none of
// its auto-threads behind.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "qzobj/threads.h"
#include "support/wait_until.h"

namespace qzo::test {

// What test thread functions count, and the switch that lets them return.
struct ThreadSwitches {
    std::atomic<int> running{0};
    std::atomic<int> done{0};
    std::atomic<bool> release{false};
};

class Threads : public ::testing::Test {
  protected:
    void SetUp() override { COSAutoThread::AppInit(); }
    void TearDown() override {
        shared_.release = true;
        EXPECT_TRUE(WaitUntil([] { return COSAutoThread::GetActiveCount() == 0; }));
        COSAutoThread::AppInit();
    }

    // Auto-thread functions watch `release`; TearDown sets it and waits for the table to empty.
    ThreadSwitches shared_;
};

}  // namespace qzo::test
