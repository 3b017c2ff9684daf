// Cost of reading one tuning value: QZOBJ_GetProfileInt on a 40-key "QZO.INI" against reading
// the same file with read() and parsing it with inih to find the same key (target: within 2x).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qzobj/frame.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"

#if QZO_HAVE_INIH
#include <ini.h>
#endif

namespace {

constexpr const char* kSection = "QZOUtil";
constexpr const char* kKey = "TRAP_EXC12";
constexpr int kExpected = 2;

std::string g_iniPath;

// A "QZO.INI" in the Windows directory (a temporary folder set up by main) with the sections
// the library uses: 5 watch values, 4 heaps of 3 keys, 2 switches and 21 trap keys (40 in all).
void PrepareProfile() {
    if (!g_iniPath.empty()) return;
    const char* folder = std::getenv("QZO_WINDIR");
    if (!folder) std::abort();
    std::string text = "[CQZObject]\r\nMinFreeWatch=0\r\nMaxFreeWatch=0\r\nTraceVirtual=0\r\n";
    text += "[Locator]\r\nMinFreeWatch=0\r\nMaxFreeWatch=0\r\n";
    for (const char* heap : {"CSHeap", "MemPool", "PropertyPool", "DIBPool"}) {
        text += std::string("[") + heap + "]\r\nWatch=0\r\nHeapFlags=0\r\nTrace=0\r\n";
    }
    text += "[QZOUtil]\r\nDEBUGKEYS=0\r\nTRAPALL=0\r\n";
    for (int i = 0; i < 21; ++i) {
        text +=
            "TRAP_EXC" + std::to_string(i) + "=" + std::to_string(i == 12 ? kExpected : 0) + "\r\n";
    }
    g_iniPath = std::string(folder) + "/QZO.INI";
    FILE* file = std::fopen(g_iniPath.c_str(), "wb");
    if (!file) std::abort();
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

void GetProfileInt(benchmark::State& state) {
    PrepareProfile();
    if (QZOBJ_GetProfileInt(kSection, kKey, -1, FALSE) != kExpected) {
        state.SkipWithError("the library did not find the key");
        return;
    }
    for (auto _ : state) {
        int value = QZOBJ_GetProfileInt(kSection, kKey, -1, FALSE);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(GetProfileInt);

#if QZO_HAVE_INIH
struct Lookup {
    int value = -1;
};

int FindKey(void* user, const char* section, const char* name, const char* value) {
    if (strcasecmp(section, kSection) == 0 && strcasecmp(name, kKey) == 0) {
        auto* lookup = static_cast<Lookup*>(user);
        if (lookup->value < 0) lookup->value = std::atoi(value);
    }
    return 1;
}

// The anchor: read the whole file with read() and parse it with inih.
int ReadAndParse() {
    const int descriptor = open(g_iniPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    char buffer[4096];
    const ssize_t length = read(descriptor, buffer, sizeof buffer - 1);
    close(descriptor);
    if (length < 0) return -1;
    buffer[length] = '\0';
    Lookup lookup;
    ini_parse_string(buffer, &FindKey, &lookup);
    return lookup.value;
}

void ReadPlusInih(benchmark::State& state) {
    PrepareProfile();
    if (ReadAndParse() != kExpected) {
        state.SkipWithError("inih did not find the key");
        return;
    }
    for (auto _ : state) {
        int value = ReadAndParse();
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(ReadPlusInih);
#endif

// Our reading against reading the file and parsing it with inih, from a wall-clock reporter.
void PrintSummary(const qzo::bench::TimingReporter& reporter) {
    const double ours = reporter.Time("GetProfileInt");
    const double anchor = reporter.Time("ReadPlusInih");
    std::printf("\nSummary\n");
    if (ours > 0 && anchor > 0) {
        std::printf(
            "  QZOBJ_GetProfileInt / (read + inih): %.2f (%.0f ns vs %.0f ns; "
            "target: at most 2): %s\n",
            ours / anchor, ours, anchor, ours / anchor <= 2.0 ? "met" : "MISSED");
    } else {
        std::printf("  inih not installed: that anchor was skipped\n");
    }
}

}  // namespace

// Runs itself again with a fresh QZO_WINDIR so that nothing the library does while loading
// touches the user's configuration; removes the folder at the end.
int main(int argc, char** argv) {
    if (!qzo::bench::UsePrivateWindir(argv, "ini")) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kWall);
    qzo::bench::RunAndSummarise(reporter, [&] { PrintSummary(reporter); });
    qzo::bench::RemovePrivateWindir();
    return 0;
}
