// Throughput of the CRC generators at 4 KiB and 1 MiB against Boost.CRC's table-driven
// crc_optimal (duals as two passes) and against the ISA-L T10-DIF CRC as a ceiling, and the cost of
// a hash identifier of a short name, with and without the fault guard.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "qzobj/frame/hash_engines.h"
#include "qzobj/hashid.h"
#include "qzobj/signal.h"
#include "qzobj/signal/crc_guarded.h"
#include "support/ratio_reporter.h"

#if __has_include(<boost/crc.hpp>)
#include <boost/crc.hpp>
#define QZO_HAVE_BOOST_CRC 1
#else
#define QZO_HAVE_BOOST_CRC 0
#endif

namespace {

constexpr size_t kSizes[] = {4096, 1u << 20};

const std::vector<BYTE>& Buffer() {
    static const std::vector<BYTE> buffer = [] {
        std::vector<BYTE> b(1u << 20);
        std::mt19937 random(42);
        for (auto& x : b) x = static_cast<BYTE>(random());
        return b;
    }();
    return buffer;
}

using CrcFunction = std::function<DWORD(const BYTE*, size_t)>;

// One configuration: our generator, and the anchor computing the same value (empty when absent).
struct Case {
    std::string name;
    CrcFunction ours;
    CrcFunction anchor;
    std::string anchorName;
};

const CMonoCRC kMono16(16, 0x1021);
const CMonoCRC kMono32(32, 0x04C11DB7);
const CMonoCRC kT10Dif(16, 0x8BB7);
const CDualCRC kDualHash(10, 0x083, 16, 0x1021);
const CDualCRC kDual1615(16, 0x1021, 15, 0x8123);

#if QZO_HAVE_BOOST_CRC
template <int Width, uint32_t Polynomial>
DWORD BoostCrc(const BYTE* data, size_t n) {
    boost::crc_optimal<Width, Polynomial, 0, 0, false, false> crc;
    crc.process_bytes(data, n);
    return static_cast<DWORD>(crc.checksum());
}

// A dual value from two passes, packed as the dual generator packs it.
template <int MainWidth, uint32_t MainPolynomial, int SecondaryWidth, uint32_t SecondaryPolynomial>
DWORD BoostDual(const BYTE* data, size_t n) {
    return (BoostCrc<SecondaryWidth, SecondaryPolynomial>(data, n) << (32 - SecondaryWidth)) |
           BoostCrc<MainWidth, MainPolynomial>(data, n);
}
#endif

// The ISA-L library, found at run time so that its absence only skips its anchor.
using T10DifFunction = uint16_t (*)(uint16_t seed, const uint8_t* buffer, uint64_t length);

T10DifFunction FindT10Dif() {
    void* library = dlopen("libisal.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) library = dlopen("libisal.so", RTLD_NOW | RTLD_LOCAL);
    return library ? reinterpret_cast<T10DifFunction>(dlsym(library, "crc16_t10dif")) : nullptr;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    auto mono = [](const CMonoCRC& crc) {
        return [&crc](const BYTE* p, size_t n) { return crc.Eval(p, static_cast<DWORD>(n)); };
    };
    auto dual = [](const CDualCRC& crc) {
        return [&crc](const BYTE* p, size_t n) { return crc.Eval(p, static_cast<DWORD>(n)); };
    };
#if QZO_HAVE_BOOST_CRC
    cases.push_back({"Mono16_1021", mono(kMono16), &BoostCrc<16, 0x1021>, "Boost"});
    cases.push_back({"Mono32_04C11DB7", mono(kMono32), &BoostCrc<32, 0x04C11DB7>, "Boost"});
    cases.push_back(
        {"Dual10_083_16_1021", dual(kDualHash), &BoostDual<10, 0x083, 16, 0x1021>, "Boost"});
    cases.push_back(
        {"Dual16_1021_15_8123", dual(kDual1615), &BoostDual<16, 0x1021, 15, 0x0123>, "Boost"});
#else
    cases.push_back({"Mono16_1021", mono(kMono16), {}, "Boost"});
    cases.push_back({"Mono32_04C11DB7", mono(kMono32), {}, "Boost"});
    cases.push_back({"Dual10_083_16_1021", dual(kDualHash), {}, "Boost"});
    cases.push_back({"Dual16_1021_15_8123", dual(kDual1615), {}, "Boost"});
#endif
    CrcFunction isal;
    if (T10DifFunction t10dif = FindT10Dif())
        isal = [t10dif](const BYTE* p, size_t n) { return DWORD(t10dif(0, p, n)); };
    cases.push_back({"Mono16_8BB7", mono(kT10Dif), isal, "ISA-L"});
    return cases;
}

void RunCrc(benchmark::State& state, const CrcFunction& crc) {
    const size_t size = static_cast<size_t>(state.range(0));
    const BYTE* data = Buffer().data();
    for (auto _ : state) benchmark::DoNotOptimize(crc(data, size));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t(size));
}

// Names of 8 to 32 bytes, as class and chunk names come.
const std::vector<std::string>& Names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> out;
        std::mt19937 random(7);
        for (int i = 0; i < 64; ++i) {
            std::string name = "C";
            const size_t length = 8 + random() % 25;
            while (name.size() < length) name.push_back(static_cast<char>('A' + random() % 58));
            out.push_back(name);
        }
        return out;
    }();
    return names;
}

void RunNames(benchmark::State& state, DWORD (*hash)(const char*)) {
    const auto& names = Names();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(hash(names[i].c_str()));
        i = (i + 1) & 63;
    }
}

DWORD RawHashID(const char* name) {
    return qzo::crc::RawEval(qzo::frame::HashIDEngine(), qzo::crc::Input::Narrow, name, 0);
}

#if QZO_HAVE_BOOST_CRC
DWORD BoostHashID(const char* name) {
    return BoostDual<10, 0x083, 16, 0x1021>(reinterpret_cast<const BYTE*>(name), std::strlen(name));
}
#endif

// Checks that every anchor computes the value our generator computes, so the race is fair.
bool AnchorsAgree(const std::vector<Case>& cases) {
    bool agree = true;
    const BYTE* data = Buffer().data();
    for (const Case& c : cases) {
        if (!c.anchor) continue;
        for (size_t n : {size_t(9), size_t(4096), size_t(1) << 20}) {
            if (c.ours(data, n) != c.anchor(data, n)) {
                std::printf("MISMATCH: %s against %s at %zu bytes\n", c.name.c_str(),
                            c.anchorName.c_str(), n);
                agree = false;
            }
        }
    }
#if QZO_HAVE_BOOST_CRC
    for (const std::string& name : Names())
        if (GetHashID(name.c_str()) != BoostHashID(name.c_str())) agree = false;
#endif
    return agree;
}

std::string Name(const std::string& group, const std::string& who, size_t size) {
    return group + "/" + who + "/" + std::to_string(size);
}

void PrintSummary(const qzo::bench::TimingReporter& reporter, const std::vector<Case>& cases) {
    std::printf(
        "\nSummary (CPU time; speed ratio = anchor time / our time; above 1 means faster)\n");
    for (const Case& c : cases) {
        for (size_t size : kSizes) {
            const double ours = reporter.Time(Name(c.name, "Ours", size));
            const double anchor = reporter.Time(Name(c.name, c.anchorName, size));
            if (ours <= 0) continue;
            const double gbs = double(size) / ours;  // bytes per ns = GB/s
            if (anchor <= 0) {
                std::printf("  %-20s %8zu B: %6.2f GB/s; %s not available, anchor skipped\n",
                            c.name.c_str(), size, gbs, c.anchorName.c_str());
                continue;
            }
            const bool ceiling = c.anchorName == "ISA-L";
            std::printf("  %-20s %8zu B: %6.2f GB/s vs %s %6.2f GB/s, ratio %.2f%s\n",
                        c.name.c_str(), size, gbs, c.anchorName.c_str(), double(size) / anchor,
                        anchor / ours,
                        ceiling                ? " (ceiling)"
                        : anchor / ours >= 1.0 ? " (met)"
                                               : " (MISSED)");
        }
    }
    const double guarded = reporter.Time("GetHashID/Ours"), raw = reporter.Time("GetHashID/Raw");
    const double boost = reporter.Time("GetHashID/Boost");
    if (guarded > 0 && raw > 0)
        std::printf(
            "  GetHashID of 8-32 byte names: %.1f ns; engine alone %.1f ns; guard %.1f ns\n",
            guarded, raw, guarded - raw);
    if (guarded > 0 && boost > 0)
        std::printf("  GetHashID vs Boost two passes: %.1f ns vs %.1f ns, ratio %.2f\n", guarded,
                    boost, boost / guarded);
    if (boost < 0) std::printf("  Boost.CRC not installed: its anchors were skipped\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    const std::vector<Case> cases = Cases();
    if (!AnchorsAgree(cases)) return 1;
    for (const Case& c : cases) {
        for (size_t size : kSizes) {
            // The size argument completes the names Name() gives.
            benchmark::RegisterBenchmark((c.name + "/Ours").c_str(), RunCrc, c.ours)
                ->Arg(int64_t(size));
            if (c.anchor)
                benchmark::RegisterBenchmark((c.name + "/" + c.anchorName).c_str(), RunCrc,
                                             c.anchor)
                    ->Arg(int64_t(size));
        }
    }
    benchmark::RegisterBenchmark("GetHashID/Ours", RunNames, &GetHashID);
    benchmark::RegisterBenchmark("GetHashID/Raw", RunNames, &RawHashID);
#if QZO_HAVE_BOOST_CRC
    benchmark::RegisterBenchmark("GetHashID/Boost", RunNames, &BoostHashID);
#endif
    // Processor time: the machine is shared, and the table's bytes_per_second uses it too.
    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kProcessor);
    qzo::bench::RunAndSummarise(reporter, [&] { PrintSummary(reporter, cases); });
    return 0;
}
