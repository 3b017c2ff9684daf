// The DF_ conversions between ANSI text (Windows-1252) and UTF-16: lengths, buffer sizes and
// bounded conversions into caller buffers.
#include <cstring>

#include "qzobj/memory/cp1252.h"
#include "qzobj/strings.h"

namespace {

DWORD Clamp(size_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(value);
}

size_t WideLength(const WCHAR* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// Narrow characters of a wide text: a surrogate pair is one character.
size_t NarrowLength(const WCHAR* text) {
    const size_t units = WideLength(text);
    size_t characters = 0;
    for (size_t i = 0; i < units; i += qzo::cp1252::CharacterUnits(text + i, units - i))
        ++characters;
    return characters;
}

DWORD ToNarrow(char* destination, const WCHAR* wide, DWORD capacity, char replacement) {
    if (!destination || !wide || capacity == 0) return 0;
    const size_t units = WideLength(wide);
    size_t written = 0;
    for (size_t i = 0; i < units && written + 1 < capacity;) {
        unsigned char byte;
        const size_t step = qzo::cp1252::CharacterUnits(wide + i, units - i);
        if (step != 1 || !qzo::cp1252::ToNarrow(wide[i], &byte))
            byte = static_cast<unsigned char>(replacement);
        destination[written++] = static_cast<char>(byte);
        i += step;
    }
    destination[written] = 0;
    destination[capacity - 1] = 0;
    return DWORD(written + 1);
}

}  // namespace

DWORD DF_WideLen(const char* narrow) {
    return narrow ? Clamp(std::strlen(narrow)) : 0;
}

DWORD DF_ANSILen(const WCHAR* wide) {
    return wide ? Clamp(NarrowLength(wide)) : 0;
}

DWORD DF_WideBufferSize(const char* narrow) {
    return narrow ? Clamp((std::strlen(narrow) + 1) * sizeof(WCHAR)) : 0;
}

DWORD DF_ANSIBufferSize(const WCHAR* wide) {
    return wide ? Clamp(NarrowLength(wide) + 1) : 0;
}

DWORD DF_ToWideBuffer(WCHAR* destination, const char* narrow, DWORD capacity) {
    if (!destination || !narrow || capacity == 0) return 0;
    size_t written = 0;
    for (; written + 1 < capacity && narrow[written] != 0; ++written)
        destination[written] = qzo::cp1252::ToWide(static_cast<unsigned char>(narrow[written]));
    destination[written] = 0;
    destination[capacity - 1] = 0;
    return DWORD(written + 1);
}

DWORD DF_ToANSIBuffer(char* destination, const WCHAR* wide, DWORD capacity) {
    return ToNarrow(destination, wide, capacity, '?');
}

DWORD DF_ToANSIPath(char* destination, const WCHAR* wide, DWORD capacity) {
    return ToNarrow(destination, wide, capacity, '_');
}
