// A narrow text line built in a caller's fixed buffer: appends of texts and hexadecimal numbers
// that never allocate, for stack-trace lines written from fault handlers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzo::platu {

class TextLine {
  public:
    TextLine(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
        if (capacity_ > 0) buffer_[0] = '\0';
    }

    // Appends at most `limit` characters of `text` (null appends nothing).
    TextLine& Append(const char* text, size_t limit = SIZE_MAX) {
        for (size_t i = 0; text && i < limit && text[i]; ++i) Put(text[i]);
        return *this;
    }
    // Upper-case hexadecimal, at least `digits` digits (no prefix).
    TextLine& AppendHex(uint64_t value, int digits = 1) {
        char reversed[16];
        int count = 0;
        do {
            reversed[count++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0 && count < 16);
        for (int i = count; i < digits && i < 16; ++i) Put('0');
        while (count > 0) Put(reversed[--count]);
        return *this;
    }
    // A code address with as many digits as a pointer has nibbles.
    TextLine& AppendAddress(uintptr_t address) {
        return AppendHex(address, static_cast<int>(2 * sizeof(void*)));
    }

    const char* c_str() const { return buffer_; }
    size_t size() const { return used_; }

  private:
    void Put(char c) {
        if (used_ + 1 >= capacity_) return;
        buffer_[used_++] = c;
        buffer_[used_] = '\0';
    }

    char* buffer_;
    size_t capacity_;
    size_t used_ = 0;
};

// The file part of a path (after the last '/' or '\').
inline const char* FileNamePart(const char* path) {
    if (!path) return "";
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

}  // namespace qzo::platu
