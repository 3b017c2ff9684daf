// The debug output's formatter: printf-style UTF-16 formats into a caller buffer. It never
// allocates and takes no lock, so fault handlers can format their reports with it.
#include "qzobj/suitelibs/uikit/debug_output.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "qzobj/platform/text.h"

namespace qzo::uikit {
namespace {

// Numbers in a format (width, precision) are capped well above the longest message so that
// absurd values cannot overflow and still cut the text as they would.
constexpr int kMaxFormatNumber = 1 << 20;
// Floating-point precision handed to the C library; more digits than this are never useful.
constexpr int kMaxFloatPrecision = 300;

bool IsHighSurrogate(WCHAR c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

// Appends to the caller's buffer up to a limit; what does not fit is dropped and marks the text
// as cut, so that a surrogate pair cut in half can be removed whole at the end.
class Writer {
  public:
    Writer(WCHAR* out, size_t limit) : out_(out), limit_(limit) {}

    bool Full() const { return used_ >= limit_; }
    size_t Room() const { return limit_ - used_; }

    void Put(WCHAR c) {
        if (used_ < limit_)
            out_[used_++] = c;
        else
            cut_ = true;
    }
    void Fill(WCHAR c, size_t count) {
        size_t room = limit_ - used_;
        if (count > room) {
            count = room;
            cut_ = true;
        }
        for (size_t i = 0; i < count; ++i) out_[used_++] = c;
    }
    void PutUnits(const WCHAR* units, size_t count) {
        size_t room = limit_ - used_;
        if (count > room) {
            count = room;
            cut_ = true;
        }
        std::memcpy(out_ + used_, units, count * sizeof(WCHAR));
        used_ += count;
    }
    void PutAscii(const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) Put(static_cast<unsigned char>(text[i]));
    }
    // The written length. When the text was cut (`formatLeft`: the format was not finished), a
    // high surrogate at the end has lost its partner and is removed.
    size_t Finish(bool formatLeft) {
        if ((cut_ || formatLeft) && used_ > 0 && IsHighSurrogate(out_[used_ - 1])) --used_;
        return used_;
    }

  private:
    WCHAR* out_;
    size_t limit_;
    size_t used_ = 0;
    bool cut_ = false;
};

enum class SizePrefix {
    kNone,
    kChar,
    kShort,
    kLong,
    kLongLong,
    kSize,
    kPtrDiff,
    kIntMax,
    kLongDouble
};

// One parsed conversion: flags, width, precision, size prefix and conversion letter.
struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;  // -1: none given
    SizePrefix size = SizePrefix::kNone;
    bool narrow = false;  // h/hh on s, c: narrow text
    bool wide = false;    // l/w on s, c: UTF-16 text
    WCHAR conversion = 0;
};

size_t PadBefore(const Spec& spec, size_t length) {
    return (!spec.left && spec.width > 0 && static_cast<size_t>(spec.width) > length)
               ? spec.width - length
               : 0;
}

size_t PadAfter(const Spec& spec, size_t length) {
    return (spec.left && spec.width > 0 && static_cast<size_t>(spec.width) > length)
               ? spec.width - length
               : 0;
}

void PutCodePoint(Writer& out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out.Put(static_cast<WCHAR>(0xD800 + (c >> 10)));
        out.Put(static_cast<WCHAR>(0xDC00 + (c & 0x3FF)));
    } else {
        out.Put(static_cast<WCHAR>(c));
    }
}

void PutWideText(Writer& out, const Spec& spec, const WCHAR* text) {
    static constexpr WCHAR kNull[] = u"(null)";
    if (!text) text = kNull;
    // Without a width only what fits matters (one more unit tells that the text was cut).
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (spec.width <= 0) limit = std::min(limit, out.Room() + 1);
    size_t length = 0;
    while (length < limit && text[length]) ++length;
    out.Fill(u' ', PadBefore(spec, length));
    out.PutUnits(text, length);
    out.Fill(u' ', PadAfter(spec, length));
}

// Narrow text: the precision bounds the bytes read, so unterminated tags print safely.
void PutNarrowText(Writer& out, const Spec& spec, const char* text) {
    if (!text) text = "(null)";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    // Without a width only what fits matters: a unit never takes more than four bytes.
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (spec.width <= 0) limit = std::min(limit, 4 * (out.Room() + 1));
    size_t end = 0;
    while (end < limit && bytes[end]) ++end;
    const std::string_view narrow(text, end);
    size_t units = 0;
    if (spec.width > 0) {
        for (size_t i = 0; i < end;) units += qzo::text::DecodeUtf8(narrow, i) >= 0x10000 ? 2 : 1;
    }
    out.Fill(u' ', PadBefore(spec, units));
    for (size_t i = 0; i < end;) {
        if (out.Full()) {
            out.Put(0);  // marks the cut
            break;
        }
        PutCodePoint(out, qzo::text::DecodeUtf8(narrow, i));
    }
    out.Fill(u' ', PadAfter(spec, units));
}

void PutCharacter(Writer& out, const Spec& spec, WCHAR c) {
    out.Fill(u' ', PadBefore(spec, 1));
    out.Put(c);
    out.Fill(u' ', PadAfter(spec, 1));
}

// Integers: sign or base prefix, zeros for the precision or the '0' flag, then the digits.
void PutInteger(Writer& out, const Spec& spec, uint64_t magnitude, bool negative) {
    unsigned base = 10;
    const char* digitSet = "0123456789abcdef";
    switch (spec.conversion) {
        case u'x':
            base = 16;
            break;
        case u'X':
            base = 16;
            digitSet = "0123456789ABCDEF";
            break;
        case u'o':
            base = 8;
            break;
        default:
            break;
    }
    char digits[24];
    size_t count = 0;
    for (uint64_t v = magnitude; v != 0; v /= base) digits[count++] = digitSet[v % base];
    if (magnitude == 0 && spec.precision != 0) digits[count++] = '0';

    char prefix[2];
    size_t prefixLength = 0;
    const bool isSigned = spec.conversion == u'd' || spec.conversion == u'i';
    if (isSigned && negative) {
        prefix[prefixLength++] = '-';
    } else if (isSigned && spec.plus) {
        prefix[prefixLength++] = '+';
    } else if (isSigned && spec.space) {
        prefix[prefixLength++] = ' ';
    } else if (spec.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = static_cast<char>(spec.conversion);
    }

    size_t precisionZeros = spec.precision > 0 && static_cast<size_t>(spec.precision) > count
                                ? spec.precision - count
                                : 0;
    // '#' with octal: the first digit is always 0.
    if (spec.alternate && base == 8 && precisionZeros == 0 &&
        (count == 0 || digits[count - 1] != '0'))
        precisionZeros = 1;
    size_t length = prefixLength + precisionZeros + count;
    size_t padZeros = 0;
    size_t padSpaces = 0;
    if (spec.width > 0 && static_cast<size_t>(spec.width) > length) {
        if (spec.zero && !spec.left && spec.precision < 0)
            padZeros = spec.width - length;
        else
            padSpaces = spec.width - length;
    }
    if (!spec.left) out.Fill(u' ', padSpaces);
    out.PutAscii(prefix, prefixLength);
    out.Fill(u'0', padZeros + precisionZeros);
    while (count > 0) out.Put(static_cast<unsigned char>(digits[--count]));
    if (spec.left) out.Fill(u' ', padSpaces);
}

// %p: the address in 2 x sizeof(void*) upper-case hexadecimal digits.
void PutPointer(Writer& out, const Spec& spec, uintptr_t address) {
    constexpr size_t kDigits = 2 * sizeof(void*);
    char digits[kDigits];
    for (size_t i = 0; i < kDigits; ++i) {
        digits[kDigits - 1 - i] = "0123456789ABCDEF"[address & 0xF];
        address >>= 4;
    }
    out.Fill(u' ', PadBefore(spec, kDigits));
    out.PutAscii(digits, kDigits);
    out.Fill(u' ', PadAfter(spec, kDigits));
}

// %e %f %g %a: the digits come from the C library into a local buffer (no allocation for the
// precisions allowed here); width and zero padding are applied here.
template <class Real>
void PutReal(Writer& out, const Spec& spec, Real value) {
    char format[16];
    size_t f = 0;
    format[f++] = '%';
    if (spec.plus) format[f++] = '+';
    if (spec.space) format[f++] = ' ';
    if (spec.alternate) format[f++] = '#';
    if (spec.precision >= 0) {
        format[f++] = '.';
        format[f++] = '*';
    }
    if constexpr (sizeof(Real) > sizeof(double)) format[f++] = 'L';
    format[f++] = static_cast<char>(spec.conversion);
    format[f] = '\0';

    char text[512];
    int precision = spec.precision < kMaxFloatPrecision ? spec.precision : kMaxFloatPrecision;
    int produced = spec.precision >= 0 ? std::snprintf(text, sizeof text, format, precision, value)
                                       : std::snprintf(text, sizeof text, format, value);
    if (produced < 0) return;
    size_t length = static_cast<size_t>(produced) < sizeof text ? produced : sizeof text - 1;

    size_t pad =
        spec.width > 0 && static_cast<size_t>(spec.width) > length ? spec.width - length : 0;
    if (spec.left) {
        out.PutAscii(text, length);
        out.Fill(u' ', pad);
    } else if (spec.zero && std::isfinite(value)) {
        size_t sign = (text[0] == '-' || text[0] == '+' || text[0] == ' ') ? 1 : 0;
        if (length >= sign + 2 && text[sign] == '0' &&
            (text[sign + 1] == 'x' || text[sign + 1] == 'X'))
            sign += 2;
        out.PutAscii(text, sign);
        out.Fill(u'0', pad);
        out.PutAscii(text + sign, length - sign);
    } else {
        out.Fill(u' ', pad);
        out.PutAscii(text, length);
    }
}

// Reads a decimal number at format[i], advancing i; capped at kMaxFormatNumber.
int ReadNumber(const WCHAR* format, size_t& i) {
    int value = 0;
    while (format[i] >= u'0' && format[i] <= u'9') {
        value = value * 10 + (format[i++] - u'0');
        if (value > kMaxFormatNumber) value = kMaxFormatNumber;
    }
    return value;
}

void ReadSizePrefix(const WCHAR* format, size_t& i, Spec& spec) {
    switch (format[i]) {
        case u'h':
            ++i;
            spec.narrow = true;
            spec.size = SizePrefix::kShort;
            if (format[i] == u'h') {
                ++i;
                spec.size = SizePrefix::kChar;
            }
            break;
        case u'l':
            ++i;
            spec.wide = true;
            spec.size = SizePrefix::kLong;
            if (format[i] == u'l') {
                ++i;
                spec.size = SizePrefix::kLongLong;
            }
            break;
        case u'w':
            ++i;
            spec.wide = true;
            break;
        case u'L':
            ++i;
            spec.size = SizePrefix::kLongDouble;
            break;
        case u'z':
            ++i;
            spec.size = SizePrefix::kSize;
            break;
        case u't':
            ++i;
            spec.size = SizePrefix::kPtrDiff;
            break;
        case u'j':
            ++i;
            spec.size = SizePrefix::kIntMax;
            break;
        case u'I':
            if (format[i + 1] == u'6' && format[i + 2] == u'4') {
                i += 3;
                spec.size = SizePrefix::kLongLong;
            } else if (format[i + 1] == u'3' && format[i + 2] == u'2') {
                i += 3;
                spec.size = SizePrefix::kLong;
            } else {
                ++i;
                spec.size = SizePrefix::kSize;
            }
            break;
        default:
            break;
    }
}

// Parses flags, width, precision and size prefix after the '%' at format[i]; '*' values are
// taken from the arguments. Leaves i at the conversion letter.
Spec ReadSpec(const WCHAR* format, size_t& i, va_list* args) {
    Spec spec;
    for (;; ++i) {
        WCHAR flag = format[i];
        if (flag == u'-')
            spec.left = true;
        else if (flag == u'+')
            spec.plus = true;
        else if (flag == u' ')
            spec.space = true;
        else if (flag == u'0')
            spec.zero = true;
        else if (flag == u'#')
            spec.alternate = true;
        else
            break;
    }
    if (format[i] == u'*') {
        ++i;
        int width = va_arg(*args, int);
        if (width < 0) {
            spec.left = true;
            width = width < -kMaxFormatNumber ? kMaxFormatNumber : -width;
        }
        spec.width = width > kMaxFormatNumber ? kMaxFormatNumber : width;
    } else {
        spec.width = ReadNumber(format, i);
    }
    if (format[i] == u'.') {
        ++i;
        if (format[i] == u'*') {
            ++i;
            int precision = va_arg(*args, int);
            spec.precision = precision < 0 ? -1 : std::min(precision, kMaxFormatNumber);
        } else {
            spec.precision = ReadNumber(format, i);
        }
    }
    ReadSizePrefix(format, i, spec);
    spec.conversion = format[i];
    return spec;
}

// The long type of the system is 32 bits wide, so 'l' reads 32-bit values.
long long ReadSigned(const Spec& spec, va_list* args) {
    switch (spec.size) {
        case SizePrefix::kChar:
            return static_cast<signed char>(va_arg(*args, int));
        case SizePrefix::kShort:
            return static_cast<short>(va_arg(*args, int));
        case SizePrefix::kLongLong:
        case SizePrefix::kIntMax:
            return va_arg(*args, long long);
        case SizePrefix::kSize:
        case SizePrefix::kPtrDiff:
            return va_arg(*args, ptrdiff_t);
        default:
            return va_arg(*args, int32_t);
    }
}

unsigned long long ReadUnsigned(const Spec& spec, va_list* args) {
    switch (spec.size) {
        case SizePrefix::kChar:
            return static_cast<unsigned char>(va_arg(*args, unsigned));
        case SizePrefix::kShort:
            return static_cast<unsigned short>(va_arg(*args, unsigned));
        case SizePrefix::kLongLong:
        case SizePrefix::kIntMax:
            return va_arg(*args, unsigned long long);
        case SizePrefix::kSize:
        case SizePrefix::kPtrDiff:
            return va_arg(*args, size_t);
        default:
            return va_arg(*args, uint32_t);
    }
}

// Formats the conversion `spec` (at format[start..i]) with its argument.
void PutConversion(Writer& writer, const Spec& spec, const WCHAR* format, size_t start, size_t i,
                   va_list* args) {
    switch (spec.conversion) {
        case u'%':
            writer.Put(u'%');
            break;
        case u'd':
        case u'i': {
            long long value = ReadSigned(spec, args);
            uint64_t magnitude =
                value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            PutInteger(writer, spec, magnitude, value < 0);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o':
            PutInteger(writer, spec, ReadUnsigned(spec, args), false);
            break;
        case u'p':
            PutPointer(writer, spec, reinterpret_cast<uintptr_t>(va_arg(*args, void*)));
            break;
        case u's':
            if (spec.narrow)
                PutNarrowText(writer, spec, va_arg(*args, const char*));
            else
                PutWideText(writer, spec, va_arg(*args, const WCHAR*));
            break;
        case u'S':  // the other width of a wide format: narrow unless 'l' or 'w' says wide
            if (spec.wide)
                PutWideText(writer, spec, va_arg(*args, const WCHAR*));
            else
                PutNarrowText(writer, spec, va_arg(*args, const char*));
            break;
        case u'c':
            if (spec.narrow)
                PutCharacter(writer, spec, static_cast<unsigned char>(va_arg(*args, int)));
            else
                PutCharacter(writer, spec, static_cast<WCHAR>(va_arg(*args, int)));
            break;
        case u'C':
            if (spec.wide)
                PutCharacter(writer, spec, static_cast<WCHAR>(va_arg(*args, int)));
            else
                PutCharacter(writer, spec, static_cast<unsigned char>(va_arg(*args, int)));
            break;
        case u'e':
        case u'E':
        case u'f':
        case u'F':
        case u'g':
        case u'G':
        case u'a':
        case u'A':
            if (spec.size == SizePrefix::kLongDouble)
                PutReal(writer, spec, va_arg(*args, long double));
            else
                PutReal(writer, spec, va_arg(*args, double));
            break;
        case u'n':
            // Writing through a caller's pointer is never done; the argument is skipped.
            (void)va_arg(*args, void*);
            break;
        default:
            // Unknown or unfinished conversions are copied as written.
            for (size_t k = start; k < i; ++k) writer.Put(format[k]);
            if (format[i]) writer.Put(format[i]);
            break;
    }
}

}  // namespace

size_t FormatV(WCHAR* out, size_t capacity, const WCHAR* format, va_list args) {
    if (!out || capacity == 0) return 0;
    Writer writer(out, std::min(capacity - 1, kMaxMessageUnits));
    if (!format) format = u"";
    // A copy of the list can be handed to helpers by address and used on after they return.
    va_list list;
    va_copy(list, args);
    size_t i = 0;
    while (format[i] && !writer.Full()) {
        if (format[i] != u'%') {
            writer.Put(format[i++]);
            continue;
        }
        const size_t start = i++;
        Spec spec = ReadSpec(format, i, &list);
        PutConversion(writer, spec, format, start, i, &list);
        if (format[i]) ++i;
    }
    va_end(list);
    size_t length = writer.Finish(format[i] != 0);
    out[length] = 0;
    return length;
}

size_t Format(WCHAR* out, size_t capacity, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = FormatV(out, capacity, format, args);
    va_end(args);
    return length;
}

}  // namespace qzo::uikit
