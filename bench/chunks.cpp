// Chunk I/O: a million small chunks (16 to 64 bytes of payload), three levels deep, written and
// read through the file archive and the memory archive, against the same bytes written and read
// through fwrite/fread with a 64 KiB buffer (the write ending in one sync, as the archive's Close
// does) and through a std::vector. Prints throughput ratios.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/store.h"
#include "support/ratio_reporter.h"
#include "support/temp_folder.h"

namespace {

constexpr int kTops = 100;
constexpr int kMiddles = 100;  // per top-level chunk
constexpr int kLeaves = 100;   // per middle chunk: 1,000,000 leaves in all
constexpr size_t kStdioBuffer = 64 * 1024;

std::string g_folder;
std::vector<DWORD> g_sizes;  // payload size of each leaf
std::vector<char> g_payload(64, 'p');
size_t g_totalBytes = 0;
DWORD g_idT, g_idM, g_idL;

std::string PathOf(const char* name) {
    return g_folder + "/" + name;
}
std::u16string SystemPath(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

void PrepareShape() {
    g_sizes.resize(size_t(kTops) * kMiddles * kLeaves);
    for (size_t i = 0; i < g_sizes.size(); ++i) g_sizes[i] = 16 + DWORD((i * 37) % 49);
    size_t bytes = size_t(kTops) * 8 + size_t(kTops) * kMiddles * 8;
    for (DWORD size : g_sizes) bytes += 8 + size;
    g_totalBytes = bytes;
    g_idT = GetHashID("T");
    g_idM = GetHashID("M");
    g_idL = GetHashID("L");
}

// The tree through the archive interface.
bool WriteTree(CQZArchive& archive) {
    size_t leaf = 0;
    for (int t = 0; t < kTops; ++t) {
        if (archive.Chnk_Open("T", CHNK_WRITE) != 0) return false;
        for (int m = 0; m < kMiddles; ++m) {
            archive.Chnk_Open("M", CHNK_WRITE);
            for (int l = 0; l < kLeaves; ++l, ++leaf) {
                archive.Chnk_Open("L", CHNK_WRITE);
                archive.Chnk_Write(g_payload.data(), g_sizes[leaf]);
                archive.Chnk_Close(2);
            }
            archive.Chnk_Close(1);
        }
        archive.Chnk_Close(0);
    }
    return true;
}

bool ReadTree(CQZArchive& archive) {
    char buffer[64];
    size_t leaf = 0;
    for (int t = 0; t < kTops; ++t) {
        if (archive.Chnk_Open("T", CHNK_READ) != 0) return false;
        for (int m = 0; m < kMiddles; ++m) {
            archive.Chnk_Open("M", CHNK_READ);
            for (int l = 0; l < kLeaves; ++l, ++leaf) {
                archive.Chnk_Open("L", CHNK_READ);
                if (archive.Chnk_Read(buffer, sizeof buffer) != g_sizes[leaf]) return false;
                archive.Chnk_Close(2);
            }
            archive.Chnk_Close(1);
        }
        archive.Chnk_Close(0);
    }
    return true;
}

// The same bytes with the sizes known in advance: one pass, no patching.
template <typename Put>
void EmitTree(Put&& put) {
    size_t leaf = 0;
    DWORD header[2];
    for (int t = 0; t < kTops; ++t) {
        size_t first = leaf;
        DWORD topSize = 0;
        std::vector<DWORD> middleSizes(kMiddles);
        for (int m = 0; m < kMiddles; ++m) {
            DWORD size = 0;
            for (int l = 0; l < kLeaves; ++l) size += 8 + g_sizes[first++];
            middleSizes[m] = size;
            topSize += 8 + size;
        }
        header[0] = g_idT;
        header[1] = topSize;
        put(header, 8);
        for (int m = 0; m < kMiddles; ++m) {
            header[0] = g_idM;
            header[1] = middleSizes[m];
            put(header, 8);
            for (int l = 0; l < kLeaves; ++l, ++leaf) {
                header[0] = g_idL;
                header[1] = g_sizes[leaf];
                put(header, 8);
                put(g_payload.data(), g_sizes[leaf]);
            }
        }
    }
}

// Reads the bytes back as a reader that checks each header would.
template <typename Get>
bool ParseTree(Get&& get) {
    DWORD header[2];
    char buffer[64];
    size_t leaf = 0;
    for (int t = 0; t < kTops; ++t) {
        if (!get(header, 8) || header[0] != g_idT) return false;
        for (int m = 0; m < kMiddles; ++m) {
            if (!get(header, 8) || header[0] != g_idM) return false;
            for (int l = 0; l < kLeaves; ++l, ++leaf) {
                if (!get(header, 8) || header[0] != g_idL || header[1] > sizeof buffer)
                    return false;
                if (!get(buffer, header[1])) return false;
            }
        }
    }
    return true;
}

void ChunkFileWrite(benchmark::State& state) {
    const std::u16string path = SystemPath(PathOf("archive.chk"));
    for (auto _ : state) {
        CChunkArchive archive;
        if (archive.Open(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0) != 0 ||
            !WriteTree(archive) || !archive.Close()) {
            state.SkipWithError("write failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void ChunkFileRead(benchmark::State& state) {
    const std::u16string path = SystemPath(PathOf("archive.chk"));
    for (auto _ : state) {
        CChunkArchive archive;
        if (archive.Open(path.c_str(), GENERIC_READ, OPEN_EXISTING, 0) != 0 || !ReadTree(archive)) {
            state.SkipWithError("read failed");
            return;
        }
        archive.Close();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void ChunkMemoryWrite(benchmark::State& state) {
    for (auto _ : state) {
        CMemChunkArchive archive;
        if (!archive.Open(GENERIC_WRITE) || !WriteTree(archive) || !archive.Close()) {
            state.SkipWithError("write failed");
            return;
        }
        benchmark::DoNotOptimize(archive);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void ChunkMemoryRead(benchmark::State& state) {
    CMemChunkArchive source;
    if (!source.Open(GENERIC_WRITE) || !WriteTree(source) || !source.Close()) {
        state.SkipWithError("setup failed");
        return;
    }
    for (auto _ : state) {
        CMemChunkArchive archive(source);
        if (!archive.Open(GENERIC_READ) || !ReadTree(archive)) {
            state.SkipWithError("read failed");
            return;
        }
        archive.Close();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void StdioWrite(benchmark::State& state) {
    static char buffer[kStdioBuffer];
    for (auto _ : state) {
        FILE* stream = std::fopen(PathOf("stdio.chk").c_str(), "wb");
        if (!stream) {
            state.SkipWithError("cannot open");
            return;
        }
        std::setvbuf(stream, buffer, _IOFBF, sizeof buffer);
        EmitTree([&](const void* data, size_t count) { std::fwrite(data, 1, count, stream); });
        // The archive's Close flushes the system's buffers of a written file; the ceiling does
        // the same, so both measure bytes that reached the disk.
        std::fflush(stream);
        fdatasync(fileno(stream));
        std::fclose(stream);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void StdioRead(benchmark::State& state) {
    static char buffer[kStdioBuffer];
    for (auto _ : state) {
        FILE* stream = std::fopen(PathOf("stdio.chk").c_str(), "rb");
        if (!stream) {
            state.SkipWithError("cannot open");
            return;
        }
        std::setvbuf(stream, buffer, _IOFBF, sizeof buffer);
        const bool parsed = ParseTree(
            [&](void* data, size_t count) { return std::fread(data, 1, count, stream) == count; });
        std::fclose(stream);
        if (!parsed) {
            state.SkipWithError("parse failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void VectorWrite(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<char> bytes;
        EmitTree([&](const void* data, size_t count) {
            const char* from = static_cast<const char*>(data);
            bytes.insert(bytes.end(), from, from + count);
        });
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

void VectorRead(benchmark::State& state) {
    std::vector<char> bytes;
    EmitTree([&](const void* data, size_t count) {
        const char* from = static_cast<const char*>(data);
        bytes.insert(bytes.end(), from, from + count);
    });
    for (auto _ : state) {
        size_t at = 0;
        const bool parsed = ParseTree([&](void* data, size_t count) {
            if (at + count > bytes.size()) return false;
            std::memcpy(data, bytes.data() + at, count);
            at += count;
            return true;
        });
        if (!parsed) {
            state.SkipWithError("parse failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_totalBytes));
}

// Throughput ratios: the ceiling's time over ours (1.00 means as fast as the ceiling; the aim
// is at least 0.80), so the ceiling takes the subject's place.
const std::vector<qzo::bench::Comparison> kComparisons = {
    {"StdioWrite/real_time", "ChunkFileWrite/real_time",
     "file archive write / fwrite with 64 KiB buffer", 0},
    {"StdioRead/real_time", "ChunkFileRead/real_time",
     "file archive read / fread with 64 KiB buffer", 0},
    {"VectorWrite/real_time", "ChunkMemoryWrite/real_time", "memory archive write / std::vector",
     0},
    {"VectorRead/real_time", "ChunkMemoryRead/real_time", "memory archive read / std::vector", 0},
};

bool MakeFolder() {
    g_folder = qzo::bench::MakeTempFolder("chunks");
    if (g_folder.empty()) return false;
    return true;
}

void RemoveFolder() {
    for (const char* name : {"archive.chk", "stdio.chk"}) unlink(PathOf(name).c_str());
    rmdir(g_folder.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (!qzo::bench::Initialize(&argc, argv)) return 1;
    SetDebugMode(FALSE);
    if (!MakeFolder()) {
        std::fprintf(stderr, "cannot prepare a temporary folder\n");
        return 1;
    }
    PrepareShape();
    benchmark::RegisterBenchmark("ChunkFileWrite", &ChunkFileWrite)->UseRealTime();
    benchmark::RegisterBenchmark("StdioWrite", &StdioWrite)->UseRealTime();
    benchmark::RegisterBenchmark("ChunkFileRead", &ChunkFileRead)->UseRealTime();
    benchmark::RegisterBenchmark("StdioRead", &StdioRead)->UseRealTime();
    benchmark::RegisterBenchmark("ChunkMemoryWrite", &ChunkMemoryWrite)->UseRealTime();
    benchmark::RegisterBenchmark("VectorWrite", &VectorWrite)->UseRealTime();
    benchmark::RegisterBenchmark("ChunkMemoryRead", &ChunkMemoryRead)->UseRealTime();
    benchmark::RegisterBenchmark("VectorRead", &VectorRead)->UseRealTime();
    qzo::bench::RunWithRatios(kComparisons, qzo::bench::Clock::kWall,
                              "Throughput against the ceiling (aim >= 0.80):");
    RemoveFolder();
    return 0;
}
