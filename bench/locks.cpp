// The library's locks against the standard library's: COSCriticalSection enter and leave against
// std::recursive_mutex (target at most 1.5x, debug output off), and a COSRWInterlock read entry
// and exit against std::shared_mutex (target at most 5x). Uncontended, one thread; prints ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/os.h"
#include "support/ratio_reporter.h"

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

const std::vector<qzo::bench::Comparison> kComparisons = {
    {"CriticalSectionEnterLeave", "RecursiveMutexLockUnlock",
     "COSCriticalSection Enter+Leave / std::recursive_mutex lock+unlock", 1.5},
    {"InterlockReadEnterLeave", "SharedMutexLockShared",
     "COSRWInterlock EnterRead+LeaveRead / std::shared_mutex lock_shared+unlock_shared", 5.0},
};

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    SetDebugMode(FALSE);
    // Hosts run several threads; measure the anchors as they behave once a thread has started.
    std::thread([] {}).join();

    benchmark::RegisterBenchmark("CriticalSectionEnterLeave", &CriticalSectionEnterLeave);
    benchmark::RegisterBenchmark("RecursiveMutexLockUnlock", &RecursiveMutexLockUnlock);
    benchmark::RegisterBenchmark("InterlockReadEnterLeave", &InterlockReadEnterLeave);
    benchmark::RegisterBenchmark("SharedMutexLockShared", &SharedMutexLockShared);
    qzo::bench::RunWithRatios(kComparisons);
    return 0;
}
