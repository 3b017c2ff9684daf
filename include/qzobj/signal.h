// CRC generators: CMonoCRC computes one table-driven CRC of width 8 to 32 bits, CDualCRC two of
// them in one pass packed into one 32-bit value. The library's hash identifiers are CDualCRC
// values.
#pragma once

#include "qzobj/types.h"

// The CRC model of both generators: most-significant bit first, no reflection of input or output,
// initial value 0, no final XOR. The polynomial is given without its top term (0x1021 for
// x^16 + x^12 + x^5 + 1); its bits at and above the width take no part.
//
// Input bytes: Eval(data, length) feeds the bytes as unsigned values; Eval(const char*) feeds the
// bytes of a zero-terminated string, terminator excluded; Eval(const WCHAR*) feeds each UTF-16
// unit of a zero-terminated wide string as two bytes, low byte first. The Evali forms fold case
// first: a byte in 0x61..0x7B ('a' to 'z' and '{') has 0x20 subtracted, so '{' becomes '['; a wide
// unit is folded only when its high byte is 0, and feeds its folded low byte and then 0.
//
// Faults: a null pointer, or memory that cannot be read (caught by the fault guard, whose filter
// is AnalyseException), makes an evaluation return 0. A zero length reads nothing and gives 0,
// whatever the pointer.
//
// Both generators are immutable after construction: one generator may be evaluated from any
// number of threads at once. The constructors are constexpr, so a generator declared constinit
// is ready before any static constructor of any module runs.
//
// The table is kept as eight slices of 256 entries, each holding the CRC register left-aligned
// in 32 bits (the CRC in the top `width` bits): slice 0 is the byte table shifted to the top, and
// slice k the effect of a byte followed by k zero bytes. This lets one slicing-by-8 loop serve
// every width, and the dual generator run both registers in the same loop.

namespace qzo::crc {

// Mask of the low `width` bits; width 32 must not be computed as 1u << 32.
constexpr DWORD WidthMask(DWORD width) {
    return 0xFFFFFFFFu >> (32u - width);
}

constexpr bool IsValidWidth(DWORD width) {
    return width >= 8 && width <= 32;
}

// Fills the eight left-aligned slices for a valid width and polynomial.
constexpr void BuildSlices(DWORD (&slices)[8][256], DWORD width, DWORD polynomial) {
    const DWORD aligned = (polynomial & WidthMask(width)) << (32u - width);
    for (DWORD i = 0; i < 256; ++i) {
        DWORD v = i << 24;
        for (int bit = 0; bit < 8; ++bit) v = (v & 0x80000000u) ? (v << 1) ^ aligned : v << 1;
        slices[0][i] = v;
    }
    for (int k = 1; k < 8; ++k) {
        for (DWORD i = 0; i < 256; ++i) {
            const DWORD prior = slices[k - 1][i];
            slices[k][i] = (prior << 8) ^ slices[0][prior >> 24];
        }
    }
}

}  // namespace qzo::crc

class QZOBJ_API CMonoCRC {
  public:
    // A width outside 8..32 gives an invalid generator: shift, mask and table stay 0 and every
    // evaluation returns 0.
    constexpr CMonoCRC(DWORD width, DWORD polynomial) : m_dwShift(0), m_dwMask(0), m_dwTable{} {
        if (!qzo::crc::IsValidWidth(width)) return;
        m_dwShift = width - 8;
        m_dwMask = qzo::crc::WidthMask(width);
        qzo::crc::BuildSlices(m_dwTable, width, polynomial);
    }

    DWORD Eval(const void* data, DWORD length) const;
    DWORD Eval(const char* text) const;
    DWORD Evali(const char* text) const;
    DWORD Eval(const WCHAR* text) const;
    DWORD Evali(const WCHAR* text) const;

    // The generator's width (0 when invalid) and the classic byte-table entry i: right-aligned,
    // masked to the width.
    constexpr DWORD Width() const { return m_dwMask ? m_dwShift + 8 : 0; }
    constexpr DWORD TableEntry(BYTE i) const {
        return m_dwMask ? m_dwTable[0][i] >> (24 - m_dwShift) : 0;
    }
    constexpr const DWORD (&Slices() const)[8][256] { return m_dwTable; }

  private:
    DWORD m_dwShift;  // width - 8
    DWORD m_dwMask;   // 2^width - 1, or 0 when invalid
    DWORD m_dwTable[8][256];
};

// Result of every evaluation: (secondary CRC << (32 - secondary width)) | main CRC. Valid when
// both widths are in 8..32 and their sum is at most 32; an invalid generator keeps every field 0
// and returns 0xFFFFFFFF from every evaluation (before looking at the input).
class QZOBJ_API CDualCRC {
  public:
    constexpr CDualCRC(DWORD mainWidth, DWORD mainPolynomial, DWORD secondaryWidth,
                       DWORD secondaryPolynomial)
        : m_dwMainShift(0),
          m_dwSecondaryShift(0),
          m_dwMainMask(0),
          m_dwSecondaryMask(0),
          m_dwMainTable{},
          m_dwSecondaryTable{} {
        if (!qzo::crc::IsValidWidth(mainWidth) || !qzo::crc::IsValidWidth(secondaryWidth) ||
            mainWidth + secondaryWidth > 32)
            return;
        m_dwMainShift = mainWidth - 8;
        m_dwSecondaryShift = secondaryWidth - 8;
        m_dwMainMask = qzo::crc::WidthMask(mainWidth);
        m_dwSecondaryMask = qzo::crc::WidthMask(secondaryWidth);
        qzo::crc::BuildSlices(m_dwMainTable, mainWidth, mainPolynomial);
        qzo::crc::BuildSlices(m_dwSecondaryTable, secondaryWidth, secondaryPolynomial);
    }

    DWORD Eval(const void* data, DWORD length) const;
    DWORD Eval(const char* text) const;
    DWORD Evali(const char* text) const;
    DWORD Eval(const WCHAR* text) const;
    DWORD Evali(const WCHAR* text) const;

    constexpr DWORD MainCRC(DWORD value) const { return value & m_dwMainMask; }
    // 0 for an invalid generator.
    constexpr DWORD SecondaryCRC(DWORD value) const {
        return (value >> (24 - m_dwSecondaryShift)) & m_dwSecondaryMask;
    }

    constexpr bool IsValid() const { return m_dwMainMask != 0; }
    constexpr const DWORD (&MainSlices() const)[8][256] { return m_dwMainTable; }
    constexpr const DWORD (&SecondarySlices() const)[8][256] { return m_dwSecondaryTable; }
    constexpr DWORD MainWidth() const { return m_dwMainShift + 8; }

  private:
    DWORD m_dwMainShift;
    DWORD m_dwSecondaryShift;
    DWORD m_dwMainMask;
    DWORD m_dwSecondaryMask;
    DWORD m_dwMainTable[8][256];
    DWORD m_dwSecondaryTable[8][256];
};
