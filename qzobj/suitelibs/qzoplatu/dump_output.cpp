// The dump output: dmp_printf formats into a stack buffer and writes to the debug output
// (channel 0), or appends UTF-8 to the file chosen with dmp_output. Usable in fault handlers.
#include <atomic>
#include <cstdarg>
#include <cstring>

#include "qzobj/platform/output.h"
#include "qzobj/platform/text.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/suitelibs/uikit/debug_output.h"
#include "qzobj/uikit.h"

namespace {

constexpr size_t kPathBytes = 4096;

// The redirection target. dmp_output may run on any thread while others print: a spin flag
// guards the path (held only for a copy, so a fault handler never waits long), and the path
// lives in static storage so printing never allocates.
struct DumpTarget {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    char path[kPathBytes] = {};
};
DumpTarget g_target;

void LockTarget() {
    while (g_target.busy.test_and_set(std::memory_order_acquire)) {
    }
}
void UnlockTarget() {
    g_target.busy.clear(std::memory_order_release);
}

// Copies the current target path; false when the output goes to the debug output.
bool CurrentTarget(char* path) {
    LockTarget();
    std::memcpy(path, g_target.path, kPathBytes);
    UnlockTarget();
    return path[0] != '\0';
}

bool AppendToFile(const char* path, const WCHAR* text, size_t length) {
    char utf8[3 * qzo::uikit::kMaxMessageUnits + 1];
    const size_t bytes = qzo::text::ToUtf8(text, length, utf8, sizeof utf8);
    const qzo::platform::OutputHandle file = qzo::platform::OpenAppendOutput(path);
    if (file == qzo::platform::kNoOutput) return false;
    const bool written = qzo::platform::WriteOutput(file, utf8, bytes);
    qzo::platform::CloseOutput(file);
    return written;
}

}  // namespace

int dmp_printf(const WCHAR* format, ...) {
    if (!format) return 0;
    WCHAR message[qzo::uikit::kMaxMessageUnits + 1];
    va_list args;
    va_start(args, format);
    const size_t length =
        qzo::uikit::FormatV(message, qzo::uikit::kMaxMessageUnits + 1, format, args);
    va_end(args);
    char path[kPathBytes];
    // A file that cannot be opened loses the text to the debug output rather than dropping it.
    if (!CurrentTarget(path) || !AppendToFile(path, message, length)) wPrintf(0, 0, u"%s", message);
    return static_cast<int>(length);
}

void dmp_output(const WCHAR* path) {
    char narrow[kPathBytes] = {};
    // Every UTF-16 unit takes at most three UTF-8 bytes: a path within this bound always fits,
    // and a longer one is refused rather than cut into another file's name.
    const size_t length = qzo::text::BoundedLength(path, kPathBytes);
    if (path && length > 0 && length * 3 < kPathBytes) {
        qzo::text::ToUtf8(path, length, narrow, kPathBytes);
        for (char* p = narrow; *p; ++p)
            if (*p == '\\') *p = '/';
    }
    LockTarget();
    std::memcpy(g_target.path, narrow, kPathBytes);
    UnlockTarget();
}
