// CPvList::Add of 10^3 and 10^4 items, with and without Prealloc, against std::vector's
// push_back with and without reserve. The list grows linearly by its growth count (5 items),
// so without Prealloc its cost rises with the square of the count; Prealloc is the remedy.
// Prints the time ratios.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzobj/containers.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"

namespace {

struct Item {
    DWORD id;
    DWORD value[3];
};

void ListAdd(benchmark::State& state, bool prealloc) {
    const DWORD count = DWORD(state.range(0));
    Item item = {0, {1, 2, 3}};
    for (auto _ : state) {
        CPvList list(sizeof(Item), 5);
        if (prealloc) list.Prealloc(count);
        for (DWORD i = 0; i < count; ++i) {
            item.value[0] = i;
            benchmark::DoNotOptimize(list.Add(&item));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * count);
}

void VectorAdd(benchmark::State& state, bool reserve) {
    const size_t count = size_t(state.range(0));
    Item item = {0, {1, 2, 3}};
    for (auto _ : state) {
        std::vector<Item> vector;
        if (reserve) vector.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            item.value[0] = DWORD(i);
            item.id = DWORD(i);  // the list assigns identifiers too
            vector.push_back(item);
        }
        benchmark::DoNotOptimize(vector.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
}

// The three ratios of each count, from a wall-clock reporter.
void PrintRatios(const qzo::bench::TimingReporter& reporter) {
    auto ratio = [&](const std::string& subject, const std::string& anchor) {
        const double value = reporter.Ratio(subject, anchor);
        if (value < 0) return std::string("n/a");
        char text[32];
        std::snprintf(text, sizeof text, "%.2fx", value);
        return std::string(text);
    };
    std::printf("\nCPvList::Add time / std::vector::push_back time:\n");
    for (int count : {1000, 10000}) {
        const std::string n = "/" + std::to_string(count) + "/real_time";
        std::printf("  %5d items: growing %7s (vs vector without reserve)\n", count,
                    ratio("CPvList::Add" + n, "std::vector::push_back" + n).c_str());
        std::printf(
            "  %5d items: Prealloc %6s (vs vector with reserve)\n", count,
            ratio("CPvList::Add+Prealloc" + n, "std::vector::push_back+reserve" + n).c_str());
        std::printf("  %5d items: growing / Prealloc %s\n", count,
                    ratio("CPvList::Add" + n, "CPvList::Add+Prealloc" + n).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The library reads its heap settings from the Windows directory when the pool is first
    // used: run with a private one unless the caller chose a directory.
    if (!qzo::bench::UsePrivateWindir(argv, "lists")) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 1;

    for (int count : {1000, 10000}) {
        benchmark::RegisterBenchmark("CPvList::Add", &ListAdd, false)->Arg(count)->UseRealTime();
        benchmark::RegisterBenchmark("CPvList::Add+Prealloc", &ListAdd, true)
            ->Arg(count)
            ->UseRealTime();
        benchmark::RegisterBenchmark("std::vector::push_back", &VectorAdd, false)
            ->Arg(count)
            ->UseRealTime();
        benchmark::RegisterBenchmark("std::vector::push_back+reserve", &VectorAdd, true)
            ->Arg(count)
            ->UseRealTime();
    }
    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kWall);
    qzo::bench::RunAndSummarise(reporter, [&] { PrintRatios(reporter); });
    qzo::bench::RemovePrivateWindir();
    return 0;
}
