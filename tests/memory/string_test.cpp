// Strings: CPTStr and CPWStr (construction, concatenation, appending to shared strings, chunk
// storage with kinds 0, 1, 2 and damaged or unterminated text); the DF_ conversions
// (Windows-1252 both ways, replacement characters, bounded buffers, kind marks of fixed-size
// fields); and the string utilities (file names, appending, lookup, tags in read-only text,
// masked copies, the guarded zero test, resource strings, GUID text).
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "memory/memory_test_support.h"
#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "qzobj/platform/guard.h"
#include "qzobj/platform/module.h"
#include "qzobj/strings.h"
#include "support/capture.h"
#include "support/fixture.h"
#include "support/recording_archive.h"
#include "support/text.h"

namespace qzo::test {
namespace {

using Strings = QzoTest;

std::u16string Text(const CPStrBase& s) {
    const WCHAR* text = static_cast<const WCHAR*>(s.GetCDataPtr());
    return text ? std::u16string(text) : std::u16string();
}

std::string Utf16Bytes(std::u16string_view text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

TEST_F(Strings, NarrowTextBecomesUtf16) {
    CPTStr s("abc");
    EXPECT_EQ(s.GetLen(), 3u);
    EXPECT_EQ(s.GetSize(), 8u);
    EXPECT_EQ(Text(s), u"abc");
    CPTStr euro("\x80\x81 \xFF");
    EXPECT_EQ(Text(euro), u"\u20AC\u0081 \u00FF");
    CPTStr wide(u"\u4E2D\u6587");
    EXPECT_EQ(wide.GetLen(), 2u);
    CPTStr empty;
    EXPECT_EQ(empty.GetLen(), 0u);
    EXPECT_EQ(static_cast<const WCHAR*>(empty), nullptr);
    CPTStr lone(u"");
    EXPECT_EQ(lone.GetLen(), 0u);
    EXPECT_EQ(lone.GetSize(), 2u);
    s = static_cast<const char*>(nullptr);
    EXPECT_EQ(s.GetSize(), 0u);
    ASSERT_TRUE(s.Alloc(10));
    EXPECT_EQ(s.GetSize(), 20u);
    EXPECT_EQ(s.GetLen(), 0u);
}

TEST_F(Strings, ConcatenationKeepsBothTexts) {
    CPTStr abc("abc");
    abc += "xyz";
    EXPECT_EQ(Text(abc), u"abcxyz");
    EXPECT_EQ(abc.GetSize(), 14u);
    abc += u"\u00E9";
    abc += "";
    abc += static_cast<const char*>(nullptr);
    EXPECT_EQ(Text(abc), u"abcxyz\u00E9");

    const CPTStr cd("cd");
    EXPECT_EQ(Text("ab" + cd), u"abcd");
    EXPECT_EQ(Text(u"ab" + cd), u"abcd");
    EXPECT_EQ(Text(cd + "ef"), u"cdef");
    EXPECT_EQ(Text(cd + u"\u20AC"), u"cd\u20AC");
    EXPECT_EQ(Text(cd + cd), u"cdcd");
    const CPTStr none;
    const CPTStr both = none + "";
    EXPECT_EQ(both.GetSize(), 0u);  // two empty operands: no block
    EXPECT_EQ(Text(none + "x"), u"x");

    CPTStr grown;
    grown += "start";
    EXPECT_EQ(Text(grown), u"start");
    for (int i = 0; i < 100; ++i) grown += u"0123456789";
    EXPECT_EQ(grown.GetLen(), 1005u);

    CPTStr self("abc");
    self += static_cast<const WCHAR*>(self);  // the appended text lives in the block itself
    EXPECT_EQ(Text(self), u"abcabc");
    self = static_cast<const WCHAR*>(self) + 3;
    EXPECT_EQ(Text(self), u"abc");
}

TEST_F(Strings, AppendingToASharedStringLeavesTheOtherHolders) {
    CPTStr a("abc");
    CPTStr b(a);
    ASSERT_EQ(a.GetRefCnt(), 2);
    ASSERT_GE(a.GetAllocSize(), 14u);  // the block could grow in place
    b += "xyz";
    EXPECT_EQ(Text(a), u"abc");
    EXPECT_EQ(Text(b), u"abcxyz");
    EXPECT_EQ(a.GetRefCnt(), 1);
    EXPECT_EQ(b.GetRefCnt(), 1);
}

TEST_F(Strings, StringsShareWithPlainBlocksButCopyTheirText) {
    CPTStr s("hello");
    CPMemory plain(s);
    EXPECT_EQ(s.GetRefCnt(), 2);  // the same class ID: sharing
    EXPECT_EQ(plain.GetCDataPtr(), s.GetCDataPtr());

    CPMemory raw;
    raw.Alloc(4);
    std::memcpy(raw.GetDataPtr(), u"hi", 4);  // no terminator
    CPTStr fromRaw(raw);
    EXPECT_EQ(Text(fromRaw), u"hi");
    EXPECT_NE(fromRaw.GetCDataPtr(), raw.GetCDataPtr());
    fromRaw = plain;
    EXPECT_EQ(Text(fromRaw), u"hello");
    EXPECT_EQ(s.GetRefCnt(), 2);  // copied, not shared

    CPWStr w(s);
    EXPECT_EQ(Text(w), u"hello");
    EXPECT_NE(w.GetCDataPtr(), s.GetCDataPtr());
    const CPTStr back = w;
    EXPECT_EQ(Text(back), u"hello");
    EXPECT_NE(back.GetCDataPtr(), w.GetCDataPtr());
    CPWStr w2(w);
    EXPECT_EQ(w.GetRefCnt(), 2);
    w2 += "!";
    EXPECT_EQ(Text(w), u"hello");
    EXPECT_EQ(Text("<" + w2 + u">"), u"<hello!>");
}

TEST_F(Strings, SaveWritesKindTwoAndLoadReadsItBack) {
    CPTStr abc("abc");
    RecordingArchive archive;
    ASSERT_TRUE(abc.DynaSave("Name", archive));
    const std::string payload = std::string("\x02", 1) + Utf16Bytes(std::u16string(u"abc", 4));
    EXPECT_EQ(archive.Bytes(), ChunkBytes("Name", payload));
    archive.Rewind();
    CPTStr loaded;
    ASSERT_TRUE(loaded.DynaLoad("Name", archive));
    EXPECT_EQ(Text(loaded), u"abc");
    EXPECT_EQ(loaded.GetSize(), 8u);

    CPTStr empty;
    RecordingArchive emptyArchive;
    ASSERT_TRUE(empty.DynaSave("Name", emptyArchive));
    EXPECT_EQ(emptyArchive.Bytes(), ChunkBytes("Name", std::string("\x02", 1)));

    CPWStr wide(u"abc");
    RecordingArchive wideArchive;
    ASSERT_TRUE(wide.DynaSave("Name", wideArchive));
    EXPECT_EQ(wideArchive.Bytes(), ChunkBytes("Name", Utf16Bytes(std::u16string(u"abc", 4))));
    wideArchive.Rewind();
    CPWStr wideLoaded;
    ASSERT_TRUE(wideLoaded.DynaLoad("Name", wideArchive));
    EXPECT_EQ(Text(wideLoaded), u"abc");
}

CPTStr LoadPayload(const std::string& payload, BOOL* ok) {
    RecordingArchive archive(ChunkBytes("Text", payload));
    CPTStr s("old");
    *ok = s.DynaLoad("Text", archive);
    EXPECT_EQ(archive.OpenLayers(), 0u);
    return s;
}

TEST_F(Strings, LoadAcceptsAnsiKindsAndTerminatesEveryText) {
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::string payload;
        std::u16string text;
    } rows[] = {
        {"kind 0 is Windows-1252", "\0caf\xE9\x80\0"s, u"caf\u00E9\u20AC"},
        {"kind 1 unterminated", "\1ansi"s, u"ansi"},
        {"kind 1 ends at its terminator", "\1a\0zz"s, u"a"},
        {"kind 2 unterminated", "\2" + Utf16Bytes(u"ab"), u"ab"},
        {"kind 2 with an odd byte count", "\2a\0b"s, u"ab"},
        {"a kind above 2 is UTF-16 and stays so", "\3" + Utf16Bytes(u"\u20AC!"), u"\u20AC!"},
        {"too short for any text", "", u""},
        {"a kind alone", "\2", u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BOOL ok = FALSE;
        const CPTStr loaded = LoadPayload(row.payload, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(Text(loaded), row.text);
        if (row.text.empty()) {
            EXPECT_EQ(loaded.GetSize(), 0u);  // no block at all
        }
    }
    BOOL ok = FALSE;
    EXPECT_EQ(LoadPayload("\2" + Utf16Bytes(u"ab"), &ok).GetSize(), 6u);  // terminator added
}

TEST_F(Strings, DamagedChunksFailWithAnEmptyString) {
    const HeapGrowth pool(qzo::memory::MemPool());
    std::string truncated = ChunkBytes("Text", "\x02" + Utf16Bytes(u"abc"));
    truncated.replace(4, 4, Le32(0x40000000));
    {
        RecordingArchive archive(truncated);
        CPTStr s("old");
        EXPECT_FALSE(s.DynaLoad("Text", archive));
        EXPECT_EQ(s.GetSize(), 0u);
        RecordingArchive other(ChunkBytes("Other", "\x02"));
        EXPECT_FALSE(s.DynaLoad("Text", other));
    }
    EXPECT_EQ(pool.Blocks(), 0);
}

// ---- The DF_ conversions.

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
    Field smallest(3);  // one unit and a spare byte: the text is empty at once
    EXPECT_TRUE(DF_Init(smallest.data(), 3));
    EXPECT_EQ(smallest.Unit(0), 0);
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

// ---- String utilities.

// A page holding a text, then made read-only (and the page after it inaccessible).
class ReadOnlyText {
  public:
    explicit ReadOnlyText(std::u16string_view text) {
        page_ = size_t(sysconf(_SC_PAGESIZE));
        void* p =
            mmap(nullptr, page_ * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<BYTE*>(p);
        // The text ends right at the page end.
        text_ = reinterpret_cast<WCHAR*>(base_ + page_) - (text.size() + 1);
        std::memcpy(text_, text.data(), text.size() * 2);
        text_[text.size()] = 0;
        mprotect(base_, page_, PROT_READ);
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~ReadOnlyText() { munmap(base_, page_ * 2); }
    const WCHAR* Text() const { return text_; }
    const void* Inaccessible() const { return base_ + page_; }

  private:
    size_t page_;
    BYTE* base_;
    WCHAR* text_;
};

TEST_F(Strings, LegalizeReplacesReservedCharacters) {
    WCHAR wide[] = u"a:b?c\\d/e*f\"g<h>i|j";
    EXPECT_EQ(LegalizeFilenameW(wide), wide);
    EXPECT_EQ(std::u16string(wide), u"a_b_c\\d_e_f_g_h_i_j");
    char narrow[] = "x:y";
    EXPECT_STREQ(LegalizeFilenameA(narrow), "x_y");
    EXPECT_EQ(LegalizeFilenameW(nullptr), nullptr);

    WCHAR out[4] = {u'#', u'#', u'#', u'#'};
    LegalizeBufferW(out, u"a:bcd", 4);
    EXPECT_EQ(std::u16string(out), u"a_b");
    LegalizeBufferW(out, u"zz", 1);
    EXPECT_EQ(out[0], 0);
    out[0] = u'#';
    LegalizeBufferW(out, u"zz", 0);
    EXPECT_EQ(out[0], u'#');
    char narrowOut[8];
    EXPECT_STREQ(LegalizeBufferA(narrowOut, "p|q", 8), "p_q");
}

TEST_F(Strings, AppendAddsTheSeparatorOnlyBetweenTexts) {
    WCHAR text[32] = u"abc";
    EXPECT_TRUE(strAppend(text, u"def", u','));
    EXPECT_EQ(std::u16string(text), u"abc,def");
    WCHAR empty[32] = u"";
    EXPECT_TRUE(strAppend(empty, u"def", u','));
    EXPECT_EQ(std::u16string(empty), u"def");
    EXPECT_TRUE(strAppend(text, nullptr, u';'));
    EXPECT_EQ(std::u16string(text), u"abc,def;");
    EXPECT_FALSE(strAppend(nullptr, u"x", u','));
    EXPECT_FALSE(strAppend(text, u"x", 0));
    EXPECT_EQ(std::u16string(text), u"abc,def;");
}

TEST_F(Strings, IndexIgnoresCase) {
    const WCHAR* table[] = {u"first", nullptr, u"abc", u"ABC"};
    EXPECT_EQ(strIndex(u"ABC", table, 4), 2u);
    EXPECT_EQ(strIndex(u"First", table, 4), 0u);
    EXPECT_EQ(strIndex(u"abcd", table, 4), 0xFFFFFFFFu);
    EXPECT_EQ(strIndex(u"abc", table, 2), 0xFFFFFFFFu);
    EXPECT_EQ(strIndex(nullptr, table, 4), 0xFFFFFFFFu);
}

TEST_F(Strings, GetTagReadsReadOnlyTextWithoutWritingIt) {
    ReadOnlyText page(u"name=Clip one;size=42;title=Caf\u00E9\u4E2D");
    WCHAR value[32];
    ASSERT_TRUE(strGetTagW(page.Text(), u"name=", value, 32, u';'));
    EXPECT_EQ(std::u16string(value), u"Clip one");
    ASSERT_TRUE(strGetTagW(page.Text(), u"size=", value, 32, u';'));
    EXPECT_EQ(std::u16string(value), u"42");
    ASSERT_TRUE(strGetTagW(page.Text(), u"title=", value, 32, u';'));  // runs to the end
    EXPECT_EQ(std::u16string(value), u"Caf\u00E9\u4E2D");
    ASSERT_TRUE(strGetTagW(page.Text(), u"name=", value, 4, 0));
    EXPECT_EQ(std::u16string(value), u"Cli");
    EXPECT_FALSE(strGetTagW(page.Text(), u"length=", value, 32, u';'));
    EXPECT_FALSE(strGetTagW(page.Text(), u"title=Caf\u00E9\u4E2DX", value, 32, u';'));

    char narrow[32];
    ASSERT_TRUE(strGetTagA(page.Text(), u"title=", narrow, 32, u';'));
    EXPECT_STREQ(narrow, "Caf\xE9?");
    ASSERT_TRUE(strGetTagA(page.Text(), u"name=", narrow, 5, u';'));
    EXPECT_STREQ(narrow, "Clip");
    narrow[0] = '#';
    EXPECT_TRUE(strGetTagA(page.Text(), u"name=", narrow, 0, u';'));
    EXPECT_EQ(narrow[0], '#');
}

TEST_F(Strings, PatCpyMergesUnderTheMask) {
    BYTE destination[7] = {0xFF, 0x00, 0xAA, 0x55, 0x0F, 0xF0, 0x12};
    const BYTE source[7] = {0x00, 0xFF, 0x55, 0xAA, 0xFF, 0xFF, 0x34};
    const BYTE mask[7] = {0x0F, 0x0F, 0xFF, 0x00, 0xF0, 0x0F, 0xFF};
    PatCpy(destination, source, mask, 7);
    const BYTE expected[7] = {0xF0, 0x0F, 0x55, 0x55, 0xFF, 0xFF, 0x34};
    EXPECT_EQ(std::memcmp(destination, expected, 7), 0);
}

TEST_F(Strings, IsZeroMemoryIsGuarded) {
    BYTE zeros[37] = {};
    EXPECT_TRUE(IsZeroMemory(zeros, 37));
    zeros[36] = 1;
    EXPECT_FALSE(IsZeroMemory(zeros, 37));
    EXPECT_TRUE(IsZeroMemory(zeros, 36));
    EXPECT_TRUE(IsZeroMemory(nullptr, 0));
    EXPECT_FALSE(IsZeroMemory(nullptr, 4));
    if (qzo::platform::SignalGuardEnabled()) {
        ReadOnlyText page(u"");  // the text's terminator ends its page: two zero bytes
        const BYTE* last = reinterpret_cast<const BYTE*>(page.Text());
        EXPECT_FALSE(IsZeroMemory(last, 64));  // runs into the inaccessible page
    }
}

TEST_F(Strings, SetStringFallsBackToTheDefault) {
    WCHAR buffer[6] = {u'#', u'#', u'#', u'#', u'#', u'#'};
    EXPECT_EQ(LSetStringW(buffer, u"default text", 6, nullptr, 1234), buffer);
    EXPECT_EQ(std::u16string(buffer), u"defau");
    LSetStringW(buffer, nullptr, 6, nullptr, 1234);
    EXPECT_EQ(buffer[0], 0);
    buffer[0] = u'#';
    LSetStringW(buffer, u"x", 0, nullptr, 1234);
    EXPECT_EQ(buffer[0], u'#');
    char narrow[4];
    EXPECT_STREQ(LSetStringA(narrow, "fallback", 4, nullptr, 1234), "fal");
}

TEST_F(Strings, NarrowResourceStringsAreWindowsLatinText) {
    const HMODULE module = reinterpret_cast<HMODULE>(uintptr_t{0x52000000});
    const qzo::platform::StringResource strings[] = {{7, u"Caf\u00E9 \u20AC5"}};
    qzo::platform::RegisterStringTable(module, strings, std::size(strings));
    char narrow[32] = "#";
    EXPECT_STREQ(LSetStringA(narrow, "fallback", 32, module, 7),
                 "Caf\xE9 \x80"
                 "5");
    EXPECT_STREQ(LSetStringA(narrow, "fallback", 5, module, 7), "Caf\xE9");
    qzo::platform::UnregisterStringTable(module);
}

TEST_F(Strings, GuidTextHasElevenDashedNumbers) {
    const GUID guid = {
        0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    GUIDcv cv(guid);
    const std::u16string text = static_cast<const WCHAR*>(cv);
    EXPECT_EQ(text, u"0123abcd-4567-89ef-01-23-45-67-89-ab-cd-ef");
    EXPECT_TRUE(GUID(GUIDcv(text.c_str())) == guid);

    // Blanks before numbers, "0x", upper case, and fields cut to 16 bits then to a byte.
    const GUID parsed =
        GUIDcv(u"  0X0123ABCD- 4567-\t0x89EF-1-0x23-12345-167-89-AB-cD-1EF trailing");
    const GUID expected = {
        0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_TRUE(parsed == expected);
    const GUID negative = GUIDcv(u"-1-0-0-0-0-0-0-0-0-0-ff");
    EXPECT_EQ(negative.Data1, 0xFFFFFFFFu);
    EXPECT_EQ(negative.Data4[7], 0xFF);
}

TEST_F(Strings, InvalidGuidTextGivesTheZeroGuidAndAMessage) {
    DebugCapture capture;
    SetDebugMode(TRUE);
    const GUID bad = GUIDcv(u"0123abcd-4567-89ef-01-23");
    const GUID spaced = GUIDcv(u"0123abcd -4567-89ef-01-23-45-67-89-ab-cd-ef");
    SetDebugMode(FALSE);
    EXPECT_TRUE(bad == GUID{});
    EXPECT_TRUE(spaced == GUID{});  // a blank before a dash does not match it
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].channel, 3);
    EXPECT_EQ(messages[0].level, 5);
    EXPECT_EQ(messages[0].Utf8(),
              "\rGUIDcv::GUIDcv(0123abcd-4567-89ef-01-23): Invalid GUID format\r\n");

    capture.Clear();
    for (const char16_t* cut : {u"0123abcd-4567-89ef-01-23-45-67-89-ab-cd-",
                                u"0123abcd-4567-89ef-01-23-45-67-89-ab-cd--"}) {
        SCOPED_TRACE(qzo::test::Narrow(cut));
        EXPECT_TRUE(GUID(GUIDcv(cut)) == GUID{}) << "a number without digits ends the text";
    }
    const GUID quiet = GUIDcv(u"nonsense");
    EXPECT_TRUE(quiet == GUID{});
    EXPECT_EQ(capture.Count(), 0u);  // only while debugging
}

}  // namespace
}  // namespace qzo::test
