// WarningMsg with its stack walk and the actions of the "Warnings (Debug)" entry,
// DetailedMessageBeep, and the frame functions that name a warning's place.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/exceptions/diag_fixture.h"
#include "support/capture.h"

// Exported, never inlined: the walk names these frames.
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

using qzo::test::DebugCapture;
using qzo::test::DiagTest;

struct WarningOutput {
    std::vector<qzo::test::CapturedMessage> messages;
    size_t FrameLines() const {
        size_t count = 0;
        for (const auto& m : messages)
            if (m.Utf8().rfind("\r", 0) == 0 && m.Utf8().rfind("\r\n", 0) != 0) ++count;
        return count;
    }
    std::string Text() const {
        std::string all;
        for (const auto& m : messages) all += m.Utf8();
        return all;
    }
};

WarningOutput Warn(int depth, const char16_t* text) {
    DebugCapture capture;
    DiagWarnAtDepth(depth, text);
    return WarningOutput{capture.Messages()};
}

tagEXCEPTIONENTRY& Warnings() {
    return GetExceptionTable()[EXCEPTION_ENTRY_WARNINGS];
}

TEST_F(DiagTest, WarningOutsideDebugModePrintsNothing) {
    Warnings().dwAction = EXC_ACTION_BREAK;
    EXPECT_TRUE(Warn(0, u"lost lock").messages.empty());
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);
}

TEST_F(DiagTest, WarningInDebugModePrintsTextAndWalk) {
    SetDebugMode(TRUE);
    const auto output = Warn(2, u"lost lock");
    ASSERT_GE(output.messages.size(), 3u) << output.Text();
    EXPECT_EQ(output.messages[0].Utf8(), "\r\nWarning: lost lock\r\n");
    EXPECT_EQ(output.messages[0].channel, 0);
    EXPECT_EQ(output.messages[0].level, 3);
    EXPECT_EQ(output.messages[1].Utf8(), "\r\nCall stack:\r\n");
    // The first frame is the warning's own place, then its callers.
    const std::string first = output.messages[2].Utf8();
    EXPECT_NE(first.find("DiagWarnAtDepth+0x"), std::string::npos) << first;
    EXPECT_NE(output.messages[3].Utf8().find("DiagWarnAtDepth+0x"), std::string::npos);
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);
}

TEST_F(DiagTest, WarningWalkLengthFollowsTheDetailBit) {
    SetDebugMode(TRUE);
    EXPECT_EQ(Warn(30, u"deep").FrameLines(), 10u);
    Warnings().dwAction = EXC_ACTION_DETAILED;
    EXPECT_GE(Warn(30, u"deep").FrameLines(), 31u);
}

TEST_F(DiagTest, WarningActions) {
    SetDebugMode(TRUE);
    Warnings().dwAction = EXC_ACTION_SILENT | EXC_ACTION_BREAK;
    EXPECT_TRUE(Warn(0, u"quiet").messages.empty());
    EXPECT_EQ(qzo::test::g_breaks.load(), 0);

    Warnings().dwAction = EXC_ACTION_BREAK;
    EXPECT_FALSE(Warn(0, u"loud").messages.empty());
    EXPECT_EQ(qzo::test::g_breaks.load(), 1);

    // A range that does not hold the warning's address suppresses it.
    Warnings().uRangeLow = 0x1000;
    Warnings().uRangeHigh = 0x2000;
    EXPECT_TRUE(Warn(0, u"elsewhere").messages.empty());
    const auto probe = reinterpret_cast<uintptr_t>(&DiagWarnAtDepth);
    Warnings().uRangeLow = probe;
    Warnings().uRangeHigh = probe + 4096;
    EXPECT_FALSE(Warn(0, u"here").messages.empty());
}

TEST_F(DiagTest, WarningModuleFilter) {
    SetDebugMode(TRUE);
    Warnings().dwAction = EXC_ACTION_MODULE;
    std::snprintf(Warnings().Trace.szModule, 16, "libnowhere");
    EXPECT_TRUE(Warn(1, u"filtered").messages.empty());
    std::snprintf(Warnings().Trace.szModule, 16, "qzo_tests_diag");
    const auto output = Warn(1, u"involved");
    ASSERT_FALSE(output.messages.empty());
    EXPECT_EQ(output.messages[0].Utf8(), "\r\nWarning: involved\r\n");
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
