// The file layer against the system's plain calls: cached 10-byte CQZFile writes against fwrite
// with a 64 KiB setvbuf buffer (both ending in one sync per batch); opening and closing with
// share emulation against plain open/close; a byte-range lock and unlock against a raw
// F_OFD_SETLK pair. Wall-clock time per iteration; prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/file.h"
#include "qzobj/platform/file.h"
#include "support/ratio_reporter.h"
#include "support/temp_folder.h"

namespace {

constexpr int kWritesPerBatch = 10000;
constexpr DWORD kCacheBytes = 64 * 1024;

std::string g_folder;

std::string PathOf(const char* name) {
    return g_folder + "/" + name;
}
std::u16string SystemPath(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

void CachedFileWrites(benchmark::State& state) {
    const std::u16string path = SystemPath(PathOf("cached.bin"));
    CQZFile file;
    if (file.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0, kCacheBytes) != 0) {
        state.SkipWithError("cannot open");
        return;
    }
    for (auto _ : state) {
        file.SetFilePtr(0, FILE_BEGIN);
        for (int i = 0; i < kWritesPerBatch; ++i) file.Write("0123456789", 10);
        file.FlushCache();  // writes the cache and syncs
    }
    file.Close();
}

void BufferedStdioWrites(benchmark::State& state) {
    FILE* stream = std::fopen(PathOf("stdio.bin").c_str(), "wb");
    if (!stream) {
        state.SkipWithError("cannot open");
        return;
    }
    static char buffer[kCacheBytes];
    std::setvbuf(stream, buffer, _IOFBF, sizeof buffer);
    for (auto _ : state) {
        std::fseek(stream, 0, SEEK_SET);
        for (int i = 0; i < kWritesPerBatch; ++i) std::fwrite("0123456789", 1, 10, stream);
        std::fflush(stream);
        fdatasync(fileno(stream));
    }
    std::fclose(stream);
}

void SharedOpenClose(benchmark::State& state) {
    const std::u16string path = SystemPath(PathOf("open.bin"));
    for (auto _ : state) {
        auto file = qzo::platform::File::Open(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                              FILE_SHARE_READ, OPEN_EXISTING, 0);
        benchmark::DoNotOptimize(file.get());
    }
}

void PlainOpenClose(benchmark::State& state) {
    const std::string path = PathOf("open.bin");
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        benchmark::DoNotOptimize(fd);
        close(fd);
    }
}

void FileLockUnlock(benchmark::State& state) {
    CQZFile file;
    const std::u16string path = SystemPath(PathOf("lock.bin"));
    if (file.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  OPEN_EXISTING, 0) != 0) {
        state.SkipWithError("cannot open");
        return;
    }
    for (auto _ : state) {
        file.FileLock(0, 100);
        file.FileUnlock(0, 100);
    }
}

void RawOfdLockUnlock(benchmark::State& state) {
    int fd = open(PathOf("lock.bin").c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_whence = SEEK_SET;
    lock.l_len = 100;
    for (auto _ : state) {
        lock.l_type = F_WRLCK;
        fcntl(fd, F_OFD_SETLK, &lock);
        lock.l_type = F_UNLCK;
        fcntl(fd, F_OFD_SETLK, &lock);
    }
    close(fd);
}

const std::vector<qzo::bench::Comparison> kComparisons = {
    {"CachedFileWrites/real_time", "BufferedStdioWrites/real_time",
     "10,000 cached CQZFile writes of 10 bytes + sync / fwrite with 64 KiB setvbuf + sync", 0},
    {"SharedOpenClose/real_time", "PlainOpenClose/real_time",
     "open+close with share emulation / plain open+close", 0},
    {"FileLockUnlock/real_time", "RawOfdLockUnlock/real_time",
     "CQZFile FileLock+FileUnlock / raw F_OFD_SETLK pair", 0},
};

bool MakeFolder() {
    g_folder = qzo::bench::MakeTempFolder("files");
    if (g_folder.empty()) return false;
    for (const char* name : {"open.bin", "lock.bin"}) {
        int fd = open(PathOf(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        if (write(fd, std::string(100, 'x').data(), 100) != 100) return false;
        close(fd);
    }
    return true;
}

void RemoveFolder() {
    for (const char* name : {"cached.bin", "stdio.bin", "open.bin", "lock.bin"})
        unlink(PathOf(name).c_str());
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
    benchmark::RegisterBenchmark("CachedFileWrites", &CachedFileWrites)->UseRealTime();
    benchmark::RegisterBenchmark("BufferedStdioWrites", &BufferedStdioWrites)->UseRealTime();
    benchmark::RegisterBenchmark("SharedOpenClose", &SharedOpenClose)->UseRealTime();
    benchmark::RegisterBenchmark("PlainOpenClose", &PlainOpenClose)->UseRealTime();
    benchmark::RegisterBenchmark("FileLockUnlock", &FileLockUnlock)->UseRealTime();
    benchmark::RegisterBenchmark("RawOfdLockUnlock", &RawOfdLockUnlock)->UseRealTime();
    // Wall-clock time: these runs wait on the disk.
    qzo::bench::RunWithRatios(kComparisons, qzo::bench::Clock::kWall);
    RemoveFolder();
    return 0;
}
