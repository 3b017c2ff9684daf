// Time limits across a wrapping tick: a fake tick source close to 0xFFFFFFFF must neither cut a
// wait short nor make an unlimited one end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "store/locator/locator_test_support.h"
#include "qzobj/file_modes.h"

namespace qzo::test::locator {
namespace {

using qzo::store::kWaitForever;
using qzo::store::WaitDeadline;

TEST(WaitDeadline, CountsElapsedTicksAcrossTheWrap) {
    DWORD now = 0xFFFFFFF0u;
    WaitDeadline deadline(0x20, [&] { return now; });
    now = 0x0000000Fu;  // 0x1F ticks later
    EXPECT_FALSE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 1u);
    now = 0x00000010u;
    EXPECT_TRUE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 0u);
}

TEST(WaitDeadline, SumsSeveralWrapsAndNeverEndsWithoutALimit) {
    DWORD now = 5;
    WaitDeadline longest(0xFFFFFFFEu, [&] { return now; });
    WaitDeadline forever(kWaitForever, [&] { return now; });
    for (int step = 0; step < 3; ++step) {
        now += 0x7FFFFFFFu;
        EXPECT_FALSE(forever.Passed());
        EXPECT_EQ(forever.Remaining(), kWaitForever);
        if (step == 0) {
            EXPECT_FALSE(longest.Passed());
        }
    }
    EXPECT_TRUE(longest.Passed());
}

TEST(WaitDeadline, ZeroHasPassedAtOnce) {
    DWORD now = 77;
    WaitDeadline deadline(0, [&] { return now; });
    EXPECT_TRUE(deadline.Passed());
    EXPECT_EQ(deadline.Remaining(), 0u);
}

// A tick source that reads the platform's milliseconds shifted so that it wraps `afterMs`
// milliseconds after construction.
qzo::store::TickSource WrappingTicks(DWORD afterMs) {
    const auto start = std::chrono::steady_clock::now();
    return [start, afterMs] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        return DWORD(0u - afterMs + DWORD(ms));
    };
}

class LockWrapTest : public LocatorTest {
  protected:
    LocFile* OpenReader() {
        return LocFile::Open(widePath_.c_str(), kRead, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, 0);
    }
};

TEST_F(LockWrapTest, WaitAcrossTheWrapLastsItsWholeTimeOut) {
    LocFile* holder = OpenReader();
    LocFile* waiter = OpenReader();
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(waiter, nullptr);
    ASSERT_TRUE(holder->Lock(0, qzo::store::kHeaderLockLength));
    Stopwatch watch;
    EXPECT_FALSE(qzo::store::WaitForLock(waiter, kObjID, 300, {}, WrappingTicks(50)));
    EXPECT_GE(watch.Ms(), 295);
    EXPECT_LT(watch.Ms(), 3000);
    holder->Unlock(0, qzo::store::kHeaderLockLength);
    holder->Close();
    waiter->Close();
}

TEST_F(LockWrapTest, AccessWaitAcrossTheWrapLastsItsWholeTimeOut) {
    qzo::store::AccessResult holder = qzo::store::WaitForAccess(Request(kReadWrite, 1000));
    ASSERT_EQ(holder.result, qzo::store::kAccessObtained);
    qzo::store::AccessRequest request = Request(kReadWrite, 300);
    request.ticks = WrappingTicks(100);
    Stopwatch watch;
    EXPECT_EQ(qzo::store::WaitForAccess(request).result, qzo::store::kAccessTimeout);
    EXPECT_GE(watch.Ms(), 295);
    holder.file->Unlock(0, qzo::store::kHeaderLockLength);
    holder.file->Close();
}

TEST_F(LockWrapTest, UnlimitedWaitEndsWhenTheLockIsFree) {
    LocFile* holder = OpenReader();
    LocFile* waiter = OpenReader();
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(waiter, nullptr);
    std::atomic<bool> started{false};
    std::atomic<bool> locked{false};
    std::thread owner([&] {
        locked = holder->Lock(0, qzo::store::kHeaderLockLength) != FALSE;
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder->Unlock(0, qzo::store::kHeaderLockLength);
    });
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(locked) << "the holder could not lock";
    int notified = 0;
    Stopwatch watch;
    EXPECT_TRUE(qzo::store::WaitForLock(
        waiter, kObjID, kWaitForever, [&] { ++notified; }, WrappingTicks(10)));
    owner.join();
    EXPECT_GE(watch.Ms(), 250);
    EXPECT_EQ(notified, 1);
    waiter->Unlock(0, qzo::store::kHeaderLockLength);
    holder->Close();
    waiter->Close();
}

}  // namespace
}  // namespace qzo::test::locator
