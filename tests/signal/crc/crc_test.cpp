// Both CRC generators: known check values, invalid configurations, case folding, wide input and
// the library's hash identifiers of well-known names; then the slicing engine against the
// reference arithmetic at every width, length up to 100 and alignment, and random dual pairs.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "qzobj/hashid.h"
#include "qzobj/signal.h"
#include "signal/crc/crc_reference.h"

namespace {

const char kCheck[] = "123456789";

// The generators are usable in constant expressions: static constructors of other modules never
// see an empty table.
constexpr CMonoCRC kXmodem(16, 0x1021);
static_assert(kXmodem.TableEntry(1) == 0x1021);
static_assert(kXmodem.TableEntry(0x80) == 0x9188);
static_assert(CMonoCRC(32, 0x04C11DB7).TableEntry(1) == 0x04C11DB7);
static_assert(CMonoCRC(33, 0x1).Width() == 0);

DWORD Mono(DWORD width, DWORD polynomial) {
    return CMonoCRC(width, polynomial).Eval(kCheck);
}

TEST(Crc, MonoCheckValues) {
    EXPECT_EQ(Mono(16, 0x1021), 0x31C3u);
    EXPECT_EQ(Mono(8, 0x07), 0xF4u);
    EXPECT_EQ(Mono(16, 0x8005), 0xFEE8u);
    EXPECT_EQ(Mono(32, 0x04C11DB7), 0x89A1897Fu);
    EXPECT_EQ(Mono(16, 0x8BB7), 0xD0DBu);
    // The byte and string forms agree.
    EXPECT_EQ(CMonoCRC(32, 0x04C11DB7).Eval(kCheck, 9), 0x89A1897Fu);
}

TEST(Crc, InvalidMonoWidthsGiveZero) {
    for (DWORD width : {0u, 7u, 33u, 64u}) {
        const CMonoCRC crc(width, 0x1021);
        EXPECT_EQ(crc.Width(), 0u);
        EXPECT_EQ(crc.Eval(kCheck), 0u) << width;
        EXPECT_EQ(crc.Eval(kCheck, 9), 0u) << width;
        EXPECT_EQ(crc.Evali(kCheck), 0u) << width;
        EXPECT_EQ(crc.Eval(u"123"), 0u) << width;
        EXPECT_EQ(crc.Evali(u"abc"), 0u) << width;
        EXPECT_EQ(crc.TableEntry(1), 0u) << width;
    }
}

TEST(Crc, DualCheckValues) {
    const CDualCRC crc1615(16, 0x1021, 15, 0x8123);
    const DWORD value = crc1615.Eval(kCheck);
    EXPECT_EQ(value, 0x0D2831C3u);
    EXPECT_EQ(crc1615.MainCRC(value), 0x31C3u);
    EXPECT_EQ(crc1615.SecondaryCRC(value), 0x0694u);
    EXPECT_EQ(value & 0x00010000u, 0u);

    const CDualCRC hash(10, 0x83, 16, 0x1021);
    EXPECT_EQ(hash.Eval(kCheck), 0x31C30282u);
    EXPECT_EQ(hash.Eval(kCheck, 9), 0x31C30282u);

    // Copies carry the tables.
    CDualCRC copy = hash;
    EXPECT_EQ(copy.Eval(kCheck), 0x31C30282u);
    copy = crc1615;
    EXPECT_EQ(copy.Eval(kCheck), 0x0D2831C3u);
}

TEST(Crc, InvalidDualGivesAllOnes) {
    const CDualCRC tooWide(16, 0x1021, 17, 0x1);
    const CDualCRC tooNarrow(7, 0x1, 16, 0x1021);
    const CDualCRC secondaryTooWide(8, 0x7, 33, 0x1);
    for (const CDualCRC* crc : {&tooWide, &tooNarrow, &secondaryTooWide}) {
        EXPECT_FALSE(crc->IsValid());
        EXPECT_EQ(crc->Eval(kCheck), 0xFFFFFFFFu);
        EXPECT_EQ(crc->Eval(kCheck, 9), 0xFFFFFFFFu);
        EXPECT_EQ(crc->Evali(kCheck), 0xFFFFFFFFu);
        EXPECT_EQ(crc->Eval(u"1"), 0xFFFFFFFFu);
        EXPECT_EQ(crc->Evali(u"a"), 0xFFFFFFFFu);
        EXPECT_EQ(crc->Eval(static_cast<const char*>(nullptr)), 0xFFFFFFFFu);
        EXPECT_EQ(crc->MainCRC(0x12345678), 0u);
        EXPECT_EQ(crc->SecondaryCRC(0x12345678), 0u);
    }
    // Widths summing to exactly 32 are valid.
    EXPECT_TRUE(CDualCRC(16, 0x1021, 16, 0x8005).IsValid());
}

TEST(Crc, FoldingAndWideInput) {
    const CMonoCRC mono(16, 0x1021);
    const CDualCRC dual(10, 0x83, 16, 0x1021);
    EXPECT_EQ(mono.Evali("abc"), mono.Eval("ABC"));
    EXPECT_EQ(mono.Evali("{"), mono.Eval("["));
    EXPECT_EQ(dual.Evali("abc"), dual.Eval("ABC"));
    EXPECT_EQ(dual.Evali("{"), dual.Eval("["));
    EXPECT_NE(mono.Evali("|"), mono.Eval("\\"));  // 0x7C lies outside the folded range
    EXPECT_NE(mono.Evali("`"), mono.Eval("@"));   // and so does 0x60

    const BYTE ab[] = {0x41, 0x00, 0x42, 0x00};
    EXPECT_EQ(mono.Eval(u"AB"), mono.Eval(ab, 4));
    EXPECT_EQ(dual.Eval(u"AB"), dual.Eval(ab, 4));
    EXPECT_EQ(mono.Evali(u"ab"), mono.Eval(ab, 4));
}

TEST(Crc, EmptyInputGivesZero) {
    const CMonoCRC mono(32, 0x04C11DB7);
    const CDualCRC dual(16, 0x1021, 15, 0x8123);
    EXPECT_EQ(mono.Eval(""), 0u);
    EXPECT_EQ(mono.Evali(""), 0u);
    EXPECT_EQ(mono.Eval(u""), 0u);
    EXPECT_EQ(mono.Evali(u""), 0u);
    EXPECT_EQ(mono.Eval(kCheck, 0), 0u);
    EXPECT_EQ(mono.Eval(nullptr, 0), 0u);  // a zero length reads nothing
    EXPECT_EQ(dual.Eval(""), 0u);
    EXPECT_EQ(dual.Eval(u""), 0u);
    EXPECT_EQ(dual.Eval(nullptr, 0), 0u);
}

TEST(Crc, HashIdentifiers) {
    EXPECT_EQ(GetHashID("abc"), 0x9DD60017u);
    EXPECT_EQ(GetHashIDi("abc"), 0x39940100u);
    EXPECT_EQ(GetHashID("ABC"), 0x39940100u);
    EXPECT_EQ(GetHashIDW(u"abc"), 0xF07B026Du);
    EXPECT_EQ(GetCRC1615("abc", 3), 0xEE909DD6u);
    EXPECT_EQ(GetHashID("A"), 0x58E500D8u);
    EXPECT_EQ(GetHashID("B"), 0x6886015Du);
    EXPECT_EQ(GetHashID("CQZObject"), 0x3437008Du);
    EXPECT_EQ(GetHashID(""), 0u);
    EXPECT_EQ(GetHashIDW(u""), 0u);
    EXPECT_EQ(GetCRC1615(kCheck, 9), 0x0D2831C3u);
}

// ---- The engine against the reference arithmetic.

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

TEST(Crc, TheReferencesAgree) {
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

TEST(Crc, MonoEveryWidthLengthAndAlignment) {
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

TEST(Crc, DualHashConfigurations) {
    std::mt19937 random(2);
    const Bytes buffer = RandomBytes(random, kMaxLength + kAlignments);
    CheckDual(10, 0x083, 16, 0x1021, buffer);
    CheckDual(16, 0x1021, 15, 0x8123, buffer);
}

TEST(Crc, DualRandomPairs) {
    std::mt19937 random(3);
    const Bytes buffer = RandomBytes(random, kMaxLength + kAlignments);
    for (unsigned mainWidth = 8; mainWidth <= 24; mainWidth += 4) {
        const unsigned secondaryWidth = 8 + random() % (32 - mainWidth - 7);
        CheckDual(mainWidth, RandomPolynomial(random), secondaryWidth, RandomPolynomial(random),
                  buffer);
    }
}

// Strings longer than the engine's staging buffer, with every kind of unit.
TEST(Crc, StringsAcrossStagingBoundaries) {
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
        auto mono24 = [](const Bytes& bytes) { return ReferenceCrc(24, 0x5D6DCB, bytes); };
        EXPECT_EQ(mono.Eval(narrow.c_str()), mono24(NarrowBytes(narrow, false)));
        EXPECT_EQ(mono.Evali(narrow.c_str()), mono24(NarrowBytes(narrow, true)));
        EXPECT_EQ(mono.Eval(wide.c_str()), mono24(WideBytes(wide, false)));
        EXPECT_EQ(mono.Evali(wide.c_str()), mono24(WideBytes(wide, true)));
        EXPECT_EQ(dual.Evali(narrow.c_str()),
                  qzo::test::ReferenceHashID(NarrowBytes(narrow, true)));
        EXPECT_EQ(dual.Evali(wide.c_str()), qzo::test::ReferenceHashID(WideBytes(wide, true)));
        EXPECT_EQ(dual.Eval(wide.c_str()), qzo::test::ReferenceHashID(WideBytes(wide, false)));
    }
}

}  // namespace
