// CHeap Alloc/Free, plain and watch mode, against glibc malloc, the bare platform heap beneath
// CHeap, and mimalloc / jemalloc when their libraries can be loaded (reached through dlopen,
// never replacing malloc; skipped when absent). Sizes 16 to 4,096 bytes, 1 and 2 threads.
// Prints the time ratios (framing overhead over the platform heap: target at most 1.5x) and the
// bytes each allocator spends per block.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "qzobj/frame.h"
#include "qzobj/memory.h"
#include "qzobj/platform/heap.h"
#include "support/private_windir.h"
#include "support/ratio_reporter.h"

namespace {

constexpr int kBatch = 32;  // blocks held at once per iteration

// ---- anchors reached through dlopen ----

struct DynamicAllocator {
    std::string why;  // why it could not be loaded
    void* (*alloc)(size_t) = nullptr;
    void (*free)(void*) = nullptr;
    void* (*allocFlags)(size_t, int) = nullptr;  // jemalloc's mallocx
    void (*freeFlags)(void*, int) = nullptr;     // jemalloc's dallocx
    bool loaded = false;
};

void* OpenFirst(std::initializer_list<const char*> names, std::string& why) {
    for (const char* name : names) {
        if (void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL)) return module;
        why = dlerror();
    }
    return nullptr;
}

DynamicAllocator& Mimalloc() {
    static DynamicAllocator anchor = [] {
        DynamicAllocator a;
        if (void* module = OpenFirst({"libmimalloc.so.2", "libmimalloc.so"}, a.why)) {
            a.alloc = reinterpret_cast<void* (*)(size_t)>(dlsym(module, "mi_malloc"));
            a.free = reinterpret_cast<void (*)(void*)>(dlsym(module, "mi_free"));
            a.loaded = a.alloc && a.free;
        }
        return a;
    }();
    return anchor;
}

DynamicAllocator& Jemalloc() {
    static DynamicAllocator anchor = [] {
        DynamicAllocator a;
        if (void* module = OpenFirst({"libjemalloc.so.2", "libjemalloc.so"}, a.why)) {
            a.allocFlags = reinterpret_cast<void* (*)(size_t, int)>(dlsym(module, "mallocx"));
            a.freeFlags = reinterpret_cast<void (*)(void*, int)>(dlsym(module, "dallocx"));
            a.loaded = a.allocFlags && a.freeFlags;
        }
        return a;
    }();
    return anchor;
}

// ---- the allocators under test ----

CHeap& PlainHeap() {
    static CHeap* heap = new CHeap("BenchPlain", 0, 0x100000, 0, FALSE);
    return *heap;
}

CHeap& WatchedHeap() {
    static CHeap* heap = [] {
        QZOBJ_WriteProfileInt("BenchWatch", "Watch", 1);
        return new CHeap("BenchWatch", 0, 0x100000, 0, FALSE);
    }();
    return *heap;
}

HANDLE BarePlatformHeap() {
    static HANDLE heap = qzo::platform::HeapCreate(0, 0x100000, 0, 4);
    return heap;
}

template <class Alloc, class Free>
void RunBatches(benchmark::State& state, Alloc alloc, Free release) {
    const size_t size = static_cast<size_t>(state.range(0));
    void* blocks[kBatch];
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            blocks[i] = alloc(size);
            benchmark::DoNotOptimize(blocks[i]);
        }
        for (int i = kBatch; i-- > 0;) release(blocks[i]);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void CHeapPlain(benchmark::State& state) {
    CHeap& heap = PlainHeap();
    RunBatches(
        state, [&](size_t n) { return heap.Alloc(static_cast<DWORD>(n), 0, "bench/heap", 1); },
        [&](void* p) { heap.Free(p); });
}

void CHeapWatch(benchmark::State& state) {
    CHeap& heap = WatchedHeap();
    if (!heap.IsWatchFramed()) {
        state.SkipWithError("watch mode could not be switched on");
        return;
    }
    RunBatches(
        state, [&](size_t n) { return heap.Alloc(static_cast<DWORD>(n), 0, "bench/heap", 1); },
        [&](void* p) { heap.Free(p); });
}

void PlatformHeap(benchmark::State& state) {
    HANDLE heap = BarePlatformHeap();
    // The request CHeap makes for the same block: the size word and the trailer around it.
    RunBatches(
        state, [&](size_t n) { return qzo::platform::HeapAlloc(heap, 0, n + 8); },
        [&](void* p) { qzo::platform::HeapFree(heap, 0, p); });
}

void GlibcMalloc(benchmark::State& state) {
    RunBatches(
        state, [](size_t n) { return std::malloc(n); }, [](void* p) { std::free(p); });
}

void MiMalloc(benchmark::State& state) {
    DynamicAllocator& mi = Mimalloc();
    RunBatches(
        state, [&](size_t n) { return mi.alloc(n); }, [&](void* p) { mi.free(p); });
}

void JeMalloc(benchmark::State& state) {
    DynamicAllocator& je = Jemalloc();
    RunBatches(
        state, [&](size_t n) { return je.allocFlags(n, 0); }, [&](void* p) { je.freeFlags(p, 0); });
}

void Register(const char* name, void (*function)(benchmark::State&)) {
    for (int threads : {1, 2}) {
        benchmark::RegisterBenchmark(name, function)
            ->RangeMultiplier(4)
            ->Range(16, 4096)
            ->Threads(threads)
            ->UseRealTime();
    }
}

// ---- results and ratios ----

// One line a thread count: the subject's time per block over the anchor's at each size (both
// per batch of kBatch blocks, which the ratio cancels), from a wall-clock reporter.
void PrintPair(const qzo::bench::TimingReporter& reporter, const std::string& subject,
               const std::string& anchor, const char* note) {
    std::printf("  %s / %s%s%s\n", subject.c_str(), anchor.c_str(), *note ? ": " : "", note);
    for (int threads : {1, 2}) {
        std::printf("    threads %d:", threads);
        for (int size = 16; size <= 4096; size *= 4) {
            const std::string suffix =
                "/" + std::to_string(size) + "/real_time/threads:" + std::to_string(threads);
            const double ratio = reporter.Ratio(subject + suffix, anchor + suffix);
            if (ratio < 0) {
                std::printf("  %5d: n/a ", size);
            } else {
                std::printf("  %5d: %5.2fx", size, ratio);
            }
        }
        std::printf("\n");
    }
}

void PrintRatios(const qzo::bench::TimingReporter& reporter,
                 const std::vector<std::string>& anchors) {
    std::printf("\nTime per block, ratios (lower is better for the first name):\n");
    PrintPair(reporter, "CHeapPlain", "PlatformHeap", "framing overhead, target <= 1.5x");
    PrintPair(reporter, "CHeapWatch", "CHeapPlain", "watch mode over plain");
    for (const std::string& anchor : anchors) PrintPair(reporter, "CHeapPlain", anchor, "");
    for (const std::string& anchor : anchors) PrintPair(reporter, "CHeapWatch", anchor, "");
}

// Bytes of process memory per live block: allocates many blocks and divides the growth of the
// C allocator's in-use bytes (which holds the platform heap's blocks and registries too).
template <class Alloc, class Free>
double BytesPerBlock(size_t size, Alloc alloc, Free release) {
    constexpr int kBlocks = 20000;
    std::vector<void*> blocks;
    blocks.reserve(kBlocks);
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kBlocks; ++i) blocks.push_back(alloc(size));
    const size_t after = mallinfo2().uordblks;
    for (void* block : blocks) release(block);
    return static_cast<double>(after - before) / kBlocks;
}

void PrintBytesPerBlock() {
    std::printf("\nBytes of memory per live block (glibc in-use bytes, registries included):\n");
    std::printf("  %6s %10s %13s %11s %11s\n", "size", "malloc", "PlatformHeap", "CHeapPlain",
                "CHeapWatch");
    for (size_t size = 16; size <= 4096; size *= 4) {
        const double bare = BytesPerBlock(
            size, [](size_t n) { return std::malloc(n); }, [](void* p) { std::free(p); });
        HANDLE heap = BarePlatformHeap();
        const double platform = BytesPerBlock(
            size, [&](size_t n) { return qzo::platform::HeapAlloc(heap, 0, n + 8); },
            [&](void* p) { qzo::platform::HeapFree(heap, 0, p); });
        const double plain = BytesPerBlock(
            size, [](size_t n) { return PlainHeap().Alloc(static_cast<DWORD>(n)); },
            [](void* p) { PlainHeap().Free(p); });
        const double watch = BytesPerBlock(
            size, [](size_t n) { return WatchedHeap().Alloc(static_cast<DWORD>(n)); },
            [](void* p) { WatchedHeap().Free(p); });
        std::printf("  %6zu %10.1f %13.1f %11.1f %11.1f   (CHeapPlain - malloc: %+.1f)\n", size,
                    bare, platform, plain, watch, plain - bare);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Runs again with its own Windows directory and, unless the caller chose otherwise, with room
    // in the static TLS block for allocators that use initial-exec TLS (jemalloc) to be dlopened.
    const bool ready = qzo::bench::UsePrivateWindir(argv, "heap", [] {
        if (!std::getenv("GLIBC_TUNABLES")) {
            setenv("GLIBC_TUNABLES", "glibc.rtld.optional_static_tls=65536", 1);
        }
    });
    if (!ready) return 1;
    if (!qzo::bench::Initialize(&argc, argv)) return 1;

    std::vector<std::string> anchors = {"GlibcMalloc"};
    Register("CHeapPlain", &CHeapPlain);
    Register("CHeapWatch", &CHeapWatch);
    Register("PlatformHeap", &PlatformHeap);
    Register("GlibcMalloc", &GlibcMalloc);
    if (Mimalloc().loaded) {
        Register("MiMalloc", &MiMalloc);
        anchors.push_back("MiMalloc");
    } else {
        std::printf("mimalloc: skipped (%s)\n", Mimalloc().why.c_str());
    }
    if (Jemalloc().loaded) {
        Register("JeMalloc", &JeMalloc);
        anchors.push_back("JeMalloc");
    } else {
        std::printf("jemalloc: skipped (%s)\n", Jemalloc().why.c_str());
    }

    qzo::bench::TimingReporter reporter(qzo::bench::Clock::kWall);
    qzo::bench::RunAndSummarise(reporter, [&] {
        PrintRatios(reporter, anchors);
        PrintBytesPerBlock();
    });
    qzo::bench::RemovePrivateWindir();
    return 0;
}
