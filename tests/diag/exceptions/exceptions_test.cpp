// Exception analysis and warnings: AnalyseException's exact report and its trap actions, ranges
// and module filters; the trap settings read at load ("TRAPALL" against the per-entry
// "TRAP_EXC%d" keys) and what is written back to "QZO.INI", also acting on a real guarded fault
// in a peer process; the debug switches; WarningMsg with its stack walk and the actions of the
// "Warnings (Debug)" entry; DetailedMessageBeep and the frame functions.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "diag/exceptions/diag_fixture.h"
#include "qzobj/frame.h"
#include "qzobj/platform/guard.h"
#include "qzobj/suitelibs/uikit/debug_output.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/text.h"

// Exported and never inlined, so the module filter and the stack walk have a module and a name.
extern "C" __attribute__((noipa, visibility("default"))) int DiagProbeFunction(int value) {
    return value * 3 + 1;
}

extern "C" __attribute__((noipa, visibility("default"))) void DiagWarnAtDepth(
    int depth, const char16_t* text) {
    if (depth > 0) {
        DiagWarnAtDepth(depth - 1, text);
        asm volatile("");  // keeps the call from becoming a jump
        return;
    }
    WarningMsg(text, GetAddress(), GetEBP());
}

extern "C" __attribute__((noipa, visibility("default"))) void DiagFrameProbe(void** out) {
    out[0] = GetAddress();
    out[1] = GetRetAddress();
    out[2] = GetEBP();
    out[3] = GetLastEBP();
    out[4] = __builtin_return_address(0);
    out[5] = __builtin_frame_address(0);
    out[6] = *static_cast<void**>(__builtin_frame_address(0));
}

namespace {

using qzo::test::CountOf;
using qzo::test::DebugCapture;
using qzo::test::DiagTest;
using qzo::test::FakeException;
using qzo::test::g_breaks;

const void* const kFarAddress = reinterpret_cast<const void*>(uintptr_t{0x1234});
const void* const kProbeAddress = reinterpret_cast<const void*>(&DiagProbeFunction);

std::vector<std::string> Lines(const DebugCapture& capture) {
    std::vector<std::string> lines;
    for (const auto& message : capture.Messages()) lines.push_back(message.Utf8());
    return lines;
}

tagEXCEPTIONENTRY& Entry(int index) {
    return GetExceptionTable()[index];
}

// The first line of every report.
std::string ExceptionLine(DWORD code, const void* address) {
    char line[64];
    std::snprintf(line, sizeof line, "\r\nException 0x%08X @ 0x%016llX\r\n", unsigned(code),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    return line;
}

class AnalyseExceptionTest : public DiagTest {
  protected:
    FakeException divide{0xC0000094u, kFarAddress};

    void SetUp() override {
        DiagTest::SetUp();
        CONTEXT& c = divide.context;
        c.Rax = 1, c.Rbx = 2, c.Rcx = 3, c.Rdx = 4, c.Rdi = 5, c.Rsi = 6, c.Rsp = 7, c.Rbp = 0;
        c.R8 = 8, c.R9 = 9, c.R10 = 10, c.R11 = 11, c.R12 = 12, c.R13 = 13, c.R14 = 14;
        c.R15 = 0xFEDCBA9876543210ull;
        c.SegGs = 0x11, c.SegFs = 0x22, c.SegEs = 0x33, c.SegDs = 0x44, c.SegSs = 0x2B;
    }
};

// The actions, ranges and module filters of the entries: whether the report stops after its
// first line or goes on in full, the filter's answer (1 handles, 0 passes on) and the breaks.
TEST_F(AnalyseExceptionTest, ActionsRangesAndModuleFilters) {
    struct Row {
        const char* name;
        bool debug;
        const void* address;
        DWORD action;  // of entry 12, INT_DIVIDE_BY_ZERO
        uintptr_t low, high;
        const char* module;          // entry 12's module filter
        const char* warningsModule;  // with the MODULE action on the warnings entry
        LONG result;
        bool full;
        int breaks;
    };
    const DWORD kBreak = EXC_ACTION_BREAK, kPass = EXC_ACTION_PASS_ON;
    const Row rows[] = {
        {"outside debug mode the actions are ignored", false, kFarAddress, kBreak | kPass, 0, 0, "",
         nullptr, 1, false, 0},
        {"break outside debug mode", false, kFarAddress, kBreak, 0, 0, "", nullptr, 1, false, 0},
        {"break in debug mode", true, kFarAddress, kBreak, 0, 0, "", nullptr, 1, true, 1},
        {"silent", true, kFarAddress, EXC_ACTION_SILENT, 0, 0, "", nullptr, 1, false, 0},
        {"silent pass-on does not break", true, kFarAddress, EXC_ACTION_SILENT | kPass | kBreak, 0,
         0, "", nullptr, 0, false, 0},
        {"pass-on after the full report", true, kFarAddress, kPass, 0, 0, "", nullptr, 0, true, 0},
        {"a range ending at the address", true, kFarAddress, kBreak, 0x1000, 0x1234, "", nullptr, 1,
         false, 0},
        {"a range holding the address", true, kFarAddress, kBreak, 0x1000, 0x1235, "", nullptr, 1,
         true, 1},
        {"the entry's module not involved", true, kProbeAddress, EXC_ACTION_MODULE, 0, 0,
         "libnowhere", nullptr, 1, false, 0},
        {"the entry's module involved, in any case", true, kProbeAddress, EXC_ACTION_MODULE, 0, 0,
         "QZO_TESTS_DIAG", nullptr, 1, true, 0},
        // The warnings entry's filter uses the module of the entry the code found.
        {"warnings filter, found entry's module not involved", true, kProbeAddress, 0, 0, 0,
         "libnowhere.so", "qzo_tests_diag", 1, false, 0},
        {"warnings filter, found entry's module involved", true, kProbeAddress, 0, 0, 0,
         "qzo_tests_diag", "qzo_tests_diag", 1, true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qzo::diag::ResetDebugSwitches();
        SetDebugMode(row.debug);
        g_breaks = 0;
        Entry(12).dwAction = row.action;
        Entry(12).uRangeLow = row.low;
        Entry(12).uRangeHigh = row.high;
        std::snprintf(Entry(12).Trace.szModule, 16, "%s", row.module);
        if (row.warningsModule) {
            Entry(EXCEPTION_ENTRY_WARNINGS).dwAction = EXC_ACTION_MODULE;
            std::snprintf(Entry(EXCEPTION_ENTRY_WARNINGS).Trace.szModule, 16, "%s",
                          row.warningsModule);
        }
        FakeException exception{0xC0000094u, row.address};
        DebugCapture capture;
        EXPECT_EQ(AnalyseException(&exception.pointers), row.result);
        const auto messages = capture.Messages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages[0].Utf8(), ExceptionLine(0xC0000094u, row.address));
        EXPECT_EQ(messages[0].channel, 0);
        if (row.full) {
            EXPECT_GT(messages.size(), 10u);
        } else {
            EXPECT_EQ(messages.size(), 1u);
        }
        EXPECT_EQ(g_breaks.load(), row.breaks);
    }
}

TEST_F(AnalyseExceptionTest, WithoutInformation) {
    DebugCapture capture;
    EXPECT_EQ(AnalyseException(nullptr), 1);
    EXCEPTION_POINTERS empty{nullptr, nullptr};
    SetDebugMode(TRUE);
    EXPECT_EQ(AnalyseException(&empty), 1);
    const std::string line = "\r\nException, NO EXCEPTION INFORMATION!!!!!\r\n";
    EXPECT_EQ(Lines(capture), (std::vector<std::string>{line, line}));
}

// Every line of the report in order; a '*' at the end of an expected line stands for the rest.
void ExpectReport(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& want = expected[i];
        if (!want.empty() && want.back() == '*') {
            EXPECT_EQ(lines[i].substr(0, want.size() - 1), want.substr(0, want.size() - 1)) << i;
        } else {
            EXPECT_EQ(lines[i], want) << i;
        }
    }
}

TEST_F(AnalyseExceptionTest, DebugModeWritesTheWholeReport) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    const auto lines = Lines(capture);
    ExpectReport(lines, {
                            "\r\nException 0xC0000094 @ 0x0000000000001234\r\n",
                            "\r\nINT_DIVIDE_BY_ZERO @ 0x0000000000001234",
                            "\rNumber of processors: *",
                            "\rMemory load         : *",
                            "\rTotal physical      : *",
                            "\rAvailable physical  : *",
                            "\rTotal pageable      : *",
                            "\rAvailable pageable  : *",
                            "\rTotal virtual       : *",
                            "\rAvailable virtual   : *",
                            "\r\nGS =00000011 FS =00000022 ES =00000033 DS =00000044 SS =0000002B",
                            "\r\nRAX=0000000000000001 RBX=0000000000000002",
                            "\r\nRCX=0000000000000003 RDX=0000000000000004",
                            "\r\nRDI=0000000000000005 RSI=0000000000000006",
                            "\r\nRSP=0000000000000007 RBP=0000000000000000",
                            "\r\nR8 =0000000000000008 R9 =0000000000000009",
                            "\r\nR10=000000000000000A R11=000000000000000B",
                            "\r\nR12=000000000000000C R13=000000000000000D",
                            "\r\nR14=000000000000000E R15=FEDCBA9876543210",
                            "\r\nCall stack:\r\n",
                            "\r0000000000001234  ?\r\n",  // no module holds the address
                        });
    ASSERT_GT(lines.size(), 3u);
    EXPECT_EQ(lines[3].back(), '%');
    EXPECT_EQ(g_breaks.load(), 0);
}

TEST_F(AnalyseExceptionTest, UnknownCodeRepeatsTheExceptionLineAndHasNoEntry) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    FakeException unknown{0xE06D7363u, kFarAddress};
    EXPECT_EQ(AnalyseException(&unknown.pointers), 1);
    const auto lines = Lines(capture);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "\r\nException 0xE06D7363 @ 0x0000000000001234\r\n");
    EXPECT_EQ(lines[1], "\r\nException 0xE06D7363 @ 0x0000000000001234");
    EXPECT_EQ(lines[2].rfind("\rNumber of processors: ", 0), 0u);
    EXPECT_EQ(FindExceptionEntry(0xE06D7363u), nullptr);
    EXPECT_EQ(FindExceptionEntry(0xC0000094u), &GetExceptionTable()[12]);
    EXPECT_EQ(FindExceptionEntry(0), nullptr);  // the pseudo-entries carry no code
}

TEST_F(AnalyseExceptionTest, TraceNamesTheExceptionAddress) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    FakeException inProbe{0xC0000005u, kProbeAddress};
    Entry(0).dwAction = EXC_ACTION_DETAILED;
    EXPECT_EQ(AnalyseException(&inProbe.pointers), 1);
    const auto lines = Lines(capture);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("\r\nACCESS_VIOLATION @ 0x", 0), 0u);
    EXPECT_NE(lines.back().find("qzo_tests_diag+0x"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("DiagProbeFunction+0x0"), std::string::npos) << lines.back();
}

// Peer side: trap settings from "QZO.INI", debug mode on, then an integer division by zero in a
// guarded body whose filter is AnalyseException.
std::atomic<int> g_peerBreaks{0};
void CountPeerBreak() {
    g_peerBreaks.fetch_add(1);
}

LONG AnalyseFilter(EXCEPTION_POINTERS* pointers, void*) {
    return AnalyseException(pointers);
}

QZO_PEER_COMMAND(diag_trapped_division) {
    qzo::diag::ResetDebugSwitches();
    qzo::diag::LoadDebugSettings();
    SetDebugMode(TRUE);
    qzo::diag::SetDebuggerBreakHook(&CountPeerBreak);
    volatile int divisor = 0;
    volatile int result = 0;
    DWORD code = 0;
    auto body = [&] { result = 7 / divisor; };
    const bool finished = qzo::platform::Guarded(body, &AnalyseFilter, nullptr, &code);
    return std::string(finished ? "FINISHED " : "HANDLED ") + qzo::test::Hex8(code) +
           " breaks=" + std::to_string(g_peerBreaks.load());
}

// Key 1 reports, breaks and handles; key 2 passes the fault on and the peer dies by it; no key
// handles without a break.
TEST_F(DiagTest, TrappedDivisionInAPeer) {
    if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "signal guard compiled out";
    struct Row {
        const char* ini;
        const char* answer;
        int signal;  // 0: the peer exits normally
    };
    const Row rows[] = {
        {"TRAPALL=0\r\nTRAP_EXC12=1\r\n", "HANDLED C0000094 breaks=1", 0},
        {"TRAPALL=0\r\nTRAP_EXC12=2\r\n", "", SIGFPE},
        {"TRAPALL=0\r\n", "HANDLED C0000094 breaks=0", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ini);
        WriteIni(row.ini);
        qzo::test::Peer peer;
        ASSERT_TRUE(peer.Start());
        EXPECT_EQ(peer.Call("diag_trapped_division"), row.answer);
        const auto exit = peer.Wait();
        EXPECT_EQ(exit.signaled, row.signal != 0);
        EXPECT_EQ(row.signal ? exit.signal : exit.code, row.signal);
    }
}

// The action words of entry 12 (with a key) and of the entries without a key after loading, for
// TRAPALL against the key; kMarker stands for "left as it was", kMissing for a line not written.
TEST_F(DiagTest, TrapSettingsActionWordsAndWrittenKeys) {
    constexpr int kMissing = -100;
    constexpr DWORD kMarker = 0x4;
    const DWORD kBreak = EXC_ACTION_BREAK, kPass = EXC_ACTION_PASS_ON;
    // For each TRAPALL value: the action of the entries without a key, and entry 12's action for
    // the keys 0, 1, 2, 5 and none. TRAPALL 0 (or none, or negative) sets every entry from its
    // key, default 0; 1 (and above 2) makes keys default to 1, a non-zero key traps and a zero key
    // changes nothing; 2 makes a non-zero key pass the exception on.
    const int keys[] = {0, 1, 2, 5, kMissing};
    struct Trap {
        int trapAll;
        DWORD others;
        DWORD entry[5];
    };
    const Trap traps[] = {
        {0, 0, {0, kBreak, kPass, kBreak, 0}},
        {kMissing, 0, {0, kBreak, kPass, kBreak, 0}},
        {-1, 0, {0, kBreak, kPass, kBreak, 0}},
        {1, kBreak, {kMarker, kBreak, kBreak, kBreak, kBreak}},
        {2, kPass, {kMarker, kPass, kPass, kPass, kPass}},
        {3, kBreak, {kMarker, kBreak, kBreak, kBreak, kBreak}},
    };
    struct Row {
        int trapAll, key;
        DWORD entry, others;
    };
    std::vector<Row> rows;
    for (const Trap& trap : traps)
        for (int k = 0; k < 5; ++k)
            rows.push_back({trap.trapAll, keys[k], trap.entry[k], trap.others});
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.trapAll) + " " + std::to_string(row.key));
        std::string lines;
        if (row.trapAll != kMissing) lines += "TRAPALL=" + std::to_string(row.trapAll) + "\r\n";
        if (row.key != kMissing) lines += "TRAP_EXC12=" + std::to_string(row.key) + "\r\n";
        WriteIni(lines);
        qzo::diag::ResetDebugSwitches();
        for (int i = 0; i < EXCEPTION_TABLE_SIZE; ++i) Entry(i).dwAction = kMarker;

        qzo::diag::LoadDebugSettings();

        for (int i = 0; i < EXCEPTION_TABLE_SIZE; ++i)
            EXPECT_EQ(Entry(i).dwAction, i == 12 ? row.entry : row.others) << "entry " << i;
        const std::string ini = IniText();
        EXPECT_EQ(CountOf(ini, "DEBUGKEYS=0"), 1u) << ini;
        EXPECT_EQ(CountOf(ini, "TRAPALL="), 1u) << ini;
        const int trapAll = row.trapAll == kMissing ? 0 : row.trapAll;
        EXPECT_EQ(CountOf(ini, "TRAPALL=" + std::to_string(trapAll)), 1u) << ini;
        EXPECT_EQ(CountOf(ini, "TRAP_EXC"), row.key != kMissing ? 1u : 0u) << ini;  // never added
    }
}

TEST_F(DiagTest, DebugKeysFollowTheSettingAndGateTheKeyState) {
    WriteIni("DEBUGKEYS=1\r\n");
    qzo::diag::LoadDebugSettings();
    EXPECT_TRUE(IsDebugKeysOn());
    EXPECT_EQ(SetDebugKeyMode(FALSE), FALSE);
    EXPECT_FALSE(IsDebugKeysOn());
    EXPECT_EQ(QZOBJ_GetProfileInt("QZOUtil", "DEBUGKEYS", 7, FALSE), 0);
    EXPECT_EQ(SetDebugKeyMode(5), TRUE);
    EXPECT_EQ(QZOBJ_GetProfileInt("QZOUtil", "DEBUGKEYS", 7, FALSE), 1);

    qzo::platform::SetKeyStateHook([](int virtualKey) { return virtualKey == 'A'; });
    SetDebugKeyMode(FALSE);
    EXPECT_EQ(IsAsyncKeyPressed('A'), FALSE);  // down, but debug keys are off
    SetDebugKeyMode(TRUE);
    EXPECT_EQ(IsAsyncKeyPressed('A'), TRUE);
    EXPECT_EQ(IsAsyncKeyPressed('B'), FALSE);
    qzo::platform::SetKeyStateHook(nullptr);
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
    EXPECT_EQ(g_breaks.load(), 0);
    Entry(EXCEPTION_ENTRY_EXPECTED).dwAction = EXC_ACTION_BREAK;
    EXPECT_EQ(DebugException(), 1);
    EXPECT_EQ(g_breaks.load(), 1);
}

std::vector<qzo::test::CapturedMessage> Warn(int depth, const char16_t* text) {
    DebugCapture capture;
    DiagWarnAtDepth(depth, text);
    return capture.Messages();
}

// Lines of the walk: each begins with "\r" but not "\r\n".
size_t FrameLines(const std::vector<qzo::test::CapturedMessage>& messages) {
    return std::count_if(messages.begin(), messages.end(), [](const auto& m) {
        return m.Utf8().rfind("\r", 0) == 0 && m.Utf8().rfind("\r\n", 0) != 0;
    });
}

TEST_F(DiagTest, WarningInDebugModePrintsTextAndWalk) {
    SetDebugMode(TRUE);
    const auto messages = Warn(2, u"lost lock");
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0].Utf8(), "\r\nWarning: lost lock\r\n");
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 3);
    EXPECT_EQ(messages[1].Utf8(), "\r\nCall stack:\r\n");
    // The first frame is the warning's own place, then its callers.
    EXPECT_NE(messages[2].Utf8().find("DiagWarnAtDepth+0x"), std::string::npos);
    EXPECT_NE(messages[3].Utf8().find("DiagWarnAtDepth+0x"), std::string::npos);
    EXPECT_EQ(g_breaks.load(), 0);
    // Ten frames, or every frame with the detail bit.
    EXPECT_EQ(FrameLines(Warn(30, u"deep")), 10u);
    Entry(EXCEPTION_ENTRY_WARNINGS).dwAction = EXC_ACTION_DETAILED;
    EXPECT_GE(FrameLines(Warn(30, u"deep")), 31u);
}

// The warnings entry's actions, range and module filter: whether anything is printed, and the
// breaks (-1: not looked at).
TEST_F(DiagTest, WarningActionsRangesAndModuleFilter) {
    const auto probe = reinterpret_cast<uintptr_t>(&DiagWarnAtDepth);
    struct Row {
        const char* name;
        bool debug;
        DWORD action;
        uintptr_t low, high;
        const char* module;
        bool printed;
        int breaks;
    };
    const Row rows[] = {
        {"outside debug mode nothing", false, EXC_ACTION_BREAK, 0, 0, "", false, 0},
        {"silent", true, EXC_ACTION_SILENT | EXC_ACTION_BREAK, 0, 0, "", false, 0},
        {"break", true, EXC_ACTION_BREAK, 0, 0, "", true, 1},
        {"a range elsewhere suppresses it", true, EXC_ACTION_BREAK, 0x1000, 0x2000, "", false, -1},
        {"a range holding its place", true, EXC_ACTION_BREAK, probe, probe + 4096, "", true, -1},
        {"module not involved", true, EXC_ACTION_MODULE, 0, 0, "libnowhere", false, 0},
        {"module involved", true, EXC_ACTION_MODULE, 0, 0, "qzo_tests_diag", true, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qzo::diag::ResetDebugSwitches();
        SetDebugMode(row.debug);
        g_breaks = 0;
        tagEXCEPTIONENTRY& warnings = Entry(EXCEPTION_ENTRY_WARNINGS);
        warnings.dwAction = row.action;
        warnings.uRangeLow = row.low;
        warnings.uRangeHigh = row.high;
        std::snprintf(warnings.Trace.szModule, 16, "%s", row.module);
        const auto messages = Warn(1, u"involved");
        EXPECT_EQ(!messages.empty(), row.printed);
        if (!messages.empty()) {
            EXPECT_EQ(messages[0].Utf8(), "\r\nWarning: involved\r\n");
        }
        if (row.breaks >= 0) {
            EXPECT_EQ(g_breaks.load(), row.breaks);
        }
    }
}

TEST_F(DiagTest, DetailedMessageBeep) {
    DebugCapture capture;
    DetailedMessageBeep(0, "qzobj/cosobj", 136);
    DetailedMessageBeep(0, nullptr, 7);
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Utf8(), "\rMessage Beep: qzobj/cosobj, line 136\r\n");
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 9);
    EXPECT_EQ(messages[1].Utf8(), "\rMessage Beep: , line 7\r\n");
}

TEST_F(DiagTest, FrameFunctionsNameTheCallersPlace) {
    void* seen[7] = {};
    DiagFrameProbe(seen);
    const auto start = reinterpret_cast<uintptr_t>(&DiagFrameProbe);
    const auto address = reinterpret_cast<uintptr_t>(seen[0]);
    EXPECT_GT(address, start);  // inside the probe, after its first call
    EXPECT_LT(address, start + 256);
    EXPECT_EQ(seen[1], seen[4]);  // the probe's return address
    EXPECT_EQ(seen[2], seen[5]);  // the probe's frame
    EXPECT_EQ(seen[3], seen[6]);  // its caller's frame
}

}  // namespace
