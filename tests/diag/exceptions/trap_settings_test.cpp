// The trap settings read at load: "TRAPALL" against the per-entry "TRAP_EXC%d" keys, what is
// written back to "QZO.INI", and the debug switches.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "diag/exceptions/diag_fixture.h"
#include "qzobj/frame.h"
#include "qzobj/suitelibs/uikit/debug_output.h"

namespace {

using qzo::test::DiagTest;

constexpr int kEntry = 12;      // INT_DIVIDE_BY_ZERO
constexpr DWORD kMarker = 0x4;  // an action word that loading must either keep or replace

struct TrapCase {
    std::optional<int> trapAll;
    std::optional<int> key;
    DWORD expectedEntry;   // action of entry 12 (kMarker when it must stay as it was)
    DWORD expectedOthers;  // action of entries without a key (kMarker: unchanged)
};

size_t Occurrences(const std::string& text, const std::string& word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

class TrapMatrix : public DiagTest, public ::testing::WithParamInterface<TrapCase> {};

TEST_P(TrapMatrix, ActionWordsAndWrittenKeys) {
    const TrapCase& c = GetParam();
    std::string lines;
    if (c.trapAll) lines += "TRAPALL=" + std::to_string(*c.trapAll) + "\r\n";
    if (c.key) lines += "TRAP_EXC12=" + std::to_string(*c.key) + "\r\n";
    WriteIni(lines);
    tagEXCEPTIONENTRY* table = GetExceptionTable();
    for (int i = 0; i < EXCEPTION_TABLE_SIZE; ++i) table[i].dwAction = kMarker;

    qzo::diag::LoadDebugSettings();

    EXPECT_EQ(table[kEntry].dwAction, c.expectedEntry);
    for (int i = 0; i < EXCEPTION_TABLE_SIZE; ++i) {
        if (i != kEntry) {
            EXPECT_EQ(table[i].dwAction, c.expectedOthers) << "entry " << i;
        }
    }

    const std::string ini = IniText();
    EXPECT_EQ(Occurrences(ini, "DEBUGKEYS=0"), 1u) << ini;
    EXPECT_EQ(Occurrences(ini, "TRAPALL="), 1u) << ini;
    const std::string trapAll = "TRAPALL=" + std::to_string(c.trapAll.value_or(0));
    EXPECT_EQ(Occurrences(ini, trapAll), 1u) << ini;
    EXPECT_EQ(Occurrences(ini, "TRAP_EXC"), c.key ? 1u : 0u) << ini;  // never written back
}

constexpr DWORD kBreak = EXC_ACTION_BREAK;
constexpr DWORD kPass = EXC_ACTION_PASS_ON;
const std::nullopt_t kMissing = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    TrapAllTimesKey, TrapMatrix,
    ::testing::Values(
        // TRAPALL 0 (and missing, and negative): every entry is set from its key, default 0.
        TrapCase{0, 0, 0, 0}, TrapCase{0, 1, kBreak, 0}, TrapCase{0, 2, kPass, 0},
        TrapCase{0, 5, kBreak, 0}, TrapCase{0, kMissing, 0, 0}, TrapCase{kMissing, 2, kPass, 0},
        TrapCase{kMissing, kMissing, 0, 0}, TrapCase{-1, 0, 0, 0}, TrapCase{-1, 1, kBreak, 0},
        TrapCase{-1, 2, kPass, 0}, TrapCase{-1, 5, kBreak, 0}, TrapCase{-1, kMissing, 0, 0},
        // TRAPALL 1: keys default to 1; a non-zero key traps, a zero key changes nothing.
        TrapCase{1, 0, kMarker, kBreak}, TrapCase{1, 1, kBreak, kBreak},
        TrapCase{1, 2, kBreak, kBreak}, TrapCase{1, 5, kBreak, kBreak},
        TrapCase{1, kMissing, kBreak, kBreak},
        // TRAPALL 2: a non-zero key passes the exception on.
        TrapCase{2, 0, kMarker, kPass}, TrapCase{2, 1, kPass, kPass}, TrapCase{2, 2, kPass, kPass},
        TrapCase{2, 5, kPass, kPass}, TrapCase{2, kMissing, kPass, kPass},
        // Above 2 counts as 1.
        TrapCase{3, 0, kMarker, kBreak}, TrapCase{3, 1, kBreak, kBreak},
        TrapCase{3, 2, kBreak, kBreak}, TrapCase{3, 5, kBreak, kBreak},
        TrapCase{3, kMissing, kBreak, kBreak}));

TEST_F(DiagTest, TableHoldsTheKindsInOrder) {
    const tagEXCEPTIONENTRY* table = GetExceptionTable();
    EXPECT_EQ(table[0].dwCode, 0xC0000005u);
    EXPECT_EQ(std::u16string(table[0].szName), u"ACCESS_VIOLATION");
    EXPECT_EQ(table[12].dwCode, 0xC0000094u);
    EXPECT_EQ(std::u16string(table[12].szName), u"INT_DIVIDE_BY_ZERO");
    EXPECT_EQ(table[18].dwCode, 0xC00000FDu);
    EXPECT_EQ(table[20].dwCode, 0x80000001u);
    EXPECT_EQ(std::u16string(table[20].szName), u"GUARD_PAGE");
    EXPECT_EQ(table[21].dwCode, 0u);
    EXPECT_EQ(std::u16string(table[21].szName), u"Warnings (Debug)");
    EXPECT_EQ(std::u16string(table[22].szName), u"Expected exceptions");
    for (int i = 0; i < EXCEPTION_TABLE_SIZE; ++i) {
        EXPECT_EQ(table[i].dwAction, 0u);
        EXPECT_EQ(table[i].uRangeLow, table[i].uRangeHigh);
    }
    EXPECT_EQ(FindExceptionEntry(0xC0000094u), &GetExceptionTable()[12]);
    EXPECT_EQ(FindExceptionEntry(0), nullptr);  // the pseudo-entries carry no code
    EXPECT_EQ(FindExceptionEntry(0xE06D7363u), nullptr);
}

TEST_F(DiagTest, DebugKeysFollowTheSetting) {
    WriteIni("DEBUGKEYS=1\r\n");
    qzo::diag::LoadDebugSettings();
    EXPECT_TRUE(IsDebugKeysOn());
    EXPECT_EQ(SetDebugKeyMode(FALSE), FALSE);
    EXPECT_FALSE(IsDebugKeysOn());
    EXPECT_EQ(QZOBJ_GetProfileInt("QZOUtil", "DEBUGKEYS", 7, FALSE), 0);
    EXPECT_EQ(SetDebugKeyMode(5), TRUE);
    EXPECT_EQ(QZOBJ_GetProfileInt("QZOUtil", "DEBUGKEYS", 7, FALSE), 1);
}

bool KeyADown(int virtualKey) {
    return virtualKey == 'A';
}

TEST_F(DiagTest, AsyncKeyNeedsDebugKeys) {
    qzo::platform::SetKeyStateHook(&KeyADown);
    EXPECT_FALSE(IsDebugKeysOn());
    EXPECT_EQ(IsAsyncKeyPressed('A'), FALSE);  // down, but debug keys are off
    SetDebugKeyMode(TRUE);
    EXPECT_EQ(IsAsyncKeyPressed('A'), TRUE);
    EXPECT_EQ(IsAsyncKeyPressed('B'), FALSE);
    SetDebugKeyMode(FALSE);
    EXPECT_EQ(IsAsyncKeyPressed('A'), FALSE);
    qzo::platform::SetKeyStateHook(nullptr);
    SetDebugKeyMode(TRUE);
    EXPECT_EQ(IsAsyncKeyPressed('A'), FALSE);  // every key is up without a hook
}

TEST_F(DiagTest, DebugModeStartsFromTheDebugOutput) {
    qzo::diag::ResetDebugSwitches();
    EXPECT_FALSE(IsDebugOn());  // the fixture turned the debug output off
    SetDebugMode(TRUE);
    EXPECT_TRUE(IsDebugOn());
    SetDebugMode(FALSE);
    EXPECT_FALSE(IsDebugOn());

    setenv("QZO_DEBUG_OUTPUT", TempPath("debug.txt").c_str(), 1);
    qzo::uikit::ResetDebugOutputTarget();
    qzo::diag::ResetDebugSwitches();
    EXPECT_TRUE(IsDebugOn());
    qzo::diag::ResetDebugSwitches();
    qzo::diag::LoadDebugSettings();
    EXPECT_TRUE(IsDebugOn());
    unsetenv("QZO_DEBUG_OUTPUT");
    qzo::uikit::ResetDebugOutputTarget();
}

TEST_F(DiagTest, DebugExceptionBreaksOnlyWhenAsked) {
    EXPECT_EQ(DebugException(), 1);
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);
    GetExceptionTable()[EXCEPTION_ENTRY_EXPECTED].dwAction = EXC_ACTION_BREAK;
    EXPECT_EQ(DebugException(), 1);
    EXPECT_EQ(qzo::test::g_breaks.load(), 1);
}

}  // namespace
