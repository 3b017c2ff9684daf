// UTF-16 and UTF-8 conversion, bounded lengths and copies, case-insensitive comparison.
#include "qzobj/platform/text.h"

#include <algorithm>
#include <cstring>

namespace qzo::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Decodes one code point at text[i], advancing i.
char32_t NextCodePoint(const WCHAR* text, size_t length, size_t& i) {
    char32_t c = text[i++];
    if (IsHighSurrogate(c)) {
        if (i < length && IsLowSurrogate(text[i])) {
            char32_t low = text[i++];
            return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
        return kReplacement;
    }
    return IsLowSurrogate(c) ? kReplacement : c;
}

size_t EncodeUtf8(char32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

char32_t SimpleUpper(char32_t c) {
    if (c >= U'a' && c <= U'z') return c - 32;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
    if (c == 0xFF) return 0x178;
    return c;
}

}  // namespace

char32_t DecodeUtf8(std::string_view text, size_t& i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t extra;
    char32_t c;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + extra >= text.size()) {
        ++i;
        return kReplacement;
    }
    for (size_t k = 1; k <= extra; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
    }
    i += extra + 1;
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
    return c;
}

size_t Length(const WCHAR* text) {
    if (!text) return 0;
    size_t n = 0;
    while (text[n]) ++n;
    return n;
}

size_t BoundedLength(const WCHAR* text, size_t limit) {
    if (!text) return 0;
    size_t n = 0;
    while (n < limit && text[n]) ++n;
    return n;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    char buffer[4];
    for (size_t i = 0; i < text.size();) {
        char32_t c = NextCodePoint(text.data(), text.size(), i);
        out.append(buffer, EncodeUtf8(c, buffer));
    }
    return out;
}

std::string ToUtf8(const WCHAR* text) {
    return text ? ToUtf8(std::u16string_view(text, Length(text))) : std::string();
}

size_t ToUtf8(const WCHAR* text, size_t length, char* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    size_t used = 0;
    char buffer[4];
    for (size_t i = 0; text && i < length;) {
        size_t n = EncodeUtf8(NextCodePoint(text, length, i), buffer);
        if (used + n + 1 > capacity) break;
        std::memcpy(out + used, buffer, n);
        used += n;
    }
    out[used] = '\0';
    return used;
}

std::u16string ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = DecodeUtf8(text, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<WCHAR>(0xD800 + (c >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(c));
        }
    }
    return out;
}

size_t Copy(WCHAR* out, size_t capacity, const WCHAR* source) {
    if (!out || capacity == 0) return 0;
    size_t n = BoundedLength(source, capacity - 1);
    if (n) std::memcpy(out, source, n * sizeof(WCHAR));
    out[n] = 0;
    return n;
}

size_t Copy(WCHAR* out, size_t capacity, std::u16string_view source) {
    if (!out || capacity == 0) return 0;
    size_t n = std::min(source.size(), capacity - 1);
    if (n) std::memcpy(out, source.data(), n * sizeof(WCHAR));
    out[n] = 0;
    return n;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = FoldUpper(a[i]), y = FoldUpper(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int CompareNoCase(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(FoldUpper(a[i]));
        unsigned char y = static_cast<unsigned char>(FoldUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool PathNameEqualNoCase(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (SimpleUpper(DecodeUtf8(a, i)) != SimpleUpper(DecodeUtf8(b, j))) return false;
    }
    return i == a.size() && j == b.size();
}

std::string PathNameKey(std::string_view name) {
    std::string key;
    key.reserve(name.size());
    char buffer[4];
    for (size_t i = 0; i < name.size();)
        key.append(buffer, EncodeUtf8(SimpleUpper(DecodeUtf8(name, i)), buffer));
    return key;
}

}  // namespace qzo::text
