// The performance counters against the standard clock: reading the counter and one
// CBasePerfItem::Lapse (a counter read and two atomic additions) against
// std::chrono::steady_clock::now() (target at most 2x each). One thread; prints ratios.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/perf.h"
#include "support/ratio_reporter.h"

namespace {

void CounterRead(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(CBasePerfItem::GetCount());
}

void PerfItemLapse(benchmark::State& state) {
    static CBasePerfItem item;
    ULONGLONG start = CBasePerfItem::GetCount();
    for (auto _ : state) item.Lapse(start);
    benchmark::DoNotOptimize(item.GetEvents());
}

void SteadyClockNow(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(std::chrono::steady_clock::now());
}

const std::vector<qzo::bench::Comparison> kComparisons = {
    {"CounterRead", "SteadyClockNow", "CBasePerfItem::GetCount / std::chrono::steady_clock::now",
     2.0},
    {"PerfItemLapse", "SteadyClockNow", "CBasePerfItem::Lapse / std::chrono::steady_clock::now",
     2.0},
};

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    SetDebugMode(FALSE);
    // Hosts run several threads; measure as the clock behaves once a thread has started.
    std::thread([] {}).join();

    benchmark::RegisterBenchmark("CounterRead", &CounterRead);
    benchmark::RegisterBenchmark("PerfItemLapse", &PerfItemLapse);
    benchmark::RegisterBenchmark("SteadyClockNow", &SteadyClockNow);
    qzo::bench::RunWithRatios(kComparisons);
    return 0;
}
