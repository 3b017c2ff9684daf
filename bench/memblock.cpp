// CPMemory copy and drop against std::shared_ptr, on one thread (uncontended) and on two
// threads copying the same block (contended reference count). Prints the time ratios; the
// target is at most 2x the shared_ptr anchor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "qzobj/memblock.h"

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

// Collects nanoseconds per copy and drop by benchmark name.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations != 0)
                results_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }

    void PrintRatios() const {
        std::printf("\nCPMemory copy+drop / std::shared_ptr copy+drop (target <= 2x):\n");
        for (int threads : {1, 2}) {
            const std::string suffix = "/real_time/threads:" + std::to_string(threads);
            auto subject = results_.find("CPMemoryCopyDrop" + suffix);
            auto anchor = results_.find("SharedPtrCopyDrop" + suffix);
            std::printf("  threads %d (%s): ", threads, threads == 1 ? "uncontended" : "one block");
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
    // The library reads its heap settings from the Windows directory when the pool is first
    // used: run again with a private one unless the caller chose a directory.
    if (!std::getenv("QZO_WINDIR")) {
        char pattern[] = "/tmp/qzo-bench-memblock-XXXXXX";
        if (!mkdtemp(pattern) || setenv("QZO_WINDIR", pattern, 1) != 0) return 1;
        setenv("QZO_BENCH_OWNS_WINDIR", "1", 1);
        execv("/proc/self/exe", argv);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

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
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    if (std::getenv("QZO_BENCH_OWNS_WINDIR")) {
        std::error_code ignored;
        std::filesystem::remove_all(std::getenv("QZO_WINDIR"), ignored);
    }
    return 0;
}
