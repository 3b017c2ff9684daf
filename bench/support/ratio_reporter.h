// Shared by the benchmark programs: collects processor nanoseconds per iteration by benchmark
// name (steadier than wall time on a busy machine) and prints, after the run, each subject's
// ratio to its anchor measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace qzo::bench {

struct Comparison {
    std::string subject;  // benchmark name of ours
    std::string anchor;   // benchmark name of the anchor
    std::string title;
    double target;  // highest acceptable ratio; 0 for none
};

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(std::vector<Comparison> comparisons)
        : comparisons_(std::move(comparisons)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations != 0)
                results_[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }

    void PrintRatios() const {
        std::printf("\n");
        for (const Comparison& comparison : comparisons_) {
            auto subject = results_.find(comparison.subject);
            auto anchor = results_.find(comparison.anchor);
            std::printf("%s", comparison.title.c_str());
            if (comparison.target > 0) std::printf(" (target <= %.1fx)", comparison.target);
            if (subject == results_.end() || anchor == results_.end() || anchor->second <= 0)
                std::printf(": n/a (skipped)\n");
            else
                std::printf(": %.2fx\n", subject->second / anchor->second);
        }
    }

  private:
    std::vector<Comparison> comparisons_;
    std::map<std::string, double> results_;
};

}  // namespace qzo::bench
