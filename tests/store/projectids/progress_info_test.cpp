// CProgressInfo over the progress windows: the calls it makes as the progress hook records
// them, a cancel fired through the hook, and the one-line drawing on a terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qzobj/platform/text.h"
#include "qzobj/project_ids.h"
#include "qzobj/uikit.h"
#include "support/fixture.h"
#include "support/terminal_stderr.h"

namespace {

// Records every progress call as "<kind> <text> <position> <flags>" and the window it names;
// cancels at the status call whose position equals `cancelAt`.
struct Recorder {
    std::vector<std::string> calls;
    std::vector<HANDLE> windows;
    int cancelAt = -1;

    static BOOL Hook(const PROGRESSCALL* call, void* context) {
        auto* self = static_cast<Recorder*>(context);
        self->calls.push_back(std::to_string(int(call->kind)) + " " +
                              (call->text ? qzo::text::ToUtf8(call->text) : "<null>") + " " +
                              std::to_string(call->position) + " " + std::to_string(call->flags));
        self->windows.push_back(call->progress);
        return call->kind == PROGRESS_CALL_SETSTATUS && call->position == self->cancelAt;
    }
};

class ProgressInfoTest : public qzo::test::QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        Progress_SetHook(&Recorder::Hook, &recorder_);
    }
    void TearDown() override {
        Progress_SetHook(nullptr, nullptr);
        QzoTest::TearDown();
    }
    Recorder recorder_;
};

struct CancelLog {
    int calls = 0;
    void* progress = nullptr;
    uintptr_t value = 0;
};

void OnCancel(void* progress, uintptr_t value) {
    auto* log = reinterpret_cast<CancelLog*>(value);
    ++log->calls;
    log->progress = progress;
    log->value = value;
}

TEST_F(ProgressInfoTest, DrivesTheWindowThroughTheDialogLibrary) {
    CProgressInfo* info = CProgressInfo::Create();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->GetHandle(), nullptr);
    EXPECT_TRUE(info->SetProgress(10, u"x")) << "TRUE without a window";
    EXPECT_TRUE(info->SetMasterProgress(10, u"x"));
    EXPECT_FALSE(info->Close());
    EXPECT_TRUE(recorder_.calls.empty());

    ASSERT_TRUE(info->Open(u"Purging", 7, nullptr, 0));
    HANDLE window = info->GetHandle();
    ASSERT_NE(window, nullptr);
    info->SetCustomText(u"Purging project");
    EXPECT_TRUE(info->SetProgress(42, u"objects"));
    EXPECT_TRUE(info->SetMasterProgress(250, u"pass 1"));  // passed as 100
    EXPECT_TRUE(info->Close());
    EXPECT_EQ(info->GetHandle(), nullptr);
    EXPECT_TRUE(info->Destroy());
    EXPECT_EQ(recorder_.calls,
              (std::vector<std::string>{"1 Purging 0 7", "2 Purging project 0 0", "3 objects 42 0",
                                        "4 pass 1 100 0", "5 <null> 0 0"}));
    EXPECT_EQ(recorder_.windows, std::vector<HANDLE>(5, window));

    // Destruction closes the window.
    recorder_.calls.clear();
    {
        CProgressInfo scoped;
        ASSERT_TRUE(scoped.Open(u"t", 0, nullptr, 0));
    }
    EXPECT_EQ(recorder_.calls, (std::vector<std::string>{"1 t 0 0", "5 <null> 0 0"}));
}

TEST_F(ProgressInfoTest, TheHookCanPressCancel) {
    CancelLog log;
    CProgressInfo info;
    ASSERT_TRUE(info.Open(u"Copying", 0, &OnCancel, reinterpret_cast<uintptr_t>(&log)));
    recorder_.cancelAt = 50;
    EXPECT_TRUE(info.SetProgress(10, nullptr));
    EXPECT_EQ(log.calls, 0);
    EXPECT_TRUE(info.SetProgress(50, nullptr));
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.progress, info.GetHandle());
    EXPECT_EQ(log.value, reinterpret_cast<uintptr_t>(&log));
    EXPECT_TRUE(Progress_Cancel(info.GetHandle()));
    EXPECT_EQ(log.calls, 2);
    HANDLE closed = info.GetHandle();
    EXPECT_TRUE(info.Close());
    EXPECT_FALSE(Progress_Cancel(closed)) << "a closed window cannot be cancelled";
    EXPECT_EQ(log.calls, 2);

    // Windows without a callback ignore a cancel.
    HANDLE window = Progress_Open(nullptr, u"t", nullptr, 0, nullptr, 0);
    ASSERT_NE(window, nullptr) << "a handle comes without a terminal too";
    EXPECT_FALSE(Progress_Cancel(window));
    Progress_Close(window);
    EXPECT_FALSE(Progress_Cancel(nullptr));
}

TEST_F(ProgressInfoTest, DrawsTitleBarPercentAndTextOnATerminal) {
    qzo::test::TerminalStderr terminal;
    if (!terminal.ok()) GTEST_SKIP() << "no pseudo-terminal available";
    {
        CProgressInfo info;
        ASSERT_TRUE(info.Open(u"Purging", 0, nullptr, 0));
        info.SetProgress(42, u"objects");
    }
    terminal.Restore();
    const std::string text = terminal.Read();
    EXPECT_NE(text.find("\rPurging [                    ] 0% "), std::string::npos) << text;
    EXPECT_NE(text.find("\rPurging [########            ] 42% objects"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "closing ends the line once: " << text;
}

}  // namespace
