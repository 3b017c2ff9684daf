// The slicing engine against the reference arithmetic: every width, random polynomials, every
// length up to 100 at every alignment, both hash configurations and random dual pairs.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "signal/crc/crc_reference.h"
#include "qzobj/signal.h"

namespace {

using qzo::test::BitwiseCrc;
using qzo::test::Bytes;
using qzo::test::ReferenceCrc;
using qzo::test::ReferenceDual;

constexpr size_t kMaxLength = 100;
constexpr size_t kAlignments = 8;

Bytes RandomBytes(std::mt19937& random, size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(random());
    return out;
}

// The polynomial with its bits above the width set too: they must take no part.
uint32_t RandomPolynomial(std::mt19937& random) {
    return static_cast<uint32_t>(random()) | 1u;
}

TEST(CrcReference, TheReferencesAgree) {
    std::mt19937 random(11);
    for (unsigned width = 8; width <= 32; ++width) {
        const uint32_t polynomial = RandomPolynomial(random);
        for (size_t n : {0, 1, 7, 33}) {
            const Bytes data = RandomBytes(random, n);
            EXPECT_EQ(ReferenceCrc(width, polynomial, data), BitwiseCrc(width, polynomial, data))
                << width;
        }
    }
}

TEST(CrcReference, MonoEveryWidthLengthAndAlignment) {
    std::mt19937 random(1);
    const Bytes buffer = RandomBytes(random, kMaxLength + kAlignments);
    for (unsigned width = 8; width <= 32; ++width) {
        for (int round = 0; round < 3; ++round) {
            const uint32_t polynomial = RandomPolynomial(random);
            const CMonoCRC crc(width, polynomial);
            for (size_t offset = 0; offset < kAlignments; ++offset) {
                for (size_t length = 0; length <= kMaxLength; ++length) {
                    const Bytes slice(buffer.begin() + offset, buffer.begin() + offset + length);
                    ASSERT_EQ(crc.Eval(buffer.data() + offset, static_cast<DWORD>(length)),
                              ReferenceCrc(width, polynomial, slice))
                        << "width " << width << " polynomial " << std::hex << polynomial << std::dec
                        << " offset " << offset << " length " << length;
                }
            }
        }
    }
}

void CheckDual(unsigned mainWidth, uint32_t mainPolynomial, unsigned secondaryWidth,
               uint32_t secondaryPolynomial, const Bytes& buffer) {
    const CDualCRC crc(mainWidth, mainPolynomial, secondaryWidth, secondaryPolynomial);
    ASSERT_TRUE(crc.IsValid());
    for (size_t offset = 0; offset < kAlignments; ++offset) {
        for (size_t length = 0; length <= kMaxLength; ++length) {
            const Bytes slice(buffer.begin() + offset, buffer.begin() + offset + length);
            const uint32_t expected = ReferenceDual(mainWidth, mainPolynomial, secondaryWidth,
                                                    secondaryPolynomial, slice);
            const DWORD value = crc.Eval(buffer.data() + offset, static_cast<DWORD>(length));
            ASSERT_EQ(value, expected) << mainWidth << "/" << secondaryWidth << " offset " << offset
                                       << " length " << length;
            ASSERT_EQ(crc.MainCRC(value), ReferenceCrc(mainWidth, mainPolynomial, slice));
            ASSERT_EQ(crc.SecondaryCRC(value),
                      ReferenceCrc(secondaryWidth, secondaryPolynomial, slice));
        }
    }
}

TEST(CrcReference, DualHashConfigurations) {
    std::mt19937 random(2);
    const Bytes buffer = RandomBytes(random, kMaxLength + kAlignments);
    CheckDual(10, 0x083, 16, 0x1021, buffer);
    CheckDual(16, 0x1021, 15, 0x8123, buffer);
}

TEST(CrcReference, DualRandomPairs) {
    std::mt19937 random(3);
    const Bytes buffer = RandomBytes(random, kMaxLength + kAlignments);
    for (unsigned mainWidth = 8; mainWidth <= 24; mainWidth += 4) {
        const unsigned secondaryWidth = 8 + random() % (32 - mainWidth - 7);
        CheckDual(mainWidth, RandomPolynomial(random), secondaryWidth, RandomPolynomial(random),
                  buffer);
    }
}

// Strings longer than the engine's staging buffer, with every kind of unit.
TEST(CrcReference, StringsAcrossStagingBoundaries) {
    std::mt19937 random(4);
    const CMonoCRC mono(24, 0x5D6DCB);
    const CDualCRC dual(10, 0x083, 16, 0x1021);
    for (size_t length : {1, 127, 128, 129, 255, 256, 257, 600}) {
        std::string narrow;
        std::u16string wide;
        for (size_t i = 0; i < length; ++i) {
            narrow.push_back(static_cast<char>(1 + random() % 255));
            const char16_t unit =
                (random() & 1) ? char16_t(0x41 + random() % 64) : char16_t(1 + random() % 0xFFFF);
            wide.push_back(unit);
        }
        using qzo::test::NarrowBytes;
        using qzo::test::WideBytes;
        EXPECT_EQ(mono.Eval(narrow.c_str()),
                  ReferenceCrc(24, 0x5D6DCB, NarrowBytes(narrow, false)));
        EXPECT_EQ(mono.Evali(narrow.c_str()),
                  ReferenceCrc(24, 0x5D6DCB, NarrowBytes(narrow, true)));
        EXPECT_EQ(mono.Eval(wide.c_str()), ReferenceCrc(24, 0x5D6DCB, WideBytes(wide, false)));
        EXPECT_EQ(mono.Evali(wide.c_str()), ReferenceCrc(24, 0x5D6DCB, WideBytes(wide, true)));
        EXPECT_EQ(dual.Evali(narrow.c_str()),
                  ReferenceDual(10, 0x083, 16, 0x1021, NarrowBytes(narrow, true)));
        EXPECT_EQ(dual.Evali(wide.c_str()),
                  ReferenceDual(10, 0x083, 16, 0x1021, WideBytes(wide, true)));
        EXPECT_EQ(dual.Eval(wide.c_str()),
                  ReferenceDual(10, 0x083, 16, 0x1021, WideBytes(wide, false)));
    }
}

}  // namespace
