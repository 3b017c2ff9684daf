// CProgressInfo over the progress windows: the calls it makes as the progress hook records
// them, a cancel fired through the hook, and the one-line drawing on a terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "qzobj/platform/text.h"
#include "qzobj/project_ids.h"
#include "qzobj/uikit.h"
#include "support/fixture.h"
#include "support/terminal_stderr.h"

namespace {

struct RecordedCall {
    PROGRESSCALLKIND kind;
    HANDLE progress;
    std::string text;
    int position;
    DWORD flags;
};

// Records every progress call; cancels at the call whose position equals `cancelAt`.
struct Recorder {
    std::vector<RecordedCall> calls;
    int cancelAt = -1;

    static BOOL Hook(const PROGRESSCALL* call, void* context) {
        auto* self = static_cast<Recorder*>(context);
        self->calls.push_back({call->kind, call->progress,
                               call->text ? qzo::text::ToUtf8(call->text) : "<null>",
                               call->position, call->flags});
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
    EXPECT_TRUE(info->SetMasterProgress(250, u"pass 1"));
    EXPECT_TRUE(info->Close());
    EXPECT_EQ(info->GetHandle(), nullptr);
    EXPECT_TRUE(info->Destroy());

    ASSERT_EQ(recorder_.calls.size(), 5u);
    const RecordedCall& open = recorder_.calls[0];
    EXPECT_EQ(open.kind, PROGRESS_CALL_OPEN);
    EXPECT_EQ(open.text, "Purging");
    EXPECT_EQ(open.flags, 7u);
    EXPECT_EQ(recorder_.calls[1].kind, PROGRESS_CALL_SETTITLE);
    EXPECT_EQ(recorder_.calls[1].text, "Purging project");
    EXPECT_EQ(recorder_.calls[2].kind, PROGRESS_CALL_SETSTATUS);
    EXPECT_EQ(recorder_.calls[2].text, "objects");
    EXPECT_EQ(recorder_.calls[2].position, 42);
    EXPECT_EQ(recorder_.calls[3].kind, PROGRESS_CALL_SETMASTERSTATUS);
    EXPECT_EQ(recorder_.calls[3].position, 100) << "positions beyond 100 are passed as 100";
    EXPECT_EQ(recorder_.calls[4].kind, PROGRESS_CALL_CLOSE);
    for (const RecordedCall& call : recorder_.calls) EXPECT_EQ(call.progress, window);
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
}

TEST_F(ProgressInfoTest, WindowsWithoutCallbackIgnoreCancel) {
    HANDLE window = Progress_Open(nullptr, u"t", nullptr, 0, nullptr, 0);
    ASSERT_NE(window, nullptr) << "a handle comes without a terminal too";
    EXPECT_FALSE(Progress_Cancel(window));
    Progress_Close(window);
    EXPECT_FALSE(Progress_Cancel(nullptr));
}

TEST_F(ProgressInfoTest, DestructionClosesTheWindow) {
    {
        CProgressInfo info;
        ASSERT_TRUE(info.Open(u"t", 0, nullptr, 0));
    }
    ASSERT_EQ(recorder_.calls.size(), 2u);
    EXPECT_EQ(recorder_.calls[1].kind, PROGRESS_CALL_CLOSE);
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
