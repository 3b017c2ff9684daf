// String utilities: legalising file names, appending, table lookup, tags in read-only text,
// masked copies, the guarded zero test, resource strings with defaults, and GUID text.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "qzobj/diag.h"
#include "qzobj/platform/guard.h"
#include "qzobj/strings.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace qzo::test {
namespace {

using Strings = QzoTest;

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

TEST_F(Strings, GuidTextHasElevenDashedNumbers) {
    const GUID guid = {
        0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    GUIDcv cv(guid);
    const std::u16string text = static_cast<const WCHAR*>(cv);
    EXPECT_EQ(text, u"0123abcd-4567-89ef-01-23-45-67-89-ab-cd-ef");
    EXPECT_EQ(text.size(), 42u);
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
    const GUID quiet = GUIDcv(u"nonsense");
    EXPECT_TRUE(quiet == GUID{});
    EXPECT_EQ(capture.Count(), 0u);  // only while debugging
}

}  // namespace
}  // namespace qzo::test
