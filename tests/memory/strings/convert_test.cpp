// The DF_ conversions: Windows-1252 both ways with its undefined bytes, replacement characters,
// bounded buffers, and the kind marks of fixed-size fields.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qzobj/strings.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Strings = QzoTest;

TEST_F(Strings, LengthsAndBufferSizes) {
    EXPECT_EQ(DF_WideLen(nullptr), 0u);
    EXPECT_EQ(DF_WideLen(""), 0u);
    EXPECT_EQ(DF_WideLen("ab\x80"), 3u);
    EXPECT_EQ(DF_ANSILen(nullptr), 0u);
    EXPECT_EQ(DF_ANSILen(u""), 0u);
    EXPECT_EQ(DF_ANSILen(u"a\U0001F600b"), 3u);  // a surrogate pair is one character
    EXPECT_EQ(DF_WideBufferSize(nullptr), 0u);
    EXPECT_EQ(DF_WideBufferSize(""), 2u);
    EXPECT_EQ(DF_WideBufferSize("abc"), 8u);
    EXPECT_EQ(DF_ANSIBufferSize(nullptr), 0u);
    EXPECT_EQ(DF_ANSIBufferSize(u""), 1u);
    EXPECT_EQ(DF_ANSIBufferSize(u"abc"), 4u);
}

TEST_F(Strings, Windows1252MapsEveryByteAndBack) {
    char all[256];
    for (int i = 1; i < 256; ++i) all[i - 1] = char(i);
    all[255] = 0;
    WCHAR wide[256];
    ASSERT_EQ(DF_ToWideBuffer(wide, all, 256), 256u);
    EXPECT_EQ(wide[0x80 - 1], 0x20AC);
    EXPECT_EQ(wide[0x8A - 1], 0x0160);
    EXPECT_EQ(wide[0x99 - 1], 0x2122);
    EXPECT_EQ(wide[0x9F - 1], 0x0178);
    for (int undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) EXPECT_EQ(wide[undefined - 1], undefined);
    for (int latin = 0xA0; latin < 0x100; ++latin) EXPECT_EQ(wide[latin - 1], latin);
    char back[256];
    ASSERT_EQ(DF_ToANSIBuffer(back, wide, 256), 256u);
    EXPECT_EQ(std::memcmp(back, all, 256), 0);
}

TEST_F(Strings, UnmappableCharactersAreReplaced) {
    char out[16];
    EXPECT_EQ(DF_ToANSIBuffer(out, u"\u20AC\u4E2D\U0001F600\u0080x", 16), 6u);
    EXPECT_STREQ(out, "\x80???x");  // no best-fit: U+0080 has no byte either
    EXPECT_EQ(DF_ToANSIPath(out, u"a\u4E2D\U0001F600\u00FC", 16), 5u);
    EXPECT_STREQ(out, "a__\xFC");
    EXPECT_EQ(DF_ToANSIBuffer(out, u"\xD800z", 16), 3u);  // a lone surrogate
    EXPECT_STREQ(out, "?z");
}

TEST_F(Strings, ConversionsStayInsideTheirBuffers) {
    WCHAR wide[4] = {u'#', u'#', u'#', u'#'};
    EXPECT_EQ(DF_ToWideBuffer(wide, "abcdef", 3), 3u);
    EXPECT_EQ(std::u16string(wide), u"ab");
    EXPECT_EQ(wide[3], u'#');
    EXPECT_EQ(DF_ToWideBuffer(wide, "abc", 0), 0u);
    EXPECT_EQ(wide[0], u'a');
    EXPECT_EQ(DF_ToWideBuffer(nullptr, "abc", 3), 0u);
    EXPECT_EQ(DF_ToWideBuffer(wide, nullptr, 3), 0u);
    EXPECT_EQ(DF_ToWideBuffer(wide, "", 3), 1u);
    EXPECT_EQ(wide[0], 0);

    char narrow[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(DF_ToANSIBuffer(narrow, u"abcdef", 3), 3u);
    EXPECT_STREQ(narrow, "ab");
    EXPECT_EQ(narrow[3], '#');
    EXPECT_EQ(DF_ToANSIBuffer(narrow, u"xyz", 0), 0u);
    EXPECT_EQ(narrow[0], 'a');
    EXPECT_EQ(DF_ToANSIPath(narrow, u"x", 1), 1u);
    EXPECT_EQ(narrow[0], 0);
    // A pair that does not fit is dropped whole.
    EXPECT_EQ(DF_ToANSIBuffer(narrow, u"ab\U0001F600", 3), 3u);
    EXPECT_STREQ(narrow, "ab");
}

// A field of `bytes` bytes whose last UTF-16 unit is the kind mark, at an odd address.
struct Field {
    explicit Field(size_t bytes) : storage(bytes + 1, '\xCC'), size(bytes) {}
    BYTE* data() { return reinterpret_cast<BYTE*>(&storage[1]); }
    void SetMark(WCHAR mark) { std::memcpy(data() + (size / 2 - 1) * 2, &mark, 2); }
    WCHAR Unit(size_t i) {
        WCHAR u;
        std::memcpy(&u, data() + i * 2, 2);
        return u;
    }
    std::u16string Wide() {
        std::u16string text;
        for (size_t i = 0; i < size / 2 && Unit(i) != 0; ++i) text += Unit(i);
        return text;
    }
    std::string storage;
    size_t size;
};

TEST_F(Strings, FieldInitClearsTextAndMark) {
    Field field(20);
    EXPECT_TRUE(DF_Init(field.data(), 20));
    EXPECT_EQ(field.Unit(0), 0);
    EXPECT_EQ(field.Unit(9), 0);
    EXPECT_EQ(field.Unit(1), 0xCCCC);
    Field tiny(2);
    EXPECT_FALSE(DF_Init(tiny.data(), 2));
    EXPECT_EQ(tiny.Unit(0), 0xCCCC);
}

TEST_F(Strings, FieldLoadInitConvertsByItsMark) {
    // Marks 1 and 2: ANSI text in the first half, widened in place.
    for (WCHAR mark : {WCHAR(1), WCHAR(2)}) {
        Field field(20);
        std::memcpy(field.data(), "caf\xE9\x80", 6);
        field.SetMark(mark);
        EXPECT_TRUE(DF_LoadInit(field.data(), 20));
        EXPECT_EQ(field.Wide(), u"caf\u00E9\u20AC");
        EXPECT_EQ(field.Unit(9), 0);
    }
    // ANSI text filling its whole half is cut so that the terminator fits.
    Field full(12);
    std::memcpy(full.data(), "abcdef", 6);
    full.SetMark(1);
    EXPECT_TRUE(DF_LoadInit(full.data(), 12));
    EXPECT_EQ(full.Wide(), u"abcde");
    // Above 2 the field holds UTF-16 and keeps it; the mark is cleared.
    Field wide(12);
    std::memcpy(wide.data(), u"\u20ACxyzw", 10);
    wide.SetMark(7);
    EXPECT_TRUE(DF_LoadInit(wide.data(), 12));
    EXPECT_EQ(wide.Wide(), u"\u20ACxyzw");
    EXPECT_EQ(wide.Unit(5), 0);
    // Mark 0: nothing changes.
    Field plain(8);
    std::memcpy(plain.data(), u"abc", 6);
    plain.SetMark(0);
    EXPECT_TRUE(DF_LoadInit(plain.data(), 8));
    EXPECT_EQ(plain.Wide(), u"abc");
    // Small fields are left alone.
    Field tiny(2);
    tiny.SetMark(1);
    EXPECT_TRUE(DF_LoadInit(tiny.data(), 2));
    EXPECT_EQ(tiny.Unit(0), 1);
    Field three(3);
    three.SetMark(2);
    EXPECT_TRUE(DF_LoadInit(three.data(), 3));
    EXPECT_EQ(three.Unit(0), 0);
}

}  // namespace
}  // namespace qzo::test
