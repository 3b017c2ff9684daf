// Progress windows: handles even without a terminal, bad handles refused, and the progress line
// drawn on standard error when it is a terminal (a pseudo-terminal here).
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "qzobj/uikit.h"
#include "support/fixture.h"
#include "support/terminal_stderr.h"

namespace {

using ProgressTest = qzo::test::QzoTest;

// What a progress window opened as `title` and driven by `drive` draws on a terminal; nothing
// when no pseudo-terminal is available.
template <typename Drive>
std::optional<std::string> DrawnOnTerminal(const char16_t* title, Drive drive) {
    qzo::test::TerminalStderr terminal;
    if (!terminal.ok()) return std::nullopt;
    HANDLE progress = Progress_Open(nullptr, title, nullptr, 0, nullptr, 0);
    EXPECT_NE(progress, nullptr);
    drive(progress);
    Progress_Close(progress);
    terminal.Restore();
    return terminal.Read();
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(ProgressTest, HeadlessHandleKeepsWorking) {
    HANDLE progress = Progress_Open(nullptr, u"Copying", nullptr, 0, nullptr, 0);
    ASSERT_NE(progress, nullptr);
    EXPECT_TRUE(Progress_SetTitle(progress, u"Copying project"));
    EXPECT_TRUE(Progress_SetStatus(progress, u"file 1", 10, nullptr));
    EXPECT_TRUE(Progress_SetMasterStatus(progress, u"pass 1", 250, nullptr));
    EXPECT_TRUE(Progress_SetStatus(progress, nullptr, -5, nullptr));
    Progress_Close(progress);
}

TEST_F(ProgressTest, BadHandlesAreRefused) {
    EXPECT_FALSE(Progress_SetTitle(nullptr, u"x"));
    EXPECT_FALSE(Progress_SetStatus(nullptr, u"x", 1, nullptr));
    EXPECT_FALSE(Progress_SetMasterStatus(nullptr, u"x", 1, nullptr));
    Progress_Close(nullptr);
    int notAWindow = 0;
    EXPECT_FALSE(Progress_SetTitle(&notAWindow, u"x"));
    Progress_Close(&notAWindow);
    HANDLE progress = Progress_Open(nullptr, u"t", nullptr, 0, nullptr, 0);
    Progress_Close(progress);
    EXPECT_FALSE(Progress_SetStatus(progress, u"x", 1, nullptr)) << "a closed handle is refused";
    Progress_Close(progress);
}

TEST_F(ProgressTest, DrawsOneLineOnATerminal) {
    const auto drawn = DrawnOnTerminal(u"Purging", [](HANDLE progress) {
        Progress_SetStatus(progress, u"objects", 142, nullptr);
    });
    if (!drawn) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string& text = *drawn;
    EXPECT_NE(text.find("\rPurging [                    ] 0% "), std::string::npos) << text;
    EXPECT_NE(text.find("\rPurging [####################] 100% objects"), std::string::npos)
        << "positions are clamped to 100; text: " << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "closing ends the line once: " << text;
}

TEST_F(ProgressTest, MasterStatusAndPercentages) {
    const auto drawn = DrawnOnTerminal(u"Copy", [](HANDLE progress) {
        Progress_SetMasterStatus(progress, u"project", 30, nullptr);
        Progress_SetStatus(progress, u"file", 42, nullptr);
    });
    if (!drawn) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string& text = *drawn;
    EXPECT_NE(text.find("\rCopy [########            ] 42% file | project 30%"), std::string::npos)
        << text;
}

TEST_F(ProgressTest, RedrawsAreLimited) {
    const auto drawn = DrawnOnTerminal(u"Busy", [](HANDLE progress) {
        for (int i = 0; i < 200; ++i) Progress_SetStatus(progress, u"step", i / 2, nullptr);
    });
    if (!drawn) GTEST_SKIP() << "no pseudo-terminal available";
    const std::string& text = *drawn;
    // 200 updates in a few milliseconds: the opening line, the closing one and a handful of
    // redraws at most.
    EXPECT_GE(CountOf(text, "\rBusy ["), 2u);
    EXPECT_LE(CountOf(text, "\rBusy ["), 8u) << text;
}

}  // namespace
