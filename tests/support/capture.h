// Captures the library's debug output for assertions. The sink writes into storage reserved up
// front and takes only a spin flag, so messages printed by fault handlers are captured too.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "qzobj/diag.h"
#include "qzobj/types.h"

namespace qzo::test {

// Debug output switched on or off for one scope.
class ScopedDebugOutput {
  public:
    explicit ScopedDebugOutput(bool on) : previous_(IsDebugOn()) {
        SetDebugMode(on ? TRUE : FALSE);
    }
    ~ScopedDebugOutput() { SetDebugMode(previous_); }
    ScopedDebugOutput(const ScopedDebugOutput&) = delete;
    ScopedDebugOutput& operator=(const ScopedDebugOutput&) = delete;

  private:
    BOOL previous_;
};

struct CapturedMessage {
    int channel;
    int level;
    std::u16string text;
    std::string Utf8() const;
};

class DebugCapture {
  public:
    // Installs the sink; `units` bounds the captured text (further messages are dropped).
    explicit DebugCapture(size_t units = 1 << 20, size_t messages = 1 << 14);
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<CapturedMessage> Messages() const;
    // All captured text in order, as UTF-8.
    std::string Text() const;
    // Captured text of one channel.
    std::string Text(int channel) const;
    size_t Count() const;
    bool Contains(const std::string& utf8) const { return Text().find(utf8) != std::string::npos; }
    void Clear();

  private:
    struct Entry {
        int channel;
        int level;
        size_t offset;
        size_t length;
    };
    static void Sink(int channel, int level, const WCHAR* text, size_t length, void* context);
    void Add(int channel, int level, const WCHAR* text, size_t length);
    void Lock() const;
    void Unlock() const;

    std::unique_ptr<WCHAR[]> text_;
    size_t textCapacity_;
    size_t textUsed_ = 0;
    std::unique_ptr<Entry[]> entries_;
    size_t entryCapacity_;
    size_t entryCount_ = 0;
    mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
};

}  // namespace qzo::test
