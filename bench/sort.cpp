// qzqsort against the C library's qsort (same comparison function) and std::sort (inlined
// comparison) on 12-byte records: 10^3 to 10^6 records, random, sorted, all-equal and 4-key
// input. Prints qzqsort's time ratios; the targets are at most 1.5x qsort on random input and
// all-equal input no slower than random.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "qzobj/containers.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"

namespace {

struct Record {
    DWORD key;
    DWORD payload[2];
};
static_assert(sizeof(Record) == 12, "12-byte records");

int CompareRecords(const void* a, const void* b) {
    const DWORD x = static_cast<const Record*>(a)->key;
    const DWORD y = static_cast<const Record*>(b)->key;
    return x < y ? -1 : x > y ? 1 : 0;
}

const char* const kShapes[] = {"random", "sorted", "allequal", "4keys"};
const char* const kSorters[] = {"qzqsort", "qsort", "std::sort"};

std::vector<Record> MakeInput(int shape, size_t count) {
    std::mt19937 random(12345);
    std::vector<Record> records(count);
    for (size_t i = 0; i < count; ++i) {
        DWORD key = 0;
        switch (shape) {
            case 0:
                key = DWORD(random());
                break;
            case 1:
                key = DWORD(i);
                break;
            case 2:
                key = 42;
                break;
            default:
                key = DWORD(random() % 4);
                break;
        }
        records[i] = Record{key, {DWORD(i), DWORD(random())}};
    }
    return records;
}

void Sort(benchmark::State& state, int sorter, int shape, size_t count) {
    const std::vector<Record> input = MakeInput(shape, count);
    std::vector<Record> work(count);
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(work.data(), input.data(), count * sizeof(Record));
        state.ResumeTiming();
        switch (sorter) {
            case 0:
                qzqsort(work.data(), DWORD(count), sizeof(Record), &CompareRecords);
                break;
            case 1:
                std::qsort(work.data(), count, sizeof(Record), &CompareRecords);
                break;
            default:
                std::sort(work.begin(), work.end(),
                          [](const Record& a, const Record& b) { return a.key < b.key; });
                break;
        }
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
}

std::string Name(int sorter, int shape, size_t count) {
    return std::string(kSorters[sorter]) + "/" + kShapes[shape] + "/" + std::to_string(count);
}

void PrintRatio(double ratio, int width) {
    if (ratio < 0)
        std::printf(" %*s", width, "n/a");
    else
        std::printf(" %*.2fx", width - 1, ratio);
}

void PrintRatios(const qzo::bench::TimingReporter& reporter, const std::vector<size_t>& counts) {
    std::printf("\nqzqsort time / anchor time (target: <= 1.5x qsort on random input):\n");
    std::printf("  %-9s %-9s %10s %12s\n", "input", "records", "vs qsort", "vs std::sort");
    for (int shape = 0; shape < 4; ++shape) {
        for (size_t count : counts) {
            std::printf("  %-9s %-9zu", kShapes[shape], count);
            for (int anchor : {1, 2})
                PrintRatio(reporter.Ratio(Name(0, shape, count) + "/real_time",
                                          Name(anchor, shape, count) + "/real_time"),
                           anchor == 1 ? 10 : 12);
            std::printf("\n");
        }
    }
    std::printf("\nqzqsort all-equal time / qzqsort random time (target: <= 1x):\n");
    for (size_t count : counts) {
        std::printf("  %-9zu", count);
        PrintRatio(
            reporter.Ratio(Name(0, 2, count) + "/real_time", Name(0, 0, count) + "/real_time"), 10);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The library reads its settings from the Windows directory when it loads: run again with a
    // private one unless the caller chose a directory.
    if (!qzo::bench::UsePrivateWindir(argv, "sort")) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 1;

    const std::vector<size_t> counts = {1000, 10000, 100000, 1000000};
    for (int shape = 0; shape < 4; ++shape)
        for (size_t count : counts)
            for (int sorter = 0; sorter < 3; ++sorter)
                benchmark::RegisterBenchmark(Name(sorter, shape, count).c_str(), &Sort, sorter,
                                             shape, count)
                    ->UseRealTime()
                    ->Unit(benchmark::kMicrosecond);
    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kWall);
    qzo::bench::RunAndSummarise(reporter, [&] { PrintRatios(reporter, counts); });
    qzo::bench::RemovePrivateWindir();
    return 0;
}
