// Cost of the debug output: wPrintf while output is off against no call at all (it should stay
// within 2 ns a call), and formatting a typical message against snprintf and fmt::format_to_n.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qzobj/suitelibs/uikit/debug_output.h"
#include "qzobj/uikit.h"
#include "support/ratio_reporter.h"

#if QZO_HAVE_FMT
#include <fmt/format.h>
#endif

namespace {

constexpr const WCHAR* kMessage = u"\rHeap(%hs)::Alloc %08X size %u\r\n";
constexpr const char* kNarrowMessage = "\rHeap(%s)::Alloc %08X size %u\r\n";
constexpr const char* kHeapName = "CSHeap";

void OutputOff() {
    unsetenv("QZO_DEBUG_OUTPUT");
    qzo::uikit::ResetDebugOutputTarget();
    qzo::uikit::SetDebugOutputSink(nullptr, nullptr);
    Is_wPrintf_Active(0);  // reads the (empty) setting now, outside the timed loops
}

// The loop of the off case without the call: the same arguments are produced and kept.
void NoCall(benchmark::State& state) {
    uint32_t address = 0x1000;
    for (auto _ : state) {
        const WCHAR* format = kMessage;
        benchmark::DoNotOptimize(format);
        benchmark::DoNotOptimize(address);
        address += 16;
    }
}
BENCHMARK(NoCall);

void WPrintfOff(benchmark::State& state) {
    OutputOff();
    uint32_t address = 0x1000;
    for (auto _ : state) {
        const WCHAR* format = kMessage;
        benchmark::DoNotOptimize(format);
        benchmark::DoNotOptimize(address);
        wPrintf(0, 8, format, kHeapName, address, 64u);
        address += 16;
    }
}
BENCHMARK(WPrintfOff);

void FormatIntoBuffer(benchmark::State& state) {
    WCHAR buffer[256];
    uint32_t address = 0x1000;
    for (auto _ : state) {
        size_t length = qzo::uikit::Format(buffer, 256, kMessage, kHeapName, address, 64u);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(buffer);
        address += 16;
    }
}
BENCHMARK(FormatIntoBuffer);

void NullSink(int, int, const WCHAR* text, size_t length, void*) {
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(length);
}

// The whole path of an active wPrintf, with a sink that drops the text.
void WPrintfToNullSink(benchmark::State& state) {
    OutputOff();
    qzo::uikit::SetDebugOutputSink(&NullSink, nullptr);
    uint32_t address = 0x1000;
    for (auto _ : state) {
        wPrintf(0, 8, kMessage, kHeapName, address, 64u);
        address += 16;
    }
    qzo::uikit::SetDebugOutputSink(nullptr, nullptr);
}
BENCHMARK(WPrintfToNullSink);

void Snprintf(benchmark::State& state) {
    char buffer[256];
    uint32_t address = 0x1000;
    for (auto _ : state) {
        int length = std::snprintf(buffer, sizeof buffer, kNarrowMessage, kHeapName, address, 64u);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(buffer);
        address += 16;
    }
}
BENCHMARK(Snprintf);

#if QZO_HAVE_FMT
void FmtFormatTo(benchmark::State& state) {
    char buffer[256];
    uint32_t address = 0x1000;
    for (auto _ : state) {
        auto result = fmt::format_to_n(
            buffer, sizeof buffer, "\rHeap({})::Alloc {:08X} size {}\r\n", kHeapName, address, 64u);
        benchmark::DoNotOptimize(result.size);
        benchmark::DoNotOptimize(buffer);
        address += 16;
    }
}
BENCHMARK(FmtFormatTo);
#endif

// The summary, from a processor-time reporter (other work on a shared machine inflates the
// wall-clock figures).
void PrintSummary(const qzo::bench::TimingReporter& reporter) {
    auto time = [&](const char* name) { return reporter.Time(name); };
    std::printf("\nSummary\n");
    double none = time("NoCall"), off = time("WPrintfOff");
    if (none >= 0 && off >= 0)
        std::printf("  wPrintf off: %.2f ns a call over no call (target: at most 2 ns): %s\n",
                    off - none, off - none <= 2.0 ? "met" : "MISSED");
    double ours = time("FormatIntoBuffer"), sink = time("WPrintfToNullSink");
    double libc = time("Snprintf"), fmtlib = time("FmtFormatTo");
    if (ours > 0 && libc > 0)
        std::printf("  formatter / snprintf:          %.2f (%.1f ns vs %.1f ns)\n", ours / libc,
                    ours, libc);
    if (sink > 0 && libc > 0)
        std::printf("  wPrintf to null sink / snprintf: %.2f (%.1f ns vs %.1f ns)\n", sink / libc,
                    sink, libc);
    if (ours > 0 && fmtlib > 0)
        std::printf("  formatter / fmt::format_to_n:  %.2f (%.1f ns vs %.1f ns)\n", ours / fmtlib,
                    ours, fmtlib);
    else
        std::printf("  fmt not installed: that anchor was skipped\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kProcessor,
                                        isatty(STDOUT_FILENO)
                                            ? benchmark::ConsoleReporter::OO_Defaults
                                            : benchmark::ConsoleReporter::OO_Tabular);
    qzo::bench::RunAndSummarise(reporter, [&] { PrintSummary(reporter); });
    return 0;
}
