// Counting of mutating file calls, the trace of them, and the death at the chosen one.
#include "qzobj/platform/posix/crash_seam.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace qzo::platform::posix {
namespace detail {
constinit std::atomic<int8_t> g_crashSeamState{-1};
}  // namespace detail

namespace {

// Read once from the environment; fixed afterwards. Everything here is initialised before any
// code runs (constinit), because the first counted call may come from another file's static
// initialiser while the library loads.
struct SeamSettings {
    uint64_t crashAt;         // 0: never die
    int traceFd;              // -1: no trace
    const std::string* only;  // when set, only calls on paths starting with it count
};

constinit SeamSettings g_settings{0, -1, nullptr};
constinit std::once_flag g_loadOnce;
constinit std::atomic<uint64_t> g_callCount{0};

uint64_t ParseCallNumber(const char* text) {
    if (!text || !*text) return 0;
    uint64_t value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return 0;  // not a plain number: the seam stays harmless
        if (value > (UINT64_MAX - 9) / 10) return 0;
        value = value * 10 + static_cast<uint64_t>(*c - '0');
    }
    return value;
}

void Load() {
    g_settings.crashAt = ParseCallNumber(getenv("QZO_CRASH_AT"));
    const char* only = getenv("QZO_CRASH_PATHS");
    if (only && *only) g_settings.only = new std::string(only);  // kept for the process's life
    const char* trace = getenv("QZO_CRASH_TRACE");
    if (trace && *trace)
        g_settings.traceFd = open(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const bool active = g_settings.crashAt != 0 || g_settings.traceFd >= 0;
    detail::g_crashSeamState.store(active ? 1 : 0, std::memory_order_release);
}

void WriteFully(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        data += put;
        size -= static_cast<size_t>(put);
    }
}

// One line per call, written with one append so that lines of several threads never mix:
// number, kind and path, then a write's offset and length or a move's or copy's target,
// separated by tabs.
void Trace(uint64_t number, MutatingCall kind, const std::string& path, const std::string& extra) {
    if (g_settings.traceFd < 0) return;
    std::string line = std::to_string(number) + '\t' + MutatingCallName(kind) + '\t' + path;
    if (!extra.empty()) line += '\t' + extra;
    line += '\n';
    WriteFully(g_settings.traceFd, line.data(), line.size());
}

// Calls on other paths than the chosen ones are neither counted nor traced, so that files the
// library writes on its own (settings, workgroup entries) cannot shift the numbers.
bool Chosen(const std::string& path, const std::string& second) {
    if (!g_settings.only) return true;
    const std::string& only = *g_settings.only;
    return path.compare(0, only.size(), only) == 0 || second.compare(0, only.size(), only) == 0;
}

// Returns the number of this call and whether it is the one that dies.
bool Count(uint64_t& number) {
    number = g_callCount.fetch_add(1, std::memory_order_relaxed) + 1;
    return number == g_settings.crashAt;
}

[[noreturn]] void Die() {
    kill(getpid(), SIGKILL);
    for (;;) pause();  // SIGKILL cannot be caught; this only waits for it to land
}

}  // namespace

namespace detail {
bool LoadCrashSeam() {
    std::call_once(g_loadOnce, Load);
    return g_crashSeamState.load(std::memory_order_acquire) != 0;
}
}  // namespace detail

const char* MutatingCallName(MutatingCall kind) {
    switch (kind) {
        case MutatingCall::kWrite:
            return "write";
        case MutatingCall::kSetEndOfFile:
            return "set-end-of-file";
        case MutatingCall::kOpenCreate:
            return "open-create";
        case MutatingCall::kOpenTruncate:
            return "open-truncate";
        case MutatingCall::kDelete:
            return "delete";
        case MutatingCall::kRemoveDirectory:
            return "remove-directory";
        case MutatingCall::kRemoveTree:
            return "remove-tree";
        case MutatingCall::kMove:
            return "move";
        case MutatingCall::kSetTimes:
            return "set-times";
        case MutatingCall::kSetAttributes:
            return "set-attributes";
        case MutatingCall::kCreateDirectory:
            return "create-directory";
        case MutatingCall::kReplaceContent:
            return "replace-content";
        case MutatingCall::kCopy:
            return "copy";
    }
    return "unknown";
}

uint64_t BytesKeptByTornWrite(uint64_t offset, uint64_t length) {
    const uint64_t end = offset + length;
    const uint64_t lastBoundary = end / kCrashSectorSize * kCrashSectorSize;
    return lastBoundary > offset ? lastBoundary - offset : 0;
}

void CountMutatingCall(MutatingCall kind, const std::string& path, const std::string& second) {
    if (!Chosen(path, second)) return;
    uint64_t number = 0;
    const bool dies = Count(number);
    Trace(number, kind, path, second);
    if (dies) Die();
}

void CountWrite(int fd, const std::string& path, const void* data, size_t length) {
    if (!Chosen(path, {})) return;
    const off_t position = lseek(fd, 0, SEEK_CUR);
    // An unknown position keeps nothing of the write when it is the chosen one.
    CountWriteAt(fd, path, position < 0 ? nullptr : data, length,
                 position < 0 ? 0 : static_cast<uint64_t>(position));
}

void CountWriteAt(int fd, const std::string& path, const void* data, size_t length,
                  uint64_t offset) {
    if (!Chosen(path, {})) return;
    uint64_t number = 0;
    const bool dies = Count(number);
    if (g_settings.traceFd < 0 && !dies) return;
    Trace(number, MutatingCall::kWrite, path,
          std::to_string(offset) + '\t' + std::to_string(length));
    if (!dies) return;
    const uint64_t kept = data ? BytesKeptByTornWrite(offset, length) : 0;
    const char* bytes = static_cast<const char*>(data);
    for (uint64_t put = 0; put < kept;) {
        const ssize_t n = ::pwrite(fd, bytes + put, static_cast<size_t>(kept - put),
                                   static_cast<off_t>(offset + put));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        put += static_cast<uint64_t>(n);
    }
    Die();
}

}  // namespace qzo::platform::posix
