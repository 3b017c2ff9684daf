// Shared by the benchmark programs: collects each benchmark's time per iteration by name
// (processor time by default, steadier than wall time on a busy machine; wall time for runs
// that wait on the disk or on other threads) and prints, after the run, each subject's ratio to
// its anchor measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qzo::bench {

enum class Clock { kProcessor, kWall };

// Prints the usual table and keeps each benchmark's nanoseconds per iteration by its full name
// ("Name/arg/real_time/threads:2" ...).
class TimingReporter : public benchmark::ConsoleReporter {
  public:
    explicit TimingReporter(Clock clock = Clock::kProcessor, OutputOptions options = OO_Defaults)
        : ConsoleReporter(options), clock_(clock) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            const double time =
                clock_ == Clock::kWall ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            nanoseconds_[run.benchmark_name()] =
                time / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
        }
    }

    // Nanoseconds per iteration; -1 when the benchmark did not run (or failed).
    double Time(const std::string& name) const {
        auto it = nanoseconds_.find(name);
        return it == nanoseconds_.end() ? -1.0 : it->second;
    }

    // Subject time / anchor time; -1 when either is missing or the anchor took no time.
    double Ratio(const std::string& subject, const std::string& anchor) const {
        const double ours = Time(subject), theirs = Time(anchor);
        if (ours < 0 || theirs <= 0) return -1.0;
        return ours / theirs;
    }

  private:
    Clock clock_;
    std::map<std::string, double> nanoseconds_;
};

struct Comparison {
    std::string subject;  // benchmark name of ours
    std::string anchor;   // benchmark name of the anchor
    std::string title;
    double target;  // highest acceptable ratio; 0 for none
};

class RatioReporter : public TimingReporter {
  public:
    explicit RatioReporter(std::vector<Comparison> comparisons, Clock clock = Clock::kProcessor)
        : TimingReporter(clock), comparisons_(std::move(comparisons)) {}

    // One line a comparison, after a blank line and the heading (if any).
    void PrintRatios(const char* heading = nullptr) const {
        std::printf("\n");
        if (heading) std::printf("%s\n", heading);
        for (const Comparison& comparison : comparisons_) {
            std::printf("%s", comparison.title.c_str());
            if (comparison.target > 0) std::printf(" (target <= %.1fx)", comparison.target);
            const double ratio = Ratio(comparison.subject, comparison.anchor);
            if (ratio < 0)
                std::printf(": n/a (skipped)\n");
            else
                std::printf(": %.2fx\n", ratio);
        }
    }

  private:
    std::vector<Comparison> comparisons_;
};

// Parses the benchmark library's options; false (after saying so) when the command line holds
// others.
inline bool Initialize(int* argc, char** argv) {
    benchmark::Initialize(argc, argv);
    return !benchmark::ReportUnrecognizedArguments(*argc, argv);
}

// Runs the registered benchmarks through the reporter, then calls `summarise` (which prints
// from the reporter's times) and shuts the benchmark library down.
template <class Reporter, class Summarise>
void RunAndSummarise(Reporter& reporter, Summarise summarise) {
    benchmark::RunSpecifiedBenchmarks(&reporter);
    summarise();
    benchmark::Shutdown();
}

// Runs the registered benchmarks and prints the comparisons' ratios.
inline void RunWithRatios(std::vector<Comparison> comparisons, Clock clock = Clock::kProcessor,
                          const char* heading = nullptr) {
    RatioReporter reporter(std::move(comparisons), clock);
    RunAndSummarise(reporter, [&] { reporter.PrintRatios(heading); });
}

}  // namespace qzo::bench
