// Headless progress windows: each keeps its title, texts and positions, and, when standard
// error is a terminal, draws them as one line there, redrawn at most about ten times a second.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "qzobj/platform/output.h"
#include "qzobj/platform/text.h"
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
    PROGRESSCANCELPROC cancel = nullptr;  // kept for a windowed build; nothing cancels here
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

std::string Bar(int position) {
    int filled = position * kBarWidth / 100;
    return std::string(filled, '#') + std::string(kBarWidth - filled, '.');
}

// "\r title: [master 30% | ]status [####................] 42%", padded to cover a longer
// previous line.
std::string ProgressLine(ProgressWindow& window) {
    std::string line = "\r " + text::ToUtf8(window.title) + ": ";
    if (window.hasMaster)
        line += text::ToUtf8(window.masterStatus) + " " + std::to_string(window.masterPosition) +
                "% | ";
    line += text::ToUtf8(window.status) + " [" + Bar(window.position) + "] " +
            std::to_string(window.position) + "%";
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

}  // namespace
}  // namespace qzo::uikit

using qzo::uikit::ProgressWindow;
using qzo::uikit::ProgressWindows;

HANDLE Progress_Open(HWND /*owner*/, const WCHAR* title, const WCHAR* text, DWORD /*flags*/,
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
    return window;
}

BOOL Progress_SetTitle(HANDLE progress, const WCHAR* title) {
    auto& windows = ProgressWindows::Instance();
    std::lock_guard lock(windows.mutex);
    ProgressWindow* window = windows.Find(progress);
    if (!window) return FALSE;
    try {
        window->title = qzo::uikit::TextOf(title);
        qzo::uikit::Draw(*window, false);
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

BOOL Progress_SetStatus(HANDLE progress, const WCHAR* text, int position, const WCHAR* /*text2*/) {
    auto& windows = ProgressWindows::Instance();
    std::lock_guard lock(windows.mutex);
    ProgressWindow* window = windows.Find(progress);
    if (!window) return FALSE;
    try {
        if (text) window->status = text;
        window->position = qzo::uikit::Clamp(position);
        qzo::uikit::Draw(*window, false);
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

BOOL Progress_SetMasterStatus(HANDLE progress, const WCHAR* text, int position,
                              const WCHAR* /*text2*/) {
    auto& windows = ProgressWindows::Instance();
    std::lock_guard lock(windows.mutex);
    ProgressWindow* window = windows.Find(progress);
    if (!window) return FALSE;
    try {
        if (text) window->masterStatus = text;
        window->masterPosition = qzo::uikit::Clamp(position);
        window->hasMaster = true;
        qzo::uikit::Draw(*window, false);
    } catch (...) {
        return FALSE;
    }
    return TRUE;
}

void Progress_Close(HANDLE progress) {
    auto& windows = ProgressWindows::Instance();
    std::lock_guard lock(windows.mutex);
    ProgressWindow* window = windows.Find(progress);
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
    delete window;
}
