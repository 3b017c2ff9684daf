// CPMemory copy and drop against std::shared_ptr, on one thread (uncontended) and on two
// threads copying the same block (contended reference count). Prints the time ratios; the
// target is at most 2x the shared_ptr anchor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "qzobj/memblock.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"

namespace {

constexpr DWORD kBlockSize = 64;

CPMemory* g_block = nullptr;
std::shared_ptr<char[]>* g_shared = nullptr;

void CPMemoryCopyDrop(benchmark::State& state) {
    const CPMemory& source = *g_block;
    for (auto _ : state) {
        CPMemory copy(source);
        benchmark::DoNotOptimize(copy);
    }
}

void SharedPtrCopyDrop(benchmark::State& state) {
    const std::shared_ptr<char[]>& source = *g_shared;
    for (auto _ : state) {
        std::shared_ptr<char[]> copy(source);
        benchmark::DoNotOptimize(copy);
    }
}

// Ratios for one thread (uncontended) and two threads copying the same block.
void PrintRatios(const qzo::bench::TimingReporter& reporter) {
    std::printf("\nCPMemory copy+drop / std::shared_ptr copy+drop (target <= 2x):\n");
    for (int threads : {1, 2}) {
        const std::string suffix = "/real_time/threads:" + std::to_string(threads);
        const double ratio =
            reporter.Ratio("CPMemoryCopyDrop" + suffix, "SharedPtrCopyDrop" + suffix);
        std::printf("  threads %d (%s): ", threads, threads == 1 ? "uncontended" : "one block");
        if (ratio < 0)
            std::printf("n/a\n");
        else
            std::printf("%.2fx\n", ratio);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The library reads its heap settings from the Windows directory when the pool is first
    // used: run again with a private one unless the caller chose a directory.
    if (!qzo::bench::UsePrivateWindir(argv, "memblock")) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 1;

    // The C++ library counts shared_ptr references without atomic instructions until the
    // process starts its first thread. A host of this library always runs several threads, so
    // the anchor is measured as it behaves there.
    std::thread([] {}).join();

    CPMemory block;
    if (!block.Alloc(kBlockSize)) {
        std::fprintf(stderr, "cannot allocate the benchmark block\n");
        return 1;
    }
    auto shared = std::make_shared<char[]>(kBlockSize);
    g_block = &block;
    g_shared = &shared;
    for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark("CPMemoryCopyDrop", &CPMemoryCopyDrop)
            ->Threads(threads)
            ->UseRealTime();
        benchmark::RegisterBenchmark("SharedPtrCopyDrop", &SharedPtrCopyDrop)
            ->Threads(threads)
            ->UseRealTime();
    }
    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kWall);
    qzo::bench::RunAndSummarise(reporter, [&] { PrintRatios(reporter); });
    qzo::bench::RemovePrivateWindir();
    return 0;
}
