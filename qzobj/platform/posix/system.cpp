// System information and process services on Linux: /proc and sysinfo for memory figures, the
// monotonic clock for ticks, the host name and account for the computer and user names.
#include "qzobj/platform/system.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qzobj/platform/text.h"
#include "qzobj/platform/tick_offset.h"

namespace qzo::platform {
namespace {

// Reads a small /proc file into `buffer` with plain system calls (no allocation, so the
// exception filter may report memory figures from inside the fault handler). Returns the bytes
// read, terminated.
size_t ReadProcFile(const char* path, char* buffer, size_t capacity) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    size_t used = 0;
    while (used + 1 < capacity) {
        const ssize_t n = read(fd, buffer + used, capacity - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    buffer[used] = '\0';
    return used;
}

// The number after "key:" in a /proc text, or `fallback` when the key is missing.
long long ProcField(const char* text, const char* key, long long fallback) {
    const size_t keyLength = std::strlen(key);
    for (const char* line = text; line && *line;) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':')
            return std::strtoll(line + keyLength + 1, nullptr, 10);
        line = std::strchr(line, '\n');
        if (line) ++line;
    }
    return fallback;
}

// The address space a process may use.
constexpr ULONGLONG kAddressSpaceBytes =
#if defined(__x86_64__) || defined(__aarch64__)
    ULONGLONG{1} << 47;
#else
    ULONGLONG{1} << 32;
#endif

std::atomic<KeyStateHook> g_keyStateHook{nullptr};

struct timespec MonotonicNow() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

std::u16string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return (value && *value) ? qzo::text::ToUtf16(value) : std::u16string();
}

}  // namespace

bool GetMemoryStatus(MemoryStatus& status) {
    status = MemoryStatus{};
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return false;
    const ULONGLONG unit = info.mem_unit ? info.mem_unit : 1;
    status.totalPhysical = ULONGLONG(info.totalram) * unit;
    status.availablePhysical = ULONGLONG(info.freeram + info.bufferram) * unit;
    char text[8192];
    if (ReadProcFile("/proc/meminfo", text, sizeof text) > 0) {
        const long long available = ProcField(text, "MemAvailable", -1);
        if (available >= 0) status.availablePhysical = ULONGLONG(available) * 1024;
    }
    if (status.availablePhysical > status.totalPhysical)
        status.availablePhysical = status.totalPhysical;
    status.totalPageFile = status.totalPhysical + ULONGLONG(info.totalswap) * unit;
    status.availablePageFile = status.availablePhysical + ULONGLONG(info.freeswap) * unit;
    if (status.totalPhysical > 0)
        status.memoryLoad =
            DWORD((status.totalPhysical - status.availablePhysical) * 100 / status.totalPhysical);
    status.totalVirtual = kAddressSpaceBytes;
    status.availableVirtual = kAddressSpaceBytes;
    if (ReadProcFile("/proc/self/status", text, sizeof text) > 0) {
        const long long used = ProcField(text, "VmSize", 0) * 1024;
        if (used > 0 && ULONGLONG(used) < kAddressSpaceBytes)
            status.availableVirtual = kAddressSpaceBytes - ULONGLONG(used);
    }
    return true;
}

DWORD GetNumberOfProcessors() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? DWORD(count) : 1;
}

DWORD GetTickCount() {
    const struct timespec now = MonotonicNow();
    const ULONGLONG ms = ULONGLONG(now.tv_sec) * 1000 + ULONGLONG(now.tv_nsec) / 1000000;
    return DWORD(ms) + TickOffset();  // wraps every 49.7 days, as the Windows tick count does
}

ULONGLONG QueryPerformanceCounter() {
    const struct timespec now = MonotonicNow();
    return ULONGLONG(now.tv_sec) * 1000000000ull + ULONGLONG(now.tv_nsec);
}

ULONGLONG QueryPerformanceFrequency() {
    return 1000000000ull;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) pause();
    }
    struct timespec remaining {};
    remaining.tv_sec = time_t(milliseconds / 1000);
    remaining.tv_nsec = long(milliseconds % 1000) * 1000000L;
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

DWORD GetCurrentProcessId() {
    return DWORD(getpid());
}

DWORD GetCurrentThreadId() {
    return DWORD(gettid());
}

std::u16string ComputerName() {
    std::u16string name = FromEnvironment("QZO_COMPUTERNAME");
    if (!name.empty()) return name;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || !host[0]) return u"LOCALHOST";
    std::string label(host, std::strcspn(host, "."));
    for (char& c : label) c = qzo::text::FoldUpper(c);
    if (label.size() > 15) label.resize(15);
    return qzo::text::ToUtf16(label);
}

std::u16string UserName() {
    std::u16string name = FromEnvironment("QZO_USERNAME");
    if (!name.empty()) return name;
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? size_t(suggested) : size_t{16384});
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return qzo::text::ToUtf16(found->pw_name);
    name = FromEnvironment("USER");
    return name.empty() ? qzo::text::ToUtf16(std::to_string(geteuid())) : name;
}

void SetKeyStateHook(KeyStateHook hook) {
    g_keyStateHook.store(hook);
}

bool IsKeyDown(int virtualKey) {
    KeyStateHook hook = g_keyStateHook.load();
    return hook ? hook(virtualKey) : false;
}

bool IsDebuggerPresent() {
    char text[8192];
    if (ReadProcFile("/proc/self/status", text, sizeof text) == 0) return false;
    return ProcField(text, "TracerPid", 0) != 0;
}

void RaiseBreakpoint() {
    raise(SIGTRAP);
}

void Beep() {
    if (isatty(STDERR_FILENO) == 1) {
        const char bell = '\a';
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, &bell, 1);
    }
}

}  // namespace qzo::platform
