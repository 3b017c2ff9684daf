// The capturing debug-output sink.
#include "support/capture.h"

#include <cstring>

#include "qzobj/platform/text.h"
#include "qzobj/suitelibs/uikit/debug_output.h"

namespace qzo::test {

std::string CapturedMessage::Utf8() const { return qzo::text::ToUtf8(text); }

DebugCapture::DebugCapture(size_t units, size_t messages)
    : text_(new WCHAR[units]),
      textCapacity_(units),
      entries_(new Entry[messages]),
      entryCapacity_(messages) {
    qzo::uikit::SetDebugOutputSink(&DebugCapture::Sink, this);
}

DebugCapture::~DebugCapture() { qzo::uikit::SetDebugOutputSink(nullptr, nullptr); }

void DebugCapture::Lock() const {
    while (busy_.test_and_set(std::memory_order_acquire)) {
    }
}

void DebugCapture::Unlock() const { busy_.clear(std::memory_order_release); }

void DebugCapture::Sink(int channel, int level, const WCHAR* text, size_t length, void* context) {
    static_cast<DebugCapture*>(context)->Add(channel, level, text, length);
}

void DebugCapture::Add(int channel, int level, const WCHAR* text, size_t length) {
    Lock();
    if (entryCount_ < entryCapacity_ && textUsed_ + length <= textCapacity_) {
        std::memcpy(text_.get() + textUsed_, text, length * sizeof(WCHAR));
        entries_[entryCount_++] = Entry{channel, level, textUsed_, length};
        textUsed_ += length;
    }
    Unlock();
}

std::vector<CapturedMessage> DebugCapture::Messages() const {
    std::vector<CapturedMessage> result;
    Lock();
    for (size_t i = 0; i < entryCount_; ++i) {
        const Entry& e = entries_[i];
        result.push_back({e.channel, e.level, std::u16string(text_.get() + e.offset, e.length)});
    }
    Unlock();
    return result;
}

std::string DebugCapture::Text() const {
    std::string all;
    for (const auto& m : Messages()) all += m.Utf8();
    return all;
}

std::string DebugCapture::Text(int channel) const {
    std::string all;
    for (const auto& m : Messages())
        if (m.channel == channel) all += m.Utf8();
    return all;
}

size_t DebugCapture::Count() const {
    Lock();
    size_t count = entryCount_;
    Unlock();
    return count;
}

void DebugCapture::Clear() {
    Lock();
    entryCount_ = 0;
    textUsed_ = 0;
    Unlock();
}

}  // namespace qzo::test
