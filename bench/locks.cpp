// The library's locks against the standard library's: COSCriticalSection enter and leave against
// std::recursive_mutex (target at most 1.5x, debug output off), and a COSRWInterlock read entry
// and exit against std::shared_mutex (target at most 5x). Uncontended, one thread; prints ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/os.h"

namespace {

void CriticalSectionEnterLeave(benchmark::State& state) {
    static COSCriticalSection section;
    for (auto _ : state) {
        section.Enter();
        section.Leave();
    }
}

void RecursiveMutexLockUnlock(benchmark::State& state) {
    static std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}

void InterlockReadEnterLeave(benchmark::State& state) {
    static COSRWInterlock interlock;
    for (auto _ : state) {
        interlock.EnterRead();
        interlock.LeaveRead();
    }
}

void SharedMutexLockShared(benchmark::State& state) {
    static std::shared_mutex mutex;
    for (auto _ : state) {
        mutex.lock_shared();
        mutex.unlock_shared();
    }
}

struct Comparison {
    const char* subject;
    const char* anchor;
    const char* title;
    double target;
};

const std::vector<Comparison> kComparisons = {
    {"CriticalSectionEnterLeave", "RecursiveMutexLockUnlock",
     "COSCriticalSection Enter+Leave / std::recursive_mutex lock+unlock", 1.5},
    {"InterlockReadEnterLeave", "SharedMutexLockShared",
     "COSRWInterlock EnterRead+LeaveRead / std::shared_mutex lock_shared+unlock_shared", 5.0},
};

// Collects processor nanoseconds per iteration by benchmark name (steadier than wall time on a
// busy machine for these one-thread runs) and prints the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations != 0)
                results_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }

    void PrintRatios() const {
        std::printf("\n");
        for (const Comparison& comparison : kComparisons) {
            auto subject = results_.find(comparison.subject);
            auto anchor = results_.find(comparison.anchor);
            std::printf("%s (target <= %.1fx): ", comparison.title, comparison.target);
            if (subject == results_.end() || anchor == results_.end() || anchor->second <= 0)
                std::printf("n/a\n");
            else
                std::printf("%.2fx\n", subject->second / anchor->second);
        }
    }

  private:
    std::map<std::string, double> results_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SetDebugMode(FALSE);
    // Hosts run several threads; measure the anchors as they behave once a thread has started.
    std::thread([] {}).join();

    benchmark::RegisterBenchmark("CriticalSectionEnterLeave", &CriticalSectionEnterLeave);
    benchmark::RegisterBenchmark("RecursiveMutexLockUnlock", &RecursiveMutexLockUnlock);
    benchmark::RegisterBenchmark("InterlockReadEnterLeave", &InterlockReadEnterLeave);
    benchmark::RegisterBenchmark("SharedMutexLockShared", &SharedMutexLockShared);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
