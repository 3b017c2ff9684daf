// The library's threads against std::thread: a CThread created, waited for and destroyed, and an
// auto-thread created until its function has returned, each against std::thread create+join
// (target at most 2x). Wall time, since the work happens on other threads; prints ratios.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/platform/system.h"
#include "qzobj/threads.h"
#include "support/ratio_reporter.h"

namespace {

DWORD ReturnAtOnce(void*) {
    return 0;
}

void StdThreadCreateJoin(benchmark::State& state) {
    for (auto _ : state) {
        std::thread thread([] { benchmark::DoNotOptimize(0); });
        thread.join();
    }
}

void CThreadCreateWaitDestroy(benchmark::State& state) {
    for (auto _ : state) {
        CThread thread(nullptr, 0, &ReturnAtOnce, nullptr, 0);
        thread.Wait(INFINITE);
    }
}

// The creator is held until the function returns (it never sets the start-up event); the thread
// leaves the table on its own right after.
void AutoThreadCreateUntilReturned(benchmark::State& state) {
    COSAutoThread::AppInit();
    for (auto _ : state) {
        while (!COSAutoThread::CreateAutoThread(nullptr, 0, &ReturnAtOnce, nullptr))
            qzo::platform::Sleep(1);  // the table is full of threads still leaving it
    }
    COSAutoThread::AppExit();
    COSAutoThread::AppInit();
}

const std::vector<qzo::bench::Comparison> kComparisons = {
    {"CThreadCreateWaitDestroy/real_time", "StdThreadCreateJoin/real_time",
     "CThread create+Wait+destroy / std::thread create+join", 2.0},
    {"AutoThreadCreateUntilReturned/real_time", "StdThreadCreateJoin/real_time",
     "COSAutoThread::CreateAutoThread (until the function returned) / std::thread create+join",
     2.0},
};

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    SetDebugMode(FALSE);
    benchmark::RegisterBenchmark("StdThreadCreateJoin", &StdThreadCreateJoin)->UseRealTime();
    benchmark::RegisterBenchmark("CThreadCreateWaitDestroy", &CThreadCreateWaitDestroy)
        ->UseRealTime();
    benchmark::RegisterBenchmark("AutoThreadCreateUntilReturned", &AutoThreadCreateUntilReturned)
        ->UseRealTime();
    qzo::bench::RunWithRatios(kComparisons, qzo::bench::Clock::kWall);
    return 0;
}
