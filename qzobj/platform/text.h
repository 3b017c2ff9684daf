// Text helpers shared by every layer: UTF-16 <-> UTF-8 conversion, bounded lengths and copies,
// and ASCII case folding. Pure computation: no allocation except where a std:: type is returned.
#pragma once

#include <string>
#include <string_view>

#include "qzobj/types.h"

namespace qzo::text {

// Length of a zero-terminated UTF-16 text; 0 for null.
size_t Length(const WCHAR* text);
// Length of at most `limit` units (the text need not be terminated within the limit).
size_t BoundedLength(const WCHAR* text, size_t limit);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
QZOBJ_API std::string ToUtf8(std::u16string_view text);
QZOBJ_API std::string ToUtf8(const WCHAR* text);  // null gives ""
// UTF-8 to UTF-16. Invalid sequences become U+FFFD.
QZOBJ_API std::u16string ToUtf16(std::string_view text);

// Decodes the UTF-8 sequence at text[i] (i < text.size()) and advances i past it; a malformed
// or cut sequence gives U+FFFD and advances one byte.
char32_t DecodeUtf8(std::string_view text, size_t& i);

// Encodes into a caller buffer without allocating; writes at most `capacity` bytes including
// the terminator and returns the bytes written before it. Sequences that do not fit are dropped
// whole, so the output is always valid UTF-8.
size_t ToUtf8(const WCHAR* text, size_t length, char* out, size_t capacity);

// Copies at most capacity-1 units and terminates; returns the units copied. Writes nothing when
// capacity is 0; a null source copies as empty.
size_t Copy(WCHAR* out, size_t capacity, const WCHAR* source);
size_t Copy(WCHAR* out, size_t capacity, std::u16string_view source);

// ASCII-only case folding, as the system's names are compared.
constexpr WCHAR FoldUpper(WCHAR c) {
    return (c >= u'a' && c <= u'z') ? WCHAR(c - 32) : c;
}
constexpr char FoldUpper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 32) : c;
}
// Case-insensitive comparison of two texts: <0, 0 or >0. Non-ASCII letters compare exactly.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualNoCase(std::string_view a, std::string_view b);
// UTF-8 names compared by folding both through UTF-16 with full Unicode simple upper-casing of
// the Latin-1 and basic ranges (what a case-insensitive file system would do for common names).
bool PathNameEqualNoCase(std::string_view a, std::string_view b);
// A key equal for exactly the names PathNameEqualNoCase holds equal (the folded name in UTF-8).
std::string PathNameKey(std::string_view name);

}  // namespace qzo::text
