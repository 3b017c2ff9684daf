// The lock file excludes a second holder, also between two threads of one process, and
// survives another descriptor of the same file being closed.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "support/fixture.h"

namespace {

namespace platform = qzo::platform;

class FileLockTest : public qzo::test::QzoTest {};

TEST_F(FileLockTest, SecondThreadWaitsUntilTheFirstReleases) {
    const std::string path = TempPath("store.lck");
    std::atomic<bool> secondHolds{false};
    std::atomic<bool> firstReleased{false};
    std::atomic<bool> overlap{false};
    auto first = std::make_unique<platform::FileLock>(path);
    ASSERT_TRUE(first->held());

    std::thread second([&] {
        platform::FileLock lock(path);
        if (!firstReleased) overlap = true;
        secondHolds = lock.held();
    });
    // Closing another descriptor of the lock file must not drop the first holder's lock.
    int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    close(other);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(secondHolds.load());
    firstReleased = true;
    first.reset();
    second.join();
    EXPECT_TRUE(secondHolds.load());
    EXPECT_FALSE(overlap.load());
}

TEST_F(FileLockTest, MissingFolderFailsWithPathNotFound) {
    platform::SetLastError(0);
    platform::FileLock lock(TempPath("absent/store.lck"));
    EXPECT_FALSE(lock.held());
    EXPECT_EQ(platform::GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileLockTest, LockFileIsCreatedAndLeftInPlace) {
    {
        platform::FileLock lock(TempPath("made.lck"));
        EXPECT_TRUE(lock.held());
    }
    EXPECT_TRUE(platform::PathExists(TempPath("made.lck")));
    platform::FileLock again(TempPath("made.lck"));
    EXPECT_TRUE(again.held());
}

}  // namespace
