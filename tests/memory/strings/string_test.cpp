// CPTStr and CPWStr: construction, concatenation, appending to shared strings, copying text out
// of plain blocks, and chunk storage with kinds 0, 1, 2 and damaged or unterminated text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "qzobj/memory.h"
#include "qzobj/strings.h"
#include "support/fixture.h"
#include "support/recording_archive.h"

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

DWORD LiveBlocks(CHeap& heap) {
    DWORD count = 0;
    heap.GetHeapState(&count);
    return count;
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
    EXPECT_EQ(Text("ab" + cd),
              u"ab"
              u"cd");
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
    EXPECT_EQ(payload.size(), 9u);
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
    BOOL ok = FALSE;
    EXPECT_EQ(Text(LoadPayload(std::string("\x00"
                                           "caf\xE9\x80",
                                           6) +
                                   '\0',
                               &ok)),
              u"caf\u00E9\u20AC");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Text(LoadPayload(std::string("\x01"
                                           "ansi",
                                           5),
                               &ok)),
              u"ansi");  // unterminated
    EXPECT_TRUE(ok);
    EXPECT_EQ(Text(LoadPayload(std::string("\x01"
                                           "a\0zz",
                                           5),
                               &ok)),
              u"a");
    // Kind 2 without a terminator, and with an odd byte count.
    CPTStr open = LoadPayload("\x02" + Utf16Bytes(u"ab"), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Text(open), u"ab");
    EXPECT_EQ(open.GetSize(), 6u);
    EXPECT_EQ(Text(LoadPayload(std::string("\x02"
                                           "a\0b",
                                           4),
                               &ok)),
              u"ab");
    // A kind above 2 is UTF-16 and stays so.
    EXPECT_EQ(Text(LoadPayload("\x03" + Utf16Bytes(u"\u20AC!"), &ok)), u"\u20AC!");
    // Chunks too short for any text are empty strings.
    CPTStr none = LoadPayload("", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(none.GetSize(), 0u);
    EXPECT_EQ(LoadPayload("\x02", &ok).GetSize(), 0u);
    EXPECT_TRUE(ok);
}

TEST_F(Strings, DamagedChunksFailWithAnEmptyString) {
    const DWORD baseline = LiveBlocks(qzo::memory::MemPool());
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
    EXPECT_EQ(LiveBlocks(qzo::memory::MemPool()), baseline);
}

}  // namespace
}  // namespace qzo::test
