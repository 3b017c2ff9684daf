// Headless progress windows: each keeps its title, texts and positions, and, when standard
// error is a terminal, draws them as one line there, redrawn at most about ten times a second.
// A hook sees every call and can press Cancel, for tests.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "qzobj/platform/output.h"
#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/uikit/hook_slot.h"
#include "qzobj/uikit.h"

namespace qzo::uikit {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 20;

struct ProgressWindow {
    std::u16string title;
    std::u16string status;
    std::u16string masterStatus;
    int position = 0;
    int masterPosition = 0;
    bool hasMaster = false;
    PROGRESSCANCELPROC cancel = nullptr;
    uintptr_t cancelValue = 0;
    Clock::time_point lastDraw{};
    bool drawn = false;
    size_t lastLineLength = 0;
};

// The open progress windows. Handles come from callers, so every call first checks that the
// handle is one of these; the mutex guards the set and every window's fields and drawing.
class ProgressWindows {
  public:
    static ProgressWindows& Instance() {
        static auto& windows = *new ProgressWindows;
        return windows;
    }
    std::mutex mutex;
    std::unordered_set<ProgressWindow*> open;

    ProgressWindow* Find(HANDLE handle) {
        auto* window = static_cast<ProgressWindow*>(handle);
        return handle && open.count(window) ? window : nullptr;
    }
};

HookSlot<PROGRESSHOOKPROC>& Hook() {
    static HookSlot<PROGRESSHOOKPROC> slot;
    return slot;
}

std::string Bar(int position) {
    int filled = position * kBarWidth / 100;
    return std::string(filled, '#') + std::string(kBarWidth - filled, ' ');
}

// "\r<title> [########            ] 42% <text>", then " | <master text> 30%" when a master
// status was set, padded to cover a longer previous line.
std::string ProgressLine(ProgressWindow& window) {
    std::string line = "\r" + text::ToUtf8(window.title) + " [" + Bar(window.position) + "] " +
                       std::to_string(window.position) + "% " + text::ToUtf8(window.status);
    if (window.hasMaster)
        line += " | " + text::ToUtf8(window.masterStatus) + " " +
                std::to_string(window.masterPosition) + "%";
    size_t length = line.size();
    if (length < window.lastLineLength) line.append(window.lastLineLength - length, ' ');
    window.lastLineLength = length;
    return line;
}

// Draws when standard error is a terminal and the last drawing is old enough (or `force`).
void Draw(ProgressWindow& window, bool force) {
    const auto now = Clock::now();
    if (!force && window.drawn && now - window.lastDraw < kRedrawInterval) return;
    const platform::OutputHandle terminal = platform::StandardErrorOutput();
    if (!platform::IsTerminal(terminal)) return;
    std::string line = ProgressLine(window);
    platform::WriteOutput(terminal, line.data(), line.size());
    window.drawn = true;
    window.lastDraw = now;
}

int Clamp(int position) {
    return std::clamp(position, 0, 100);
}

std::u16string TextOf(const WCHAR* text) {
    return text ? std::u16string(text) : std::u16string();
}

// Calls the cancel callback of an open window outside the windows' lock, so that the callback
// may drive the window itself.
BOOL FireCancel(HANDLE progress) {
    PROGRESSCANCELPROC cancel = nullptr;
    uintptr_t value = 0;
    {
        auto& windows = ProgressWindows::Instance();
        std::lock_guard lock(windows.mutex);
        ProgressWindow* window = windows.Find(progress);
        if (!window || !window->cancel) return FALSE;
        cancel = window->cancel;
        value = window->cancelValue;
    }
    try {
        cancel(progress, value);
    } catch (...) {
    }
    return TRUE;
}

// Tells the hook about a call that succeeded, outside the windows' lock; presses Cancel when
// the hook asks for it.
void Notify(PROGRESSCALLKIND kind, HANDLE progress, const WCHAR* text, int position, DWORD flags) {
    const auto* entry = Hook().Get();
    if (!entry) return;
    const PROGRESSCALL call{kind, progress, text, position, flags};
    BOOL cancel = FALSE;
    try {
        cancel = entry->hook(&call, entry->context);
    } catch (...) {
        return;
    }
    if (cancel && kind != PROGRESS_CALL_CLOSE) FireCancel(progress);
}

// Applies `change` to an open window under the lock and redraws; FALSE for an unknown handle.
template <typename Change>
BOOL Update(HANDLE progress, Change change) {
    auto& windows = ProgressWindows::Instance();
    std::lock_guard lock(windows.mutex);
    ProgressWindow* window = windows.Find(progress);
    if (!window) return FALSE;
    try {
        change(*window);
        Draw(*window, false);
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

}  // namespace
}  // namespace qzo::uikit

using qzo::uikit::ProgressWindow;
using qzo::uikit::ProgressWindows;

HANDLE Progress_Open(HWND /*owner*/, const WCHAR* title, const WCHAR* text, DWORD flags,
                     PROGRESSCANCELPROC cancel, uintptr_t value) {
    auto* window = new (std::nothrow) ProgressWindow;
    if (!window) return nullptr;
    try {
        window->title = qzo::uikit::TextOf(title);
        window->status = qzo::uikit::TextOf(text);
        window->cancel = cancel;
        window->cancelValue = value;
        auto& windows = ProgressWindows::Instance();
        std::lock_guard lock(windows.mutex);
        windows.open.insert(window);
        qzo::uikit::Draw(*window, true);
    } catch (...) {
        delete window;
        return nullptr;
    }
    qzo::uikit::Notify(PROGRESS_CALL_OPEN, window, title, 0, flags);
    return window;
}

BOOL Progress_SetTitle(HANDLE progress, const WCHAR* title) {
    const BOOL done = qzo::uikit::Update(
        progress, [&](ProgressWindow& window) { window.title = qzo::uikit::TextOf(title); });
    if (done) qzo::uikit::Notify(PROGRESS_CALL_SETTITLE, progress, title, 0, 0);
    return done;
}

BOOL Progress_SetStatus(HANDLE progress, const WCHAR* text, int position, const WCHAR* /*text2*/) {
    const BOOL done = qzo::uikit::Update(progress, [&](ProgressWindow& window) {
        if (text) window.status = text;
        window.position = qzo::uikit::Clamp(position);
    });
    if (done) qzo::uikit::Notify(PROGRESS_CALL_SETSTATUS, progress, text, position, 0);
    return done;
}

BOOL Progress_SetMasterStatus(HANDLE progress, const WCHAR* text, int position,
                              const WCHAR* /*text2*/) {
    const BOOL done = qzo::uikit::Update(progress, [&](ProgressWindow& window) {
        if (text) window.masterStatus = text;
        window.masterPosition = qzo::uikit::Clamp(position);
        window.hasMaster = true;
    });
    if (done) qzo::uikit::Notify(PROGRESS_CALL_SETMASTERSTATUS, progress, text, position, 0);
    return done;
}

void Progress_Close(HANDLE progress) {
    ProgressWindow* window = nullptr;
    {
        auto& windows = ProgressWindows::Instance();
        std::lock_guard lock(windows.mutex);
        window = windows.Find(progress);
        if (!window) return;
        windows.open.erase(window);
        try {
            // The final state stays on the terminal, and the next output starts on a fresh line.
            if (window->drawn) {
                qzo::uikit::Draw(*window, true);
                qzo::platform::WriteOutput(qzo::platform::StandardErrorOutput(), "\n", 1);
            }
        } catch (...) {
        }
    }
    // Already closed for every other call; freed only after the hook has seen it.
    qzo::uikit::Notify(PROGRESS_CALL_CLOSE, progress, nullptr, 0, 0);
    delete window;
}

PROGRESSHOOKPROC Progress_SetHook(PROGRESSHOOKPROC hook, void* context) {
    return qzo::uikit::Hook().Set(hook, context);
}

BOOL Progress_Cancel(HANDLE progress) {
    return qzo::uikit::FireCancel(progress);
}
