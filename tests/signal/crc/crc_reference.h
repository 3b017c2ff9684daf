// Reference CRCs for the tests, written straight from the arithmetic of the generators: a byte
// table and a byte-at-a-time update in 32-bit registers, and a bit-at-a-time polynomial division
// as an independent second opinion. Slow and obvious on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qzo::test {

using Bytes = std::vector<uint8_t>;

// The table-driven CRC exactly as described: entry i starts as i << (w - 8) and is shifted eight
// times, xor-ing the polynomial whenever bit w - 1 was set; the update is
// crc = (crc << 8) ^ table[((crc >> (w - 8)) & 0xFF) ^ b] with bits above w left in the register.
inline uint32_t ReferenceCrc(unsigned width, uint32_t polynomial, const Bytes& bytes) {
    const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (uint32_t(1) << width) - 1;
    uint32_t table[256] = {};
    for (uint32_t i = 1; i < 256; ++i) {
        uint32_t v = i << (width - 8);
        for (int k = 0; k < 8; ++k) {
            const bool top = (v >> (width - 1)) & 1;
            v = top ? (v << 1) ^ polynomial : v << 1;
        }
        table[i] = v & mask;
    }
    uint32_t crc = 0;
    for (uint8_t b : bytes) crc = (crc << 8) ^ table[((crc >> (width - 8)) & 0xFF) ^ b];
    return crc & mask;
}

// Division of the message by the polynomial one bit at a time, most significant bit first.
inline uint32_t BitwiseCrc(unsigned width, uint32_t polynomial, const Bytes& bytes) {
    const uint64_t mask = (uint64_t(1) << width) - 1;
    uint64_t crc = 0;
    for (uint8_t b : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> (width - 1)) & 1) ^ ((b >> bit) & 1);
            crc = (crc << 1) & mask;
            if (top) crc ^= polynomial & mask;
        }
    }
    return static_cast<uint32_t>(crc);
}

// Secondary CRC in the top bits, main CRC in the low bits.
inline uint32_t ReferenceDual(unsigned mainWidth, uint32_t mainPolynomial, unsigned secondaryWidth,
                              uint32_t secondaryPolynomial, const Bytes& bytes) {
    return (ReferenceCrc(secondaryWidth, secondaryPolynomial, bytes) << (32 - secondaryWidth)) |
           ReferenceCrc(mainWidth, mainPolynomial, bytes);
}

inline uint32_t ReferenceHashID(const Bytes& bytes) {
    return ReferenceDual(10, 0x083, 16, 0x1021, bytes);
}

// The input bytes of strings as the generators feed them.
inline uint8_t FoldByte(uint8_t c) {
    return (c >= 0x61 && c <= 0x7B) ? uint8_t(c - 0x20) : c;
}

inline Bytes NarrowBytes(const std::string& text, bool fold) {
    Bytes out;
    for (unsigned char c : text) out.push_back(fold ? FoldByte(c) : c);
    return out;
}

inline Bytes WideBytes(const std::u16string& text, bool fold) {
    Bytes out;
    for (char16_t unit : text) {
        const uint8_t low = unit & 0xFF, high = unit >> 8;
        out.push_back(fold && high == 0 ? FoldByte(low) : low);
        out.push_back(high);
    }
    return out;
}

}  // namespace qzo::test
