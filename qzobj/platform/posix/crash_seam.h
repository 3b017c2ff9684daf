// The crash seam of the file layer: with QZO_CRASH_AT=N in its environment a process dies by
// SIGKILL at its N-th mutating file call, so tests can stop a writer at every step of an update
// and check what a later reader finds. QZO_CRASH_TRACE=<file> logs the counted calls, and
// QZO_CRASH_PATHS=<prefix> restricts counting to calls on native paths that start with it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qzo::platform::posix {

// The calls the seam counts: every call of the layer that changes a file's bytes, size, names,
// times or attributes, or the folders that hold them.
enum class MutatingCall : uint8_t {
    kWrite,
    kSetEndOfFile,
    kOpenCreate,    // an open that may create the file
    kOpenTruncate,  // an open that empties an existing file
    kDelete,
    kRemoveDirectory,
    kRemoveTree,
    kMove,
    kSetTimes,
    kSetAttributes,
    kCreateDirectory,
    kReplaceContent,
    kCopy,
};

// The word of the trace that names each kind ("write", "move", ...).
const char* MutatingCallName(MutatingCall kind);

namespace detail {
// -1 until the environment was read, then 0 (seam off) or 1 (counting).
extern std::atomic<int8_t> g_crashSeamState;
bool LoadCrashSeam();
}  // namespace detail

// True when the process was started with QZO_CRASH_AT or QZO_CRASH_TRACE set. The environment
// is read once, at the first call; after that this is one load and one well-predicted branch,
// which is all the seam costs a process that set neither variable.
inline bool CrashSeamActive() {
    const int8_t state = detail::g_crashSeamState.load(std::memory_order_relaxed);
    if (state >= 0) [[likely]]
        return state != 0;
    return detail::LoadCrashSeam();
}

// Counts a call that is not a write, before it acts: traces it and, when it is the chosen one,
// kills the process so that the call never happens. `second` names a move's or copy's target.
// Call only when CrashSeamActive().
void CountMutatingCall(MutatingCall kind, const std::string& path, const std::string& second = {});

// Counts a write of `length` bytes from `data` at the descriptor's current position, before it
// happens. When it is the chosen call, the bytes up to the last 512-byte file-offset boundary
// the write crosses reach the file (none when it crosses none) and the process dies: a torn
// write that keeps whole sectors. Call only when CrashSeamActive() and `length` > 0.
void CountWrite(int fd, const std::string& path, const void* data, size_t length);
// The same for a positioned write at `offset` (the descriptor's position is not used).
void CountWriteAt(int fd, const std::string& path, const void* data, size_t length,
                  uint64_t offset);

// The sector size of torn writes.
inline constexpr uint64_t kCrashSectorSize = 512;

// How many bytes of a write of `length` bytes at `offset` the chosen call keeps: up to the last
// multiple b of the sector size with offset < b <= offset + length, or none.
uint64_t BytesKeptByTornWrite(uint64_t offset, uint64_t length);

}  // namespace qzo::platform::posix
