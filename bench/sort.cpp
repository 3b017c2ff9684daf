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
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "qzobj/containers.h"

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

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations != 0)
                results_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }

    double Ratio(const std::string& subject, const std::string& anchor) const {
        auto s = results_.find(subject);
        auto a = results_.find(anchor);
        if (s == results_.end() || a == results_.end() || a->second <= 0) return -1;
        return s->second / a->second;
    }

    void PrintRatios(const std::vector<size_t>& counts) const {
        std::printf("\nqzqsort time / anchor time (target: <= 1.5x qsort on random input):\n");
        std::printf("  %-9s %-9s %10s %12s\n", "input", "records", "vs qsort", "vs std::sort");
        for (int shape = 0; shape < 4; ++shape) {
            for (size_t count : counts) {
                std::printf("  %-9s %-9zu", kShapes[shape], count);
                for (int anchor : {1, 2})
                    Print(Ratio(Name(0, shape, count) + "/real_time",
                                Name(anchor, shape, count) + "/real_time"),
                          anchor == 1 ? 10 : 12);
                std::printf("\n");
            }
        }
        std::printf("\nqzqsort all-equal time / qzqsort random time (target: <= 1x):\n");
        for (size_t count : counts) {
            std::printf("  %-9zu", count);
            Print(Ratio(Name(0, 2, count) + "/real_time", Name(0, 0, count) + "/real_time"), 10);
            std::printf("\n");
        }
    }

  private:
    static void Print(double ratio, int width) {
        if (ratio < 0)
            std::printf(" %*s", width, "n/a");
        else
            std::printf(" %*.2fx", width - 1, ratio);
    }

    std::map<std::string, double> results_;
};

}  // namespace

int main(int argc, char** argv) {
    // The library reads its settings from the Windows directory when it loads: run again with a
    // private one unless the caller chose a directory.
    if (!std::getenv("QZO_WINDIR")) {
        char pattern[] = "/tmp/qzo-bench-sort-XXXXXX";
        if (!mkdtemp(pattern) || setenv("QZO_WINDIR", pattern, 1) != 0) return 1;
        setenv("QZO_BENCH_OWNS_WINDIR", "1", 1);
        execv("/proc/self/exe", argv);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    const std::vector<size_t> counts = {1000, 10000, 100000, 1000000};
    for (int shape = 0; shape < 4; ++shape)
        for (size_t count : counts)
            for (int sorter = 0; sorter < 3; ++sorter)
                benchmark::RegisterBenchmark(Name(sorter, shape, count).c_str(), &Sort, sorter,
                                             shape, count)
                    ->UseRealTime()
                    ->Unit(benchmark::kMicrosecond);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios(counts);
    benchmark::Shutdown();
    if (std::getenv("QZO_BENCH_OWNS_WINDIR")) {
        std::error_code ignored;
        std::filesystem::remove_all(std::getenv("QZO_WINDIR"), ignored);
    }
    return 0;
}
