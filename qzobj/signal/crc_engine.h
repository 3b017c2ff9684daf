// The raw CRC engine: slicing-by-8 over registers left-aligned to 32 bits, for one register or two
// fed the same bytes, and the feeders that turn each kind of input into bytes. Unguarded: callers
// check for null and run these under the fault guard.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qzobj/types.h"

namespace qzo::crc {

using Slices = DWORD[8][256];

// The next eight input bytes with the first byte in the top bits.
inline uint64_t LoadBigEndian64(const BYTE* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
}

// Eight bytes in one step: the register's four bytes combine with the first four input bytes;
// each slice k accounts for a byte followed by k more bytes.
inline DWORD StepEight(const Slices& t, DWORD reg, uint64_t bytes) {
    const DWORD x = reg ^ static_cast<DWORD>(bytes >> 32);
    const DWORD y = static_cast<DWORD>(bytes);
    return t[7][x >> 24] ^ t[6][(x >> 16) & 0xFF] ^ t[5][(x >> 8) & 0xFF] ^ t[4][x & 0xFF] ^
           t[3][y >> 24] ^ t[2][(y >> 16) & 0xFF] ^ t[1][(y >> 8) & 0xFF] ^ t[0][y & 0xFF];
}

inline DWORD StepOne(const Slices& t, DWORD reg, BYTE b) {
    return (reg << 8) ^ t[0][(reg >> 24) ^ b];
}

// One CRC register.
struct MonoRegister {
    const Slices& table;
    DWORD reg = 0;

    void Feed(const BYTE* p, size_t n) {
        DWORD r = reg;
        for (; n >= 8; n -= 8, p += 8) r = StepEight(table, r, LoadBigEndian64(p));
        for (; n; --n) r = StepOne(table, r, *p++);
        reg = r;
    }
};

// Two CRC registers fed the same bytes in one pass.
struct DualRegister {
    const Slices& mainTable;
    const Slices& secondaryTable;
    DWORD main = 0;
    DWORD secondary = 0;

    void Feed(const BYTE* p, size_t n) {
        DWORD a = main, b = secondary;
        for (; n >= 8; n -= 8, p += 8) {
            const uint64_t bytes = LoadBigEndian64(p);
            a = StepEight(mainTable, a, bytes);
            b = StepEight(secondaryTable, b, bytes);
        }
        for (; n; --n, ++p) {
            a = StepOne(mainTable, a, *p);
            b = StepOne(secondaryTable, b, *p);
        }
        main = a;
        secondary = b;
    }
};

constexpr BYTE FoldCase(BYTE c) {
    return (c >= 0x61 && c <= 0x7B) ? BYTE(c - 0x20) : c;
}

// Staging buffer size for inputs that must be transformed before they are fed.
constexpr size_t kStageBytes = 256;

template <class Register>
void FeedNarrow(Register& r, const char* text) {
    r.Feed(reinterpret_cast<const BYTE*>(text), std::strlen(text));
}

template <class Register>
void FeedNarrowFolded(Register& r, const char* text) {
    BYTE stage[kStageBytes];
    const BYTE* p = reinterpret_cast<const BYTE*>(text);
    for (;;) {
        size_t n = 0;
        while (n < kStageBytes && p[n] != 0) {
            stage[n] = FoldCase(p[n]);
            ++n;
        }
        r.Feed(stage, n);
        if (n < kStageBytes) return;
        p += n;
    }
}

// Wide units as bytes, low byte first; folded units only when their high byte is 0.
template <class Register, bool kFold>
void FeedWideStaged(Register& r, const WCHAR* text) {
    BYTE stage[kStageBytes];
    for (;;) {
        size_t n = 0;
        while (n < kStageBytes && *text != 0) {
            const WCHAR unit = *text++;
            const BYTE low = static_cast<BYTE>(unit & 0xFF), high = static_cast<BYTE>(unit >> 8);
            stage[n++] = (kFold && high == 0) ? FoldCase(low) : low;
            stage[n++] = high;
        }
        r.Feed(stage, n);
        if (n < kStageBytes) return;
    }
}

template <class Register>
void FeedWide(Register& r, const WCHAR* text) {
    if constexpr (std::endian::native == std::endian::little) {
        // In memory a little-endian UTF-16 string already holds its bytes in feeding order.
        size_t units = 0;
        while (text[units] != 0) ++units;
        r.Feed(reinterpret_cast<const BYTE*>(text), units * sizeof(WCHAR));
    } else {
        FeedWideStaged<Register, false>(r, text);
    }
}

template <class Register>
void FeedWideFolded(Register& r, const WCHAR* text) {
    FeedWideStaged<Register, true>(r, text);
}

}  // namespace qzo::crc
