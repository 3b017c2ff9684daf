// AnalyseException: the report's exact texts and order, the trap actions, ranges and the module
// filter, and the trap settings acting on a real guarded fault in a peer process.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "diag/exceptions/diag_fixture.h"
#include "qzobj/platform/guard.h"
#include "support/capture.h"
#include "support/peer.h"

// An exported function of the test program, so the module filter has a module and a name.
extern "C" __attribute__((noipa, visibility("default"))) int DiagProbeFunction(int value) {
    return value * 3 + 1;
}

namespace {

using qzo::test::DebugCapture;
using qzo::test::DiagTest;
using qzo::test::FakeException;

const void* const kFarAddress = reinterpret_cast<const void*>(uintptr_t{0x1234});

std::vector<std::string> Lines(const DebugCapture& capture) {
    std::vector<std::string> lines;
    for (const auto& message : capture.Messages()) lines.push_back(message.Utf8());
    return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
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
    tagEXCEPTIONENTRY& Entry(int index) { return GetExceptionTable()[index]; }
};

TEST_F(AnalyseExceptionTest, OutsideDebugModeOnlyTheFirstLine) {
    DebugCapture capture;
    Entry(12).dwAction = EXC_ACTION_BREAK | EXC_ACTION_PASS_ON;  // ignored outside debug mode
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Utf8(), "\r\nException 0xC0000094 @ 0x0000000000001234\r\n");
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);
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

TEST_F(AnalyseExceptionTest, DebugModeWritesTheWholeReport) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    const auto lines = Lines(capture);
    ASSERT_EQ(lines.size(), 21u) << capture.Text();
    EXPECT_EQ(lines[0], "\r\nException 0xC0000094 @ 0x0000000000001234\r\n");
    EXPECT_EQ(lines[1], "\r\nINT_DIVIDE_BY_ZERO @ 0x0000000000001234");
    EXPECT_TRUE(StartsWith(lines[2], "\rNumber of processors: "));
    EXPECT_TRUE(StartsWith(lines[3], "\rMemory load         : "));
    EXPECT_EQ(lines[3].back(), '%');
    EXPECT_TRUE(StartsWith(lines[4], "\rTotal physical      : "));
    EXPECT_TRUE(StartsWith(lines[5], "\rAvailable physical  : "));
    EXPECT_TRUE(StartsWith(lines[6], "\rTotal pageable      : "));
    EXPECT_TRUE(StartsWith(lines[7], "\rAvailable pageable  : "));
    EXPECT_TRUE(StartsWith(lines[8], "\rTotal virtual       : "));
    EXPECT_TRUE(StartsWith(lines[9], "\rAvailable virtual   : "));
    EXPECT_EQ(lines[10], "\r\nGS =00000011 FS =00000022 ES =00000033 DS =00000044 SS =0000002B");
    EXPECT_EQ(lines[11], "\r\nRAX=0000000000000001 RBX=0000000000000002");
    EXPECT_EQ(lines[12], "\r\nRCX=0000000000000003 RDX=0000000000000004");
    EXPECT_EQ(lines[13], "\r\nRDI=0000000000000005 RSI=0000000000000006");
    EXPECT_EQ(lines[14], "\r\nRSP=0000000000000007 RBP=0000000000000000");
    EXPECT_EQ(lines[15], "\r\nR8 =0000000000000008 R9 =0000000000000009");
    EXPECT_EQ(lines[16], "\r\nR10=000000000000000A R11=000000000000000B");
    EXPECT_EQ(lines[17], "\r\nR12=000000000000000C R13=000000000000000D");
    EXPECT_EQ(lines[18], "\r\nR14=000000000000000E R15=FEDCBA9876543210");
    EXPECT_EQ(lines[19], "\r\nCall stack:\r\n");
    EXPECT_EQ(lines[20], "\r0000000000001234  ?\r\n");  // no module holds the address
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);
}

TEST_F(AnalyseExceptionTest, UnknownCodeRepeatsTheExceptionLine) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    FakeException unknown{0xE06D7363u, kFarAddress};
    EXPECT_EQ(AnalyseException(&unknown.pointers), 1);
    const auto lines = Lines(capture);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "\r\nException 0xE06D7363 @ 0x0000000000001234\r\n");
    EXPECT_EQ(lines[1], "\r\nException 0xE06D7363 @ 0x0000000000001234");
    EXPECT_TRUE(StartsWith(lines[2], "\rNumber of processors: "));
}

TEST_F(AnalyseExceptionTest, SilentAndPassOn) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    Entry(12).dwAction = EXC_ACTION_SILENT;
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    EXPECT_EQ(capture.Count(), 1u);

    capture.Clear();
    Entry(12).dwAction = EXC_ACTION_SILENT | EXC_ACTION_PASS_ON | EXC_ACTION_BREAK;
    EXPECT_EQ(AnalyseException(&divide.pointers), 0);
    EXPECT_EQ(capture.Count(), 1u);
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);

    capture.Clear();
    Entry(12).dwAction = EXC_ACTION_PASS_ON;
    EXPECT_EQ(AnalyseException(&divide.pointers), 0);
    EXPECT_GT(capture.Count(), 10u);  // reported in full, then passed on
}

TEST_F(AnalyseExceptionTest, BreakActsOnlyInDebugMode) {
    Entry(12).dwAction = EXC_ACTION_BREAK;
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);
    SetDebugMode(TRUE);
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    EXPECT_EQ(qzo::test::g_breaks.load(), 1);
}

TEST_F(AnalyseExceptionTest, RangeLimitsTheReport) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    Entry(12).dwAction = EXC_ACTION_BREAK;
    Entry(12).uRangeLow = 0x1000;
    Entry(12).uRangeHigh = 0x1234;  // the end is outside
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    EXPECT_EQ(capture.Count(), 1u);
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);

    Entry(12).uRangeHigh = 0x1235;
    EXPECT_EQ(AnalyseException(&divide.pointers), 1);
    EXPECT_GT(capture.Count(), 10u);
    EXPECT_EQ(qzo::test::g_breaks.load(), 1);
}

TEST_F(AnalyseExceptionTest, TraceNamesTheExceptionAddress) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    FakeException inProbe{0xC0000005u, reinterpret_cast<const void*>(&DiagProbeFunction)};
    Entry(0).dwAction = EXC_ACTION_DETAILED;
    EXPECT_EQ(AnalyseException(&inProbe.pointers), 1);
    const auto lines = Lines(capture);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[1].rfind("\r\nACCESS_VIOLATION @ 0x", 0), 0u);
    EXPECT_NE(lines.back().find("qzo_tests_diag+0x"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("DiagProbeFunction+0x0"), std::string::npos) << lines.back();
}

TEST_F(AnalyseExceptionTest, ModuleFilterOfTheEntry) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    FakeException inProbe{0xC0000094u, reinterpret_cast<const void*>(&DiagProbeFunction)};
    Entry(12).dwAction = EXC_ACTION_MODULE;
    std::snprintf(Entry(12).Trace.szModule, sizeof Entry(12).Trace.szModule, "libnowhere");
    EXPECT_EQ(AnalyseException(&inProbe.pointers), 1);
    EXPECT_EQ(capture.Count(), 1u);  // the exception does not involve that module

    capture.Clear();
    std::snprintf(Entry(12).Trace.szModule, sizeof Entry(12).Trace.szModule, "QZO_TESTS_DIAG");
    EXPECT_EQ(AnalyseException(&inProbe.pointers), 1);
    EXPECT_GT(capture.Count(), 10u);
}

TEST_F(AnalyseExceptionTest, ModuleFilterOfTheWarningsEntryUsesTheFoundEntrysModule) {
    SetDebugMode(TRUE);
    DebugCapture capture;
    FakeException inProbe{0xC0000094u, reinterpret_cast<const void*>(&DiagProbeFunction)};
    Entry(EXCEPTION_ENTRY_WARNINGS).dwAction = EXC_ACTION_MODULE;
    std::snprintf(Entry(EXCEPTION_ENTRY_WARNINGS).Trace.szModule, 16, "qzo_tests_diag");
    std::snprintf(Entry(12).Trace.szModule, 16, "libnowhere.so");
    EXPECT_EQ(AnalyseException(&inProbe.pointers), 1);
    EXPECT_EQ(capture.Count(), 1u);

    capture.Clear();
    std::snprintf(Entry(12).Trace.szModule, 16, "qzo_tests_diag");
    EXPECT_EQ(AnalyseException(&inProbe.pointers), 1);
    EXPECT_GT(capture.Count(), 10u);
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
    char answer[64];
    std::snprintf(answer, sizeof answer, "%s %08X breaks=%d", finished ? "FINISHED" : "HANDLED",
                  code, g_peerBreaks.load());
    return answer;
}

class TrappedDivision : public DiagTest {
  protected:
    void SetUp() override {
        DiagTest::SetUp();
        if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "signal guard compiled out";
    }
};

TEST_F(TrappedDivision, KeyOneReportsBreaksAndHandles) {
    WriteIni("TRAPALL=0\r\nTRAP_EXC12=1\r\n");
    qzo::test::Peer peer;
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("diag_trapped_division"), "HANDLED C0000094 breaks=1");
    const auto exit = peer.Wait();
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
}

TEST_F(TrappedDivision, KeyTwoPassesItOnAndThePeerDies) {
    WriteIni("TRAPALL=0\r\nTRAP_EXC12=2\r\n");
    qzo::test::Peer peer;
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("diag_trapped_division"), "");
    const auto exit = peer.Wait();
    EXPECT_TRUE(exit.signaled);
    EXPECT_EQ(exit.signal, SIGFPE);
}

TEST_F(TrappedDivision, NoKeyHandlesWithoutBreak) {
    WriteIni("TRAPALL=0\r\n");
    qzo::test::Peer peer;
    ASSERT_TRUE(peer.Start());
    EXPECT_EQ(peer.Call("diag_trapped_division"), "HANDLED C0000094 breaks=0");
}

}  // namespace
