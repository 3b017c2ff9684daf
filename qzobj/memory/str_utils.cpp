// String utilities of the suite: resource strings with defaults, file-name legalising,
// appending with a separator, table lookup and tag extraction.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "qzobj/platform/text.h"
#include "qzobj/strings.h"
#include "qzobj/uikit.h"

namespace {

template <class Char>
bool IsIllegalInFilename(Char c) {
    switch (c) {
        case '/':
        case ':':
        case '*':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
            return true;
        default:
            return false;
    }
}

template <class Char>
Char* Legalize(Char* text) {
    if (!text) return text;
    for (Char* p = text; *p != 0; ++p)
        if (IsIllegalInFilename(*p)) *p = '_';
    return text;
}

template <class Char>
Char* LegalizeCopy(Char* destination, const Char* source, DWORD capacity) {
    if (!destination || capacity == 0) return destination;
    DWORD i = 0;
    if (source)
        for (; i + 1 < capacity && source[i] != 0; ++i)
            destination[i] = IsIllegalInFilename(source[i]) ? Char('_') : source[i];
    destination[i] = 0;
    return destination;
}

template <class Char>
size_t Length(const Char* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// The first occurrence of `tag` in `text`, or null; an empty tag is found at the start.
const WCHAR* FindTag(const WCHAR* text, const WCHAR* tag) {
    if (tag[0] == 0) return text;
    for (const WCHAR* p = text; *p != 0; ++p) {
        size_t i = 0;
        while (tag[i] != 0 && p[i] == tag[i]) ++i;  // stops at the text's end too
        if (tag[i] == 0) return p;
    }
    return nullptr;
}

// The value behind the tag: its start and its length up to the terminator (or the end).
bool TagValue(const WCHAR* text, const WCHAR* tag, WCHAR terminator, const WCHAR** value,
              size_t* length) {
    if (!text || !tag) return false;
    const WCHAR* found = FindTag(text, tag);
    if (!found) return false;
    *value = found + Length(tag);
    size_t n = 0;
    while ((*value)[n] != 0 && (terminator == 0 || (*value)[n] != terminator)) ++n;
    *length = n;
    return true;
}

}  // namespace

WCHAR* LSetStringW(WCHAR* buffer, const WCHAR* defaultText, int length, HINSTANCE module, UINT id) {
    if (!buffer || length < 1) return buffer;
    buffer[0] = 0;
    if (LLoadStringW(module, id, buffer, length) == 0 && defaultText)
        qzo::text::Copy(buffer, size_t(length), defaultText);
    return buffer;
}

char* LSetStringA(char* buffer, const char* defaultText, int length, HINSTANCE module, UINT id) {
    if (!buffer || length < 1) return buffer;
    buffer[0] = 0;
    std::unique_ptr<WCHAR[]> wide(new (std::nothrow) WCHAR[size_t(length)]);
    if (wide && LLoadStringW(module, id, wide.get(), length) != 0) {
        DF_ToANSIBuffer(buffer, wide.get(), DWORD(length));
    } else if (defaultText) {
        const size_t copied = std::min(std::strlen(defaultText), size_t(length) - 1);
        std::memcpy(buffer, defaultText, copied);
        buffer[copied] = 0;
    }
    return buffer;
}

char* LegalizeFilenameA(char* text) {
    return Legalize(text);
}

WCHAR* LegalizeFilenameW(WCHAR* text) {
    return Legalize(text);
}

char* LegalizeBufferA(char* destination, const char* source, DWORD capacity) {
    return LegalizeCopy(destination, source, capacity);
}

WCHAR* LegalizeBufferW(WCHAR* destination, const WCHAR* source, DWORD capacity) {
    return LegalizeCopy(destination, source, capacity);
}

BOOL strAppend(WCHAR* text, const WCHAR* addition, WCHAR separator) {
    if (!text || separator == 0) return 0;
    WCHAR* end = text + Length(text);
    if (end != text) *end++ = separator;
    const size_t length = addition ? Length(addition) : 0;
    std::memmove(end, addition ? addition : u"", length * sizeof(WCHAR));
    end[length] = 0;
    return 1;
}

DWORD strIndex(const WCHAR* text, const WCHAR* const* table, DWORD count) {
    if (!text || !table) return 0xFFFFFFFFu;
    for (DWORD i = 0; i < count; ++i)
        if (table[i] && qzo::text::CompareNoCase(text, table[i]) == 0) return i;
    return 0xFFFFFFFFu;
}

BOOL strGetTagW(const WCHAR* text, const WCHAR* tag, WCHAR* destination, DWORD capacity,
                WCHAR terminator) {
    const WCHAR* value;
    size_t length;
    if (!TagValue(text, tag, terminator, &value, &length)) return 0;
    if (destination && capacity != 0)
        qzo::text::Copy(destination, capacity, std::u16string_view(value, length));
    return 1;
}

BOOL strGetTagA(const WCHAR* text, const WCHAR* tag, char* destination, DWORD capacity,
                WCHAR terminator) {
    const WCHAR* value;
    size_t length;
    if (!TagValue(text, tag, terminator, &value, &length)) return 0;
    if (!destination || capacity == 0) return 1;
    // The value is converted from a terminated copy: the caller's text stays untouched.
    std::unique_ptr<WCHAR[]> copy(new (std::nothrow) WCHAR[length + 1]);
    if (!copy) {
        destination[0] = 0;
        return 1;
    }
    std::memcpy(copy.get(), value, length * sizeof(WCHAR));
    copy[length] = 0;
    DF_ToANSIBuffer(destination, copy.get(), capacity);
    return 1;
}
