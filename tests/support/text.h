// Text helpers for assertions: UTF-8 <-> UTF-16 and fixed-width hexadecimal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "qzobj/platform/text.h"

namespace qzo::test {

inline std::u16string Wide(std::string_view utf8) { return qzo::text::ToUtf16(utf8); }
inline std::string Narrow(std::u16string_view utf16) { return qzo::text::ToUtf8(utf16); }

// Eight upper-case hexadecimal digits, as the library prints IDs.
inline std::string Hex8(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", unsigned(value));
    return text;
}

}  // namespace qzo::test
