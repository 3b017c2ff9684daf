// StoreLifeThreads: a reader thread restoring while a writer thread commits always sees a whole
// committed version.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>

#include "storelife/storelife_support.h"

namespace qzo::test::storelife {
namespace {

using StoreLifeThreads = LifeTest;

// Version i's payload: its number, then filler of a size that grows and shrinks.
std::string PayloadOf(int i) {
    return std::to_string(i) + ":" + std::string(size_t((i * 997) % 6000), char('a' + i % 26));
}

bool IsWholeVersion(const std::string& payload) {
    const size_t colon = payload.find(':');
    if (colon == std::string::npos) return payload.empty();
    return payload == PayloadOf(std::stoi(payload.substr(0, colon)));
}

TEST_F(StoreLifeThreads, ReaderSeesOnlyWholeVersionsWhileAWriterCommits) {
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    const Location where = creator.GetLocation();
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!done.load()) {
            Locator locator(where);
            DWORD result = 0;
            ObjectHolder copy(locator.RestoreObject(LOCATOR_ACCESS_READ, 5000, 0, &result));
            if (!copy.object || !IsWholeVersion(copy.payload()->payload)) ++bad;
            ++reads;
        }
    });
    // At least 60 commits, and on until the reader has overlapped a good number of them.
    int last = 0;
    for (int i = 1; i <= 400 && (i <= 60 || reads.load() < 40); ++i) {
        held.payload()->payload = PayloadOf(i);
        const bool committed = held.object->Commit(i % 10 == 0 ? LOCATOR_COMMIT_PURGE : 0);
        EXPECT_TRUE(committed) << "commit " << i;
        if (!committed) break;
        last = i;
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    std::cout << "[          ] " << reads.load() << " restores during " << last << " commits\n";
    EXPECT_EQ(bad.load(), 0);
    held.Reset();
    EXPECT_EQ(RestoredPayload(where), PayloadOf(last));
}

}  // namespace
}  // namespace qzo::test::storelife
