// GUIDcv: a GUID and its dashed text form of 11 hexadecimal numbers. Parsing follows the
// formatted-input rules the form was always read with: blanks before each number, an optional
// sign and "0x", numbers cut to the width of their field.
#include "qzobj/diag.h"
#include "qzobj/strings.h"
#include "qzobj/uikit.h"

namespace {

constexpr int kGuidNumbers = 11;

bool IsBlank(WCHAR c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

int HexDigit(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads one hexadecimal number as an unsigned conversion does (saturating on overflow,
// negated modulo 2^64 after a minus sign); false when no digit follows.
bool ReadHex(const WCHAR*& p, ULONGLONG* value) {
    const WCHAR* q = p;
    while (IsBlank(*q)) ++q;
    bool negative = false;
    if (*q == u'+' || *q == u'-') negative = *q++ == u'-';
    if (q[0] == u'0' && (q[1] == u'x' || q[1] == u'X') && HexDigit(q[2]) >= 0) q += 2;
    if (HexDigit(*q) < 0) return false;
    ULONGLONG n = 0;
    for (int d; (d = HexDigit(*q)) >= 0; ++q)
        n = n > (~0ull >> 4) ? ~0ull : (n << 4) | ULONGLONG(d);
    *value = negative ? ULONGLONG(0) - n : n;
    p = q;
    return true;
}

// Parses the numbers into the GUID; returns how many were read before the text stopped
// matching.
int ParseGuid(const WCHAR* text, GUID* guid) {
    ULONGLONG value;
    const WCHAR* p = text;
    if (!ReadHex(p, &value)) return 0;
    guid->Data1 = DWORD(value);
    for (int n = 1; n < kGuidNumbers; ++n) {
        if (*p != u'-') return n;
        ++p;
        if (!ReadHex(p, &value)) return n;
        const WORD word = WORD(value);  // a 16-bit field
        if (n == 1)
            guid->Data2 = word;
        else if (n == 2)
            guid->Data3 = word;
        else
            guid->Data4[n - 3] = BYTE(word);
    }
    return kGuidNumbers;
}

WCHAR* PutHex(WCHAR* out, DWORD value, int digits) {
    static const char16_t kDigits[] = u"0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) *out++ = kDigits[(value >> (4 * i)) & 0xF];
    return out;
}

}  // namespace

GUIDcv::GUIDcv(const WCHAR* text) : m_Guid{} {
    if (!text || ParseGuid(text, &m_Guid) < kGuidNumbers) {
        m_Guid = GUID{};
        if (IsDebugOn())
            wPrintf(3, 5, u"\rGUIDcv::GUIDcv(%s): Invalid GUID format\r\n", text ? text : u"");
    }
}

GUIDcv::operator const WCHAR*() {
    WCHAR* out = PutHex(m_szText, m_Guid.Data1, 8);
    *out++ = u'-';
    out = PutHex(out, m_Guid.Data2, 4);
    *out++ = u'-';
    out = PutHex(out, m_Guid.Data3, 4);
    for (BYTE byte : m_Guid.Data4) {
        *out++ = u'-';
        out = PutHex(out, byte, 2);
    }
    *out = 0;
    return m_szText;
}
