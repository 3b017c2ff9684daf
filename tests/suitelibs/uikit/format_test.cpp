// The debug output's formatter: golden texts for every conversion the library's messages use,
// truncation at the caller's capacity and at the message limit, and bad arguments.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "qzobj/suitelibs/uikit/debug_output.h"

namespace {

using qzo::uikit::FormatV;
using qzo::uikit::kMaxMessageUnits;

std::u16string Fmt(const WCHAR* format, ...) {
    WCHAR buffer[2 * kMaxMessageUnits];
    va_list args;
    va_start(args, format);
    size_t length = FormatV(buffer, sizeof buffer / sizeof buffer[0], format, args);
    va_end(args);
    EXPECT_EQ(buffer[length], 0) << "the text must be terminated";
    return std::u16string(buffer, length);
}

TEST(Format, IntegersWithFlagsWidthAndPrecision) {
    EXPECT_EQ(Fmt(u"%d|%i|%u", -42, 17, 4000000000u), u"-42|17|4000000000");
    EXPECT_EQ(Fmt(u"%08X", 0xBEEFu), u"0000BEEF");
    EXPECT_EQ(Fmt(u"%08x", 0xDEADBEEFu), u"deadbeef");
    EXPECT_EQ(Fmt(u"%10u|", 123u), u"       123|");
    EXPECT_EQ(Fmt(u"%-10d|", -5), u"-5        |");
    EXPECT_EQ(Fmt(u"%+d %+d % d", 5, -5, 7), u"+5 -5  7");
    EXPECT_EQ(Fmt(u"%05d|%-05d|", -42, 42), u"-0042|42   |");
    EXPECT_EQ(Fmt(u"%.5d|%8.3d|%.0d|", 42, 7, 0), u"00042|     007||");
    EXPECT_EQ(Fmt(u"%#x %#X %#o %#x", 255u, 255u, 8u, 0u), u"0xff 0XFF 010 0");
    EXPECT_EQ(Fmt(u"%o", 8u), u"10");
    EXPECT_EQ(Fmt(u"%*d|%-*d|%.*d", 5, 1, 4, 2, 3, 3), u"    1|2   |003");
    EXPECT_EQ(Fmt(u"%*d|", -4, 9), u"9   |") << "a negative '*' width means left-justified";
    EXPECT_EQ(Fmt(u"%d", INT32_MIN), u"-2147483648");
}

TEST(Format, SizePrefixes) {
    // The system's long is 32 bits wide: 'l' reads 32 bits, 'll' and 'I64' 64 bits.
    EXPECT_EQ(Fmt(u"%ld %lu %lX", int32_t{-1}, uint32_t{4294967295u}, uint32_t{0xABCDu}),
              u"-1 4294967295 ABCD");
    EXPECT_EQ(Fmt(u"%lld %llu", -9000000000LL, 18446744073709551615ULL),
              u"-9000000000 18446744073709551615");
    EXPECT_EQ(Fmt(u"%I64X %I64d", 0x123456789ABCDEF0ULL, INT64_MIN),
              u"123456789ABCDEF0 -9223372036854775808");
    EXPECT_EQ(Fmt(u"%zu %zX", size_t{1} << 40, size_t{255}), u"1099511627776 FF");
    EXPECT_EQ(Fmt(u"%hd %hu %hhd %hhu", 70000, 70000, 300, 300), u"4464 4464 44 44");
}

TEST(Format, WideAndNarrowText) {
    EXPECT_EQ(Fmt(u"[%s] [%ls]", u"wide", u"also wide"), u"[wide] [also wide]");
    EXPECT_EQ(Fmt(u"[%hs] [%S]", "narrow", "also narrow"), u"[narrow] [also narrow]");
    EXPECT_EQ(Fmt(u"[%-24hs]", "CHeap"), u"[CHeap                   ]");
    EXPECT_EQ(Fmt(u"[%8s] [%.3s] [%-6.2hs]", u"ab", u"abcdef", "xyz"),
              u"[      ab] [abc] [xy    ]");
    EXPECT_EQ(Fmt(u"%hs", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"),
              u"gr\u00FC\u00DF \u20AC \U0001F600")
        << "narrow text is UTF-8";
    EXPECT_EQ(Fmt(u"%hs",
                  "a\xFF"
                  "b"),
              u"a\uFFFDb")
        << "a malformed byte becomes U+FFFD";
    EXPECT_EQ(Fmt(u"[%5hs]", "\xE2\x82\xAC"), u"[    \u20AC]") << "width counts UTF-16 units";
    EXPECT_EQ(Fmt(u"%s|%hs", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr)),
              u"(null)|(null)");
}

TEST(Format, PrecisionBoundsTheNarrowBytesRead) {
    // A four-byte tag without a terminator: nothing past the precision may be read.
    const char tag[4] = {'R', 'I', 'F', 'F'};
    EXPECT_EQ(Fmt(u"%.4hs", tag), u"RIFF");
}

TEST(Format, SurrogatesPassThrough) {
    const WCHAR pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(Fmt(u"%s", pair), u"\U0001F600");
    EXPECT_EQ(Fmt(u"%c%c", 0xD83D, 0xDE00), u"\U0001F600");
    const WCHAR lonely[] = {u'a', 0xDC00, u'b', 0xD800, 0};
    EXPECT_EQ(Fmt(u"%s", lonely), std::u16string(lonely)) << "unpaired surrogates stay as they are";
}

TEST(Format, Characters) {
    EXPECT_EQ(Fmt(u"%c%c%c", u'A', 0x20AC, u'z'), u"A\u20ACz");
    EXPECT_EQ(Fmt(u"%hc%C", 'n', 'm'), u"nm");
    EXPECT_EQ(Fmt(u"[%3c][%-3c]", u'x', u'y'), u"[  x][y  ]");
}

TEST(Format, PointersAndPercent) {
    const void* p = reinterpret_cast<const void*>(uintptr_t{0xABC123});
    EXPECT_EQ(Fmt(u"%p", p), u"0000000000ABC123");
    EXPECT_EQ(Fmt(u"[%20p]", p), u"[    0000000000ABC123]");
    EXPECT_EQ(Fmt(u"[%-18p]", p), u"[0000000000ABC123  ]");
    EXPECT_EQ(Fmt(u"100%% done %d%%", 5), u"100% done 5%");
}

TEST(Format, FloatingPoint) {
    EXPECT_EQ(Fmt(u"Lap=%fms, Total=%fms", 1.5, 2.25), u"Lap=1.500000ms, Total=2.250000ms");
    EXPECT_EQ(Fmt(u"%.2f|%8.3f|%-8.1f|%08.2f", 3.14159, 2.5, -1.25, -3.5),
              u"3.14|   2.500|-1.2    |-0003.50");
    EXPECT_EQ(Fmt(u"%e|%.3E", 12345.678, 0.00012), u"1.234568e+04|1.200E-04");
    EXPECT_EQ(Fmt(u"%g|%g|%G", 0.0001, 1e20, 1e-10), u"0.0001|1e+20|1E-10");
    EXPECT_EQ(Fmt(u"%+.1f|% .1f", 2.0, 2.0), u"+2.0| 2.0");
    EXPECT_EQ(Fmt(u"%Lf", 1.5L), u"1.500000");
    EXPECT_EQ(Fmt(u"%05f", 1.0 / 0.0), u"  inf") << "infinity is never zero-padded";
    // Arguments after a floating-point one are still read correctly.
    EXPECT_EQ(Fmt(u"%f %d %hs", 0.5, 7, "x"), u"0.500000 7 x");
}

TEST(Format, TheLibrarysMessages) {
    EXPECT_EQ(Fmt(u"\rHeap(%hs)::Alloc %08X size %u\r\n", "CSHeap", 0x1234u, 64u),
              u"\rHeap(CSHeap)::Alloc 00001234 size 64\r\n");
    EXPECT_EQ(Fmt(u"%sOBJ/%08X/%08X.QZO", u"/p/", 0x4A2B0123u, 1024u),
              u"/p/OBJ/4A2B0123/00000400.QZO");
    EXPECT_EQ(Fmt(u"@(%3d,%3d^%3d) -> [%3d.%3d.%3d:%3d]", 1, 22, 333, 4, 55, 255, 128),
              u"@(  1, 22^333) -> [  4. 55.255:128]");
}

TEST(Format, UnknownAndUnfinishedConversionsAreCopied) {
    EXPECT_EQ(Fmt(u"a%qb"), u"a%qb");
    EXPECT_EQ(Fmt(u"50%"), u"50%");
    EXPECT_EQ(Fmt(u"50%-5"), u"50%-5");
    int written = 99;
    EXPECT_EQ(Fmt(u"x%ny%d", &written, 3), u"xy3");
    EXPECT_EQ(written, 99) << "%n never writes through the pointer";
}

TEST(Format, CutsAtTheCapacity) {
    WCHAR buffer[8];
    for (auto& c : buffer) c = u'#';
    EXPECT_EQ(qzo::uikit::Format(buffer, 6, u"%s-%d", u"abc", 12345), 5u);
    EXPECT_EQ(std::u16string(buffer), u"abc-1");
    EXPECT_EQ(buffer[6], u'#') << "nothing is written past the capacity";

    EXPECT_EQ(qzo::uikit::Format(buffer, 1, u"abc"), 0u);
    EXPECT_EQ(buffer[0], 0);

    buffer[0] = u'#';
    EXPECT_EQ(qzo::uikit::Format(buffer, 0, u"abc"), 0u);
    EXPECT_EQ(buffer[0], u'#') << "capacity 0 writes nothing";
    EXPECT_EQ(qzo::uikit::Format(nullptr, 10, u"abc"), 0u);

    EXPECT_EQ(qzo::uikit::Format(buffer, 8, nullptr), 0u);
    EXPECT_EQ(buffer[0], 0);
}

TEST(Format, CutsPaddingAndNumbersAtTheCapacity) {
    WCHAR buffer[5];
    EXPECT_EQ(qzo::uikit::Format(buffer, 5, u"%100d", 1), 4u);
    EXPECT_EQ(std::u16string(buffer), u"    ");
    EXPECT_EQ(qzo::uikit::Format(buffer, 5, u"%08X", 0xABCDEF12u), 4u);
    EXPECT_EQ(std::u16string(buffer), u"ABCD");
}

TEST(Format, NeverSplitsASurrogatePair) {
    WCHAR buffer[4];
    EXPECT_EQ(qzo::uikit::Format(buffer, 4, u"ab%s", u"\U0001F600"), 2u);
    EXPECT_EQ(std::u16string(buffer), u"ab");
}

TEST(Format, CutsAtTheMessageLimit) {
    std::u16string text = Fmt(u"%*s|", 10000, u"x");
    ASSERT_EQ(text.size(), kMaxMessageUnits);
    EXPECT_EQ(text.back(), u' ');
    std::u16string longText(6000, u'q');
    EXPECT_EQ(Fmt(u"%s", longText.c_str()).size(), kMaxMessageUnits);
    EXPECT_EQ(Fmt(longText.c_str()).size(), kMaxMessageUnits);
    EXPECT_EQ(Fmt(u"%.100000d", 1).size(), kMaxMessageUnits) << "huge precisions are cut too";
}

}  // namespace
