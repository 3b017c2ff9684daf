// The INI text model: golden bytes of edits, byte-for-byte preservation of lines not edited,
// and the lookup rules (case, first match, trimming, quotes).
#include "qzobj/platform/ini_document.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qzo::platform::ini::Document;
using qzo::platform::ini::FindValue;
using qzo::platform::ini::ListKeys;
using qzo::platform::ini::ListSections;
using qzo::platform::ini::QuoteForStorage;
using qzo::platform::ini::Unquote;

// The value of a key, or "<missing>".
std::string Lookup(std::string_view document, std::string_view section, std::string_view key) {
    std::string_view value;
    return FindValue(document, section, key, value) ? std::string(value) : "<missing>";
}

// A hand-edited LF file with every kind of line the engine must keep as it is.
const std::string kOddFile =
    "; leading comment = not a key\n"
    "orphan=before any section\n"
    "[Main]  \n"
    "key1 = one  \n"
    "just words\n"
    "# hash comment\n"
    "\n"
    "key2=two\n"
    "   \n"
    "[Other]\n"
    "[unterminated\n"
    "k=v";

TEST(IniEdit, NewDocumentGoldenBytes) {
    Document document;
    EXPECT_TRUE(document.SetValue("Sec", "Key", "Val"));
    EXPECT_EQ(document.bytes(), "[Sec]\r\nKey=Val\r\n");
}

TEST(IniEdit, UpdateInPlaceKeepsSpellingAndSpacing) {
    Document document("[Sec]\r\nKey = Val  \r\nNext=1\r\n");
    EXPECT_TRUE(document.SetValue("sec", "KEY", "New"));
    EXPECT_EQ(document.bytes(), "[Sec]\r\nKey = New  \r\nNext=1\r\n");

    Document empty("[Sec]\r\nKey=\r\nSpaced = \r\n");
    EXPECT_TRUE(empty.SetValue("Sec", "Key", "1"));
    EXPECT_TRUE(empty.SetValue("Sec", "Spaced", "2"));
    EXPECT_EQ(empty.bytes(), "[Sec]\r\nKey=1\r\nSpaced = 2\r\n");
}

TEST(IniEdit, NewKeyGoesAfterLastKeyLineOfItsSection) {
    Document document("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    EXPECT_TRUE(document.SetValue("a", "z", "3"));
    EXPECT_EQ(document.bytes(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n");

    Document headerOnly("[A]\r\n\r\n[B]\r\n");
    EXPECT_TRUE(headerOnly.SetValue("A", "k", "v"));
    EXPECT_EQ(headerOnly.bytes(), "[A]\r\nk=v\r\n\r\n[B]\r\n");
}

TEST(IniEdit, NewSectionGoesAtTheEnd) {
    Document document("[A]\r\nx=1\r\n");
    EXPECT_TRUE(document.SetValue("C", "k", "v"));
    EXPECT_EQ(document.bytes(), "[A]\r\nx=1\r\n[C]\r\nk=v\r\n");

    Document noFinalBreak("[A]\nx=1");
    EXPECT_TRUE(noFinalBreak.SetValue("C", "k", "v"));
    EXPECT_EQ(noFinalBreak.bytes(), "[A]\nx=1\r\n[C]\r\nk=v\r\n");

    Document utf8Mark("\xEF\xBB\xBF");
    EXPECT_TRUE(utf8Mark.SetValue("C", "k", "v"));
    EXPECT_EQ(utf8Mark.bytes(), "\xEF\xBB\xBF[C]\r\nk=v\r\n");
}

TEST(IniEdit, OddLinesSurviveEditsByteForByte) {
    Document update(kOddFile);
    EXPECT_TRUE(update.SetValue("MAIN", "Key1", "ONE"));
    std::string expected = kOddFile;
    expected.replace(expected.find("one"), 3, "ONE");
    EXPECT_EQ(update.bytes(), expected);

    Document add(kOddFile);
    EXPECT_TRUE(add.SetValue("Main", "key3", "three"));
    expected = kOddFile;
    expected.insert(expected.find("key2=two\n") + 9, "key3=three\r\n");
    EXPECT_EQ(add.bytes(), expected);

    Document addAtEnd(kOddFile);
    EXPECT_TRUE(addAtEnd.SetValue("other", "new", "1"));
    EXPECT_EQ(addAtEnd.bytes(), kOddFile + "\r\nnew=1\r\n");
}

TEST(IniEdit, SameValueChangesNothing) {
    Document document(kOddFile);
    EXPECT_FALSE(document.SetValue("Main", "key2", "two"));
    EXPECT_FALSE(document.SetValue("main", "KEY1", "one"));
    EXPECT_EQ(document.bytes(), kOddFile);
}

TEST(IniEdit, DeleteKeyAndSection) {
    Document document("[A]\r\nx=1\r\ny=2\r\nX=3\r\n[B]\r\nx=4\r\n[a]\r\nx=5\r\n");
    EXPECT_TRUE(document.DeleteKey("A", "x"));
    EXPECT_EQ(document.bytes(), "[A]\r\ny=2\r\n[B]\r\nx=4\r\n[a]\r\n");
    EXPECT_FALSE(document.DeleteKey("A", "missing"));
    EXPECT_TRUE(document.DeleteSection("a"));
    EXPECT_EQ(document.bytes(), "[B]\r\nx=4\r\n");
    EXPECT_FALSE(document.DeleteSection("Z"));
}

TEST(IniEdit, AddSectionAndNames) {
    Document document("[One]\r\n[two]\r\n[ONE]\r\n");
    EXPECT_FALSE(document.AddSection("TWO"));
    EXPECT_TRUE(document.AddSection("Three"));
    EXPECT_EQ(document.bytes(), "[One]\r\n[two]\r\n[ONE]\r\n[Three]\r\n");
    EXPECT_EQ(document.SectionNames(), (std::vector<std::string>{"One", "two", "Three"}));
}

TEST(IniRead, CaseFirstMatchAndTrimming) {
    const std::string document =
        "top=ignored\r\n"
        "[ Sec ]\r\n"
        "Name =  first  \r\n"
        "NAME=second\r\n"
        "\tTabbed\t=\tvalue\t\r\n"
        "novalue\r\n"
        "empty=\r\n"
        "[sec]\r\n"
        "later=found\r\n"
        "name=third\r\n";
    EXPECT_EQ(Lookup(document, "SEC", "name"), "first");
    EXPECT_EQ(Lookup(document, "sec", "tabbed"), "value");
    EXPECT_EQ(Lookup(document, "Sec", "later"), "found");
    EXPECT_EQ(Lookup(document, "Sec", "empty"), "");
    EXPECT_EQ(Lookup(document, "Sec", "novalue"), "<missing>");
    EXPECT_EQ(Lookup(document, "Sec", "top"), "<missing>");
    EXPECT_EQ(Lookup(document, "Nope", "name"), "<missing>");
}

TEST(IniRead, OnePairOfQuotesIsStripped) {
    const std::string document =
        "[Q]\n"
        "double=\"  padded  \"\n"
        "single='x'\n"
        "twice=\"\"both\"\"\n"
        "mixed=\"x'\n"
        "lone=\"\n"
        "inner=a \"b\" c\n";
    EXPECT_EQ(Lookup(document, "Q", "double"), "  padded  ");
    EXPECT_EQ(Lookup(document, "Q", "single"), "x");
    EXPECT_EQ(Lookup(document, "Q", "twice"), "\"both\"");
    EXPECT_EQ(Lookup(document, "Q", "mixed"), "\"x'");
    EXPECT_EQ(Lookup(document, "Q", "lone"), "\"");
    EXPECT_EQ(Lookup(document, "Q", "inner"), "a \"b\" c");
}

TEST(IniRead, Utf8MarkAndCrlfMixtures) {
    const std::string document = "\xEF\xBB\xBF[First]\r\na=1\nb=2\r\n";
    EXPECT_EQ(Lookup(document, "first", "a"), "1");
    EXPECT_EQ(Lookup(document, "first", "b"), "2");
}

TEST(IniRead, ListForms) {
    std::string sections;
    ListSections("[A]\nx=1\n[b]\n[a]\ny=2\n", sections);
    EXPECT_EQ(sections, std::string("A\0b\0", 4));
    std::string keys;
    ListKeys("[A]\nx=1\n;c=2\nodd\n[b]\nz=0\n[a]\ny=2\n", "a", keys);
    EXPECT_EQ(keys, std::string("x\0y\0", 4));
}

TEST(IniRead, QuotingForStorageRoundTrips) {
    for (std::string_view value :
         {"", "plain", " lead", "trail ", "\"quoted\"", "'q'", "\"", "a=b"}) {
        const std::string stored = QuoteForStorage(value);
        Document document;
        document.SetValue("S", "k", stored);
        EXPECT_EQ(Lookup(document.bytes(), "S", "k"), value) << "stored as " << stored;
    }
    EXPECT_EQ(QuoteForStorage("plain"), "plain");
    EXPECT_EQ(Unquote("\"a\""), "a");
}

}  // namespace
