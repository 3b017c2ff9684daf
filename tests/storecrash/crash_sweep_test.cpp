// The crash sweep over two scripts: a long history (working project, create, 70 commits that wrap
// the ring, undo, commit, purge) and a short one whose purge moves a larger version down (create
// small, commit larger, purge). Each script runs once traced to count its mutating file calls,
// then once per crash point in a child killed at that call; three children run at a time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "storecrash/sweep_driver.h"
#include "support/fixture.h"
#include "support/simulated_network.h"
#include "support/store_object.h"

namespace qzo::test::store {
namespace {

// Before the library caches the computer's name.
const bool kComputerNamed = [] {
    setenv("QZO_COMPUTERNAME", "SWEEPHOST", 0);
    return true;
}();

// Children mostly wait for process start-up and the project's flushes, so three at a time keep
// two cores busy.
constexpr size_t kChildrenAtOnce = 3;

Script LongHistory() {
    Script script{{Step::kProject}, {Step::kCreate, 1, 300, 0}};
    for (DWORD tag = 2; tag <= 71; ++tag)
        script.push_back({Step::kCommit, tag, 200 + (tag * 733) % 2600, 0});
    script.push_back({Step::kUndo});
    script.push_back({Step::kCommit, 72, 1500, 0});
    script.push_back({Step::kPurge});
    return script;
}

Script GrowThenPurge() {
    return Script{
        {Step::kProject}, {Step::kCreate, 1, 60, 0}, {Step::kCommit, 2, 20000, 0}, {Step::kPurge}};
}

class CrashSweepTest : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        ASSERT_TRUE(kComputerNamed);
        ASSERT_TRUE(RegisterStoreTestClass());
        static int counter = 0;
        const unsigned port =
            1024 + (unsigned(getpid()) * 37u + unsigned(++counter) * 211u) % 23000u;
        setenv("QZO_MAILSLOT_PORT", std::to_string(port).c_str(), 1);
        WriteHostsMap(TempPath("hosts"),
                      {{"SWEEPHOST", TestAddress(2)}, {"SWEEPCHILD", TestAddress(3)}});
        // An upper-case root: project paths are stored upper case and then resolve by their
        // exact names.
        const char* tmp = std::getenv("TMPDIR");
        char name[64];
        std::snprintf(name, sizeof name, "/QZOSWEEP-%X-%X", unsigned(getpid()), unsigned(counter));
        base_ = std::string(tmp && *tmp ? tmp : "/tmp") + name;
        ASSERT_EQ(mkdir(base_.c_str(), 0777), 0) << base_;
    }
    void TearDown() override {
        if (!base_.empty()) RemoveTree(base_);
        QzoTest::TearDown();
    }

    void Sweep(const Script& script, unsigned salt) {
        const auto start = std::chrono::steady_clock::now();
        const RunFolders traced = MakeRunFolders(base_, "TRACE");
        const std::string trace = base_ + "/trace.txt";
        std::vector<unsigned long> counts;
        const ChildRun whole = RunChild(script, traced, 0, trace, &counts);
        ASSERT_EQ(whole.failure, "");
        ASSERT_EQ(whole.inFlight, -1);
        ASSERT_EQ(counts.size(), script.size());
        EXPECT_EQ(CheckAfterCrash(script, whole, traced), "") << "the run without a crash";
        const unsigned long total = counts.back();
        ASSERT_GT(total, counts[0]) << "the object steps made no counted calls";

        const std::vector<unsigned long> points = CrashPoints(total, salt);
        int failures = 0;
        double childSeconds = 0, checkSeconds = 0;
        for (size_t i = 0; i < points.size(); i += kChildrenAtOnce) {
            const auto batchStart = std::chrono::steady_clock::now();
            const size_t batch = std::min<size_t>(kChildrenAtOnce, points.size() - i);
            RunFolders folders[kChildrenAtOnce];
            ChildRun runs[kChildrenAtOnce];
            std::thread children[kChildrenAtOnce];
            for (size_t k = 0; k < batch; ++k) {
                folders[k] =
                    MakeRunFolders(base_, "N" + std::to_string(points[i + k]), traced.windir);
                children[k] = std::thread([&, k] {
                    runs[k] = RunChild(script, folders[k], points[i + k], std::string(), nullptr);
                });
            }
            for (size_t k = 0; k < batch; ++k) children[k].join();
            const auto checks = std::chrono::steady_clock::now();
            for (size_t k = 0; k < batch; ++k) {
                const std::string broken = CheckAfterCrash(script, runs[k], folders[k]);
                if (!broken.empty() && ++failures <= 25)
                    ADD_FAILURE() << "crash at call " << points[i + k] << ": " << broken;
                RemoveTree(folders[k].root);
                RemoveTree(folders[k].windir);
            }
            childSeconds += std::chrono::duration<double>(checks - batchStart).count();
            checkSeconds +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - checks).count();
        }
        EXPECT_EQ(failures, 0);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf(
            "crash sweep: %lu counted calls (%lu before create), %zu crash points, %.1f s "
            "(children %.1f s, checks %.1f s)\n",
            total, counts[0], points.size(), seconds, childSeconds, checkSeconds);
    }

    std::string base_;
};

TEST_F(CrashSweepTest, LongHistoryRestoresToAFinishedOrTheInFlightVersion) {
    Sweep(LongHistory(), 0);
}

TEST_F(CrashSweepTest, GrowThenPurgeRestoresToAFinishedOrTheInFlightVersion) {
    Sweep(GrowThenPurge(), 3);
}

}  // namespace
}  // namespace qzo::test::store
