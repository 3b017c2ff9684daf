// wPrintf and its target: nowhere, standard error or an append-only file named by
// QZO_DEBUG_OUTPUT, plus the sink through which tests and tools see every message.
#include "qzobj/suitelibs/uikit/debug_output.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "qzobj/platform/output.h"
#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/uikit/hook_slot.h"
#include "qzobj/uikit.h"

namespace qzo::uikit {
namespace {

// Bits of the state word that wPrintf reads first. Zero means "off": the common case costs one
// relaxed load and a branch.
constexpr uint32_t kTargetUnread = 1;  // QZO_DEBUG_OUTPUT must be read before the next message
constexpr uint32_t kHasTarget = 2;
constexpr uint32_t kHasSink = 4;

// Longest UTF-8 form of a message: three bytes per unit (a surrogate pair gives four bytes for
// two units) and the terminator.
constexpr size_t kMaxMessageBytes = 3 * kMaxMessageUnits + 1;

// How long a retired target waits for writers still using it before it is closed. Writers that
// are slower than this (a blocked terminal) leave the old descriptor open rather than have it
// closed, and perhaps reused for another file, under their feet.
constexpr auto kRetireWait = std::chrono::milliseconds(200);

// Process-wide state of the debug output. All members may be used from any thread and from
// fault handlers: the state word, the target and the sink are atomics; resolving the target
// (reading the environment and opening the file) is serialised by `resolving`.
struct DebugOutputState {
    std::atomic<uint32_t> flags{kTargetUnread};
    std::atomic<platform::OutputHandle> target{platform::kNoOutput};
    std::atomic<int> writers{0};  // messages between picking up the target and finishing
    std::atomic_flag resolving = ATOMIC_FLAG_INIT;
    HookSlot<DebugOutputSink> sink;
};

// Constant-initialised, so it is usable from the first static constructor on and wPrintf needs
// no initialisation guard.
constinit DebugOutputState gState;

DebugOutputState& State() {
    return gState;
}

// Set while this thread resolves the target, so that a fault handler interrupting it prints
// nowhere instead of waiting for itself.
thread_local bool resolvingOnThisThread = false;

class ResolveLock {
  public:
    explicit ResolveLock(DebugOutputState& state) : state_(state) {
        while (state_.resolving.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
        resolvingOnThisThread = true;
    }
    ~ResolveLock() {
        resolvingOnThisThread = false;
        state_.resolving.clear(std::memory_order_release);
    }
    ResolveLock(const ResolveLock&) = delete;
    ResolveLock& operator=(const ResolveLock&) = delete;

  private:
    DebugOutputState& state_;
};

// Closes a target that has been replaced, once no writer can still be using it.
void RetireTarget(DebugOutputState& state, platform::OutputHandle old) {
    if (old == platform::kNoOutput || old == platform::StandardErrorOutput()) return;
    const auto deadline = std::chrono::steady_clock::now() + kRetireWait;
    while (state.writers.load() != 0) {
        if (std::chrono::steady_clock::now() > deadline) return;  // leave it open, see above
        std::this_thread::yield();
    }
    platform::CloseOutput(old);
}

// Installs a new target (or none) and updates the state word. Caller holds the resolve lock.
void ReplaceTarget(DebugOutputState& state, platform::OutputHandle target) {
    platform::OutputHandle old = state.target.exchange(target);
    if (target != platform::kNoOutput)
        state.flags.fetch_or(kHasTarget);
    else
        state.flags.fetch_and(~kHasTarget);
    if (old != target) RetireTarget(state, old);
}

platform::OutputHandle OpenConfiguredTarget() {
    const char* setting = std::getenv("QZO_DEBUG_OUTPUT");
    if (!setting || !*setting) return platform::kNoOutput;
    if (text::EqualNoCase(setting, "stderr")) return platform::StandardErrorOutput();
    return platform::OpenAppendOutput(setting);
}

// Reads QZO_DEBUG_OUTPUT when it has not been read since start-up or the last reset.
void ResolveTarget(DebugOutputState& state) {
    if (resolvingOnThisThread) return;
    ResolveLock lock(state);
    if (!(state.flags.load() & kTargetUnread)) return;
    ReplaceTarget(state, OpenConfiguredTarget());
    state.flags.fetch_and(~kTargetUnread);
}

void Deliver(DebugOutputState& state, int channel, int level, const WCHAR* message, size_t length) {
    if (const auto* sink = state.sink.Get()) {
        try {
            sink->hook(channel, level, message, length, sink->context);
        } catch (...) {
            // A failing sink must not take the caller down; the message still goes to the target.
        }
    }
    state.writers.fetch_add(1);
    platform::OutputHandle target = state.target.load();
    if (target != platform::kNoOutput) {
        char bytes[kMaxMessageBytes];
        size_t size = text::ToUtf8(message, length, bytes, sizeof bytes);
        platform::WriteOutput(target, bytes, size);
    }
    state.writers.fetch_sub(1);
}

}  // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink, void* context) {
    DebugOutputState& state = State();
    DebugOutputSink previous = state.sink.Set(sink, context);
    if (sink)
        state.flags.fetch_or(kHasSink);
    else
        state.flags.fetch_and(~kHasSink);
    return previous;
}

void ResetDebugOutputTarget() {
    DebugOutputState& state = State();
    ResolveLock lock(state);
    ReplaceTarget(state, platform::kNoOutput);
    state.flags.fetch_or(kTargetUnread);
}

}  // namespace qzo::uikit

using qzo::uikit::DebugOutputState;

void vwPrintf(int channel, int level, const WCHAR* format, va_list args) {
    DebugOutputState& state = qzo::uikit::State();
    uint32_t flags = state.flags.load(std::memory_order_relaxed);
    if (flags == 0) return;
    if (flags & qzo::uikit::kTargetUnread) {
        qzo::uikit::ResolveTarget(state);
        if (state.flags.load(std::memory_order_relaxed) == 0) return;
    }
    WCHAR text[qzo::uikit::kMaxMessageUnits + 1];
    size_t length = qzo::uikit::FormatV(text, sizeof text / sizeof text[0], format, args);
    qzo::uikit::Deliver(state, channel, level, text, length);
}

void wPrintf(int channel, int level, const WCHAR* format, ...) {
    if (qzo::uikit::State().flags.load(std::memory_order_relaxed) == 0) return;
    va_list args;
    va_start(args, format);
    vwPrintf(channel, level, format, args);
    va_end(args);
}

int Is_wPrintf_Active(int flag) {
    DebugOutputState& state = qzo::uikit::State();
    if (state.flags.load() & qzo::uikit::kTargetUnread) qzo::uikit::ResolveTarget(state);
    if (flag != 0 && !qzo::uikit::resolvingOnThisThread) {
        qzo::uikit::ResolveLock lock(state);
        if (state.target.load() == qzo::platform::kNoOutput)
            qzo::uikit::ReplaceTarget(state, qzo::platform::StandardErrorOutput());
    }
    return (state.flags.load() & (qzo::uikit::kHasTarget | qzo::uikit::kHasSink)) != 0 ? 1 : 0;
}
