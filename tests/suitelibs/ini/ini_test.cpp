// The INI text model owns the rules: golden bytes of edits, byte-for-byte preservation of lines
// not edited, and the lookup rules (case, first match, trimming, quotes). The private-profile
// functions add only the file side: where bare names go, results cut to the caller's buffer,
// list forms, refusals, UTF-16LE files, writes that change nothing, and two processes writing
// one file while a third reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qzobj/platform/ini_document.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/profile.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/text.h"

namespace {

using qzo::test::Wide;

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

// Each row: a file, the values set in it, and the file's bytes afterwards (golden).
TEST(IniEdit, SetValueWritesWindowsLines) {
    struct Edit {
        const char* section;
        const char* key;
        const char* value;
    };
    struct Row {
        const char* name;
        std::string before;
        std::vector<Edit> edits;
        std::string after;
    };
    const Row rows[] = {
        {"new document", "", {{"Sec", "Key", "Val"}}, "[Sec]\r\nKey=Val\r\n"},
        {"update in place keeps spelling and spacing",
         "[Sec]\r\nKey = Val  \r\nNext=1\r\n",
         {{"sec", "KEY", "New"}},
         "[Sec]\r\nKey = New  \r\nNext=1\r\n"},
        {"empty values are filled in place",
         "[Sec]\r\nKey=\r\nSpaced = \r\n",
         {{"Sec", "Key", "1"}, {"Sec", "Spaced", "2"}},
         "[Sec]\r\nKey=1\r\nSpaced = 2\r\n"},
        {"new key after the section's last key line",
         "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n",
         {{"a", "z", "3"}},
         "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n"},
        {"new key in a section of only its header",
         "[A]\r\n\r\n[B]\r\n",
         {{"A", "k", "v"}},
         "[A]\r\nk=v\r\n\r\n[B]\r\n"},
        {"new section at the end",
         "[A]\r\nx=1\r\n",
         {{"C", "k", "v"}},
         "[A]\r\nx=1\r\n[C]\r\nk=v\r\n"},
        {"new section after a last line without a break",
         "[A]\nx=1",
         {{"C", "k", "v"}},
         "[A]\nx=1\r\n[C]\r\nk=v\r\n"},
        {"new section behind a UTF-8 mark",
         "\xEF\xBB\xBF",
         {{"C", "k", "v"}},
         "\xEF\xBB\xBF[C]\r\nk=v\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Document document(row.before);
        for (const Edit& edit : row.edits)
            EXPECT_TRUE(document.SetValue(edit.section, edit.key, edit.value));
        EXPECT_EQ(document.bytes(), row.after);
    }
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

// ---- The private-profile functions on real files.

using namespace qzo::platform;
using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;

class Ini : public qzo::test::QzoTest {
  protected:
    std::string IniPath() const { return WinDir() + "/QZO.INI"; }

    // Reads through the narrow function with a 64-character buffer.
    std::string Get(const char* section, const char* key, const char* def = "<def>",
                    const char* file = "QZO.INI") {
        char buffer[64];
        const DWORD length = GetPrivateProfileStringA(section, key, def, buffer, 64, file);
        EXPECT_EQ(length, std::strlen(buffer));
        return buffer;
    }
};

// The bytes of a UTF-16LE file with its byte-order mark.
std::string Utf16LeFile(const std::u16string& text) {
    std::string raw = "\xFF\xFE";
    for (char16_t unit : text) {
        raw.push_back(static_cast<char>(unit & 0xFF));
        raw.push_back(static_cast<char>(unit >> 8));
    }
    return raw;
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Ini, BareNameLandsInTheWindowsDirectory) {
    // A missing file gives the default, and reads never create anything.
    EXPECT_EQ(Get("S", "k"), "<def>");
    EXPECT_EQ(Get("S", "k", nullptr), "");
    ASSERT_FALSE(FileExists(WinDir()));
    ASSERT_TRUE(WritePrivateProfileStringA("Sec", "Key", "Val", "QZO.INI"));
    EXPECT_EQ(ReadFileBytes(IniPath()), "[Sec]\r\nKey=Val\r\n");
    EXPECT_EQ(Get("sec", "KEY"), "Val");
    // The bare name is found without case.
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "w", "Qzo.Ini"));
    EXPECT_EQ(Get("S", "k", "", "qzo.ini"), "w");
    EXPECT_FALSE(FileExists(WinDir() + "/Qzo.Ini"));
    EXPECT_EQ(ReadFileBytes(IniPath()), "[Sec]\r\nKey=Val\r\n[S]\r\nk=w\r\n");
}

TEST_F(Ini, ReadsAreCutAtSizeMinusOne) {
    const std::string path = TempPath("r.ini");
    WriteFileBytes(path, "[S]\r\nplain=  hello world  \r\n");
    char buffer[8];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA("S", "plain", "", buffer, 6, path.c_str()), 5u);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(buffer[6], 'X');
    EXPECT_EQ(GetPrivateProfileStringA("S", "missing", "toolong", buffer, 4, path.c_str()), 3u);
    EXPECT_STREQ(buffer, "too");

    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA("S", "plain", "", buffer, 0, path.c_str()), 0u);
    EXPECT_EQ(buffer[0], 'X');
    EXPECT_EQ(GetPrivateProfileStringA("S", "plain", "", nullptr, 8, path.c_str()), 0u);

    // A multi-byte character is never split.
    WriteFileBytes(path, "[S]\r\nu=ab\xC3\xA9\r\n");
    EXPECT_EQ(GetPrivateProfileStringA("S", "u", "", buffer, 4, path.c_str()), 2u);
    EXPECT_STREQ(buffer, "ab");
}

TEST_F(Ini, ListFormsEndWithTwoTerminators) {
    const std::string path = TempPath("l.ini");
    WriteFileBytes(path, "[One]\r\na=1\r\nb=2\r\n[Two]\r\nc=3\r\n[one]\r\nd=4\r\n");
    char buffer[32];
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 32, path.c_str()), 8u);
    EXPECT_EQ(std::string(buffer, 9), std::string("One\0Two\0\0", 9));
    EXPECT_EQ(GetPrivateProfileStringA("ONE", nullptr, "", buffer, 32, path.c_str()), 6u);
    EXPECT_EQ(std::string(buffer, 7), std::string("a\0b\0d\0\0", 7));
    // Cut: the list ends with two terminators and size-2 is returned.
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 6, path.c_str()), 4u);
    EXPECT_EQ(std::string(buffer, 7), std::string("One\0\0\0X", 7));
    // A missing file lists nothing.
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 32, "absent.ini"), 0u);
    EXPECT_EQ(std::string(buffer, 2), std::string("\0\0", 2));
}

TEST_F(Ini, WideFunctionsRoundTrip) {
    const std::u16string path = u"Wide.INI";
    ASSERT_TRUE(WritePrivateProfileStringW(u"Sekti\u00f6n", u"Schl\u00fcssel", u"W\u00e4rt \u20ac",
                                           path.c_str()));
    WCHAR buffer[32];
    EXPECT_EQ(
        GetPrivateProfileStringW(u"SEKTI\u00f6N", u"schl\u00fcssel", u"", buffer, 32, u"wide.ini"),
        6u);
    EXPECT_EQ(std::u16string(buffer), u"W\u00e4rt \u20ac");
    EXPECT_EQ(ReadFileBytes(WinDir() + "/Wide.INI"),
              "[Sekti\xC3\xB6n]\r\nSchl\xC3\xBCssel=W\xC3\xA4rt \xE2\x82\xAC\r\n");
    EXPECT_EQ(GetPrivateProfileStringW(u"x", u"y", u"dflt", buffer, 3, path.c_str()), 2u);
    EXPECT_EQ(std::u16string(buffer), u"df");
}

TEST_F(Ini, RefusesTextThatWouldReadBackAsSomethingElse) {
    const std::string path = TempPath("refused.ini");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {nullptr, "k", "v"}, {"", "k", "v"},    {"a]b", "k", "v"}, {"a\nb", "k", "v"},
        {"s", "a=b", "v"},   {"s", "k\r", "v"}, {"s", "k", "v\n"}, {"s", "", "v"},
        {" s", "k", "v"},    {"s", "k ", "v"},  {"s", ";k", "v"},  {"s", "[k]", "v"},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, path.c_str()))
            << (c.section ? c.section : "(null)") << " / " << c.key;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(WritePrivateProfileStringW(u"s", u"k", u"v", nullptr));
}

// A null value deletes the key, a null key the section; a hand-edited LF file keeps its bytes.
TEST_F(Ini, DeletesKeysAndSections) {
    const std::string path = TempPath("d.ini");
    WriteFileBytes(path, "; by hand\n[A]\nx=1\ny = 2  \n[B]\nz=3\n");
    ASSERT_TRUE(WritePrivateProfileStringA("a", "X", nullptr, path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "; by hand\n[A]\ny = 2  \n[B]\nz=3\n");
    ASSERT_TRUE(WritePrivateProfileStringA("b", nullptr, nullptr, path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), "; by hand\n[A]\ny = 2  \n");
    // Deleting from a file that does not exist creates nothing.
    ASSERT_TRUE(WritePrivateProfileStringA("a", "x", nullptr, TempPath("none.ini").c_str()));
    EXPECT_FALSE(FileExists(TempPath("none.ini")));
}

TEST_F(Ini, WriteThatChangesNothingLeavesTheFileAlone) {
    ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "QZO.INI"));
    const ino_t before = InodeOf(IniPath());
    const std::string bytes = ReadFileBytes(IniPath());
    ASSERT_NE(before, 0u);
    EXPECT_TRUE(WritePrivateProfileStringA("s", "K", "v", "QZO.INI"));
    EXPECT_TRUE(WritePrivateProfileStringA("S", "absent", nullptr, "QZO.INI"));
    EXPECT_TRUE(WritePrivateProfileStringA("Absent", nullptr, nullptr, "QZO.INI"));
    EXPECT_EQ(InodeOf(IniPath()), before);
    EXPECT_EQ(ReadFileBytes(IniPath()), bytes);
}

TEST_F(Ini, Utf16FileStaysUtf16) {
    const std::string path = TempPath("wide16.ini");
    WriteFileBytes(path, Utf16LeFile(u"[S]\r\nk=\u00e9t\u00e9\r\n"));
    WCHAR buffer[16];
    const std::u16string widePath = Wide(path);
    EXPECT_EQ(GetPrivateProfileStringW(u"s", u"K", u"", buffer, 16, widePath.c_str()), 3u);
    EXPECT_EQ(std::u16string(buffer), u"\u00e9t\u00e9");

    ASSERT_TRUE(WritePrivateProfileStringA("S", "n", "2", path.c_str()));
    EXPECT_EQ(ReadFileBytes(path), Utf16LeFile(u"[S]\r\nk=\u00e9t\u00e9\r\nn=2\r\n"));
}

TEST_F(Ini, WindowsDirectoryThatCannotBeMadeFailsTheWrite) {
    WriteFileBytes(WinDir(), "a file where the folder should be");
    EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", "QZO.INI"));
    EXPECT_EQ(Get("S", "k"), "<def>");
}

// ---- Two processes write distinct keys into one profile file while this process keeps reading
// it: no key is lost and every read sees a whole, well-formed file.

constexpr int kKeysPerWriter = 300;

// ini_write_keys <file> <prefix> <count>: writes <prefix><i>=<i> into section "Race".
QZO_PEER_COMMAND(ini_write_keys) {
    if (args.size() != 3) return "BAD ARGS";
    const int count = std::stoi(args[2]);
    for (int i = 0; i < count; ++i) {
        const std::string key = args[1] + std::to_string(i);
        const std::string value = std::to_string(i);
        if (!qzo::platform::WritePrivateProfileStringA("Race", key.c_str(), value.c_str(),
                                                       args[0].c_str())) {
            return "FAIL " + key + " " + std::to_string(qzo::platform::GetLastError());
        }
    }
    return "OK";
}

// Number of keys in a snapshot of the file, or -1 when a line is not one the writers produce.
int CountWellFormedKeys(const std::string& bytes) {
    if (bytes.empty()) return 0;
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0) return -1;
    std::istringstream lines(bytes);
    std::string line;
    int keys = 0;
    bool header = true;
    while (std::getline(lines, line)) {
        if (line.empty() || line.back() != '\r') return -1;
        line.pop_back();
        if (header) {
            if (line != "[Race]") return -1;
            header = false;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals < 2 || (line[0] != 'a' && line[0] != 'b') ||
            line.substr(1, equals - 1) != line.substr(equals + 1)) {
            return -1;
        }
        ++keys;
    }
    return keys;
}

class IniRace : public qzo::test::QzoTest {};

TEST_F(IniRace, TwoWritersAndAReaderLoseNothing) {
    const std::string path = TempPath("race.ini");
    qzo::test::Peer writerA;
    qzo::test::Peer writerB;
    ASSERT_TRUE(writerA.Start());
    ASSERT_TRUE(writerB.Start());
    std::atomic<int> finished{0};
    std::string answerA;
    std::string answerB;
    const std::string count = std::to_string(kKeysPerWriter);
    std::thread runA([&] {
        answerA = writerA.Call("ini_write_keys " + path + " a " + count);
        ++finished;
    });
    std::thread runB([&] {
        answerB = writerB.Call("ini_write_keys " + path + " b " + count);
        ++finished;
    });

    // Keys are only ever added, so every snapshot must hold at least as many as the last one.
    int reads = 0;
    int malformed = 0;
    int shrank = 0;
    int lastCount = 0;
    std::vector<char> list(16384);
    while (finished.load() < 2) {
        const int keys = CountWellFormedKeys(qzo::test::ReadFileBytes(path));
        if (keys < 0) ++malformed;
        if (keys >= 0 && keys < lastCount) ++shrank;
        if (keys > lastCount) lastCount = keys;
        qzo::platform::GetPrivateProfileStringA("Race", nullptr, "", list.data(),
                                                static_cast<DWORD>(list.size()), path.c_str());
        ++reads;
        std::this_thread::yield();
    }
    runA.join();
    runB.join();
    EXPECT_EQ(answerA, "OK");
    EXPECT_EQ(answerB, "OK");
    EXPECT_EQ(malformed, 0) << "out of " << reads << " reads";
    EXPECT_EQ(shrank, 0);

    const std::string final = qzo::test::ReadFileBytes(path);
    EXPECT_EQ(CountWellFormedKeys(final), 2 * kKeysPerWriter);
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kKeysPerWriter; ++i) {
            const std::string key = prefix + std::to_string(i);
            char value[16];
            qzo::platform::GetPrivateProfileStringA("Race", key.c_str(), "", value, 16,
                                                    path.c_str());
            ASSERT_EQ(std::string(value), std::to_string(i)) << key;
        }
    }
}

}  // namespace
