// Headless message boxes and dialogs: the default button of every style, plugged-in answers,
// and the report each prints.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "qzobj/platform/module.h"
#include "qzobj/suitelibs/uikit/dialogs.h"
#include "qzobj/uikit.h"
#include "support/capture.h"
#include "support/fixture.h"

namespace {

using qzo::uikit::DefaultMessageBoxButton;

class DialogsTest : public qzo::test::QzoTest {
  protected:
    void TearDown() override {
        qzo::uikit::SetMessageBoxAnswerHook(nullptr, nullptr);
        qzo::uikit::SetDialogAnswerHook(nullptr, nullptr);
        QzoTest::TearDown();
    }
};

TEST_F(DialogsTest, DefaultButtonOfEveryStyle) {
    struct Case {
        UINT type;
        int buttons[4];  // the buttons MB_DEFBUTTON1..4 choose
    };
    const Case cases[] = {
        {MB_OK, {IDOK, IDOK, IDOK, IDOK}},
        {MB_OKCANCEL, {IDOK, IDCANCEL, IDOK, IDOK}},
        {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE, IDABORT}},
        {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL, IDYES}},
        {MB_YESNO, {IDYES, IDNO, IDYES, IDYES}},
        {MB_RETRYCANCEL, {IDRETRY, IDCANCEL, IDRETRY, IDRETRY}},
        {MB_CANCELTRYCONTINUE, {IDCANCEL, IDTRYAGAIN, IDCONTINUE, IDCANCEL}},
    };
    const UINT defaults[] = {MB_DEFBUTTON1, MB_DEFBUTTON2, MB_DEFBUTTON3, MB_DEFBUTTON4};
    for (const Case& c : cases) {
        for (int n = 0; n < 4; ++n) {
            SCOPED_TRACE("type " + std::to_string(c.type) + " default button " +
                         std::to_string(n + 1));
            EXPECT_EQ(DefaultMessageBoxButton(c.type | defaults[n]), c.buttons[n]);
            // Icons and other style bits do not change the answer.
            EXPECT_EQ(XMessageBox(nullptr, u"text", u"caption",
                                  c.type | defaults[n] | MB_ICONEXCLAMATION, nullptr, 0),
                      c.buttons[n]);
        }
    }
    EXPECT_EQ(DefaultMessageBoxButton(0x0000000Fu | MB_DEFBUTTON2), IDOK)
        << "an unknown type answers like MB_OK";
    EXPECT_EQ(DefaultMessageBoxButton(MB_YESNO | 0x00000500u), IDYES)
        << "a default button beyond the box's buttons means the first";
}

TEST_F(DialogsTest, MessageBoxReportsCaptionAndText) {
    qzo::test::DebugCapture capture;
    XMessageBox(nullptr,
                u"Project has been edited with a newer version, you will not be able to edit it.",
                u"Version Restriction", MB_OK, nullptr, 0);
    XMessageBox(nullptr, u"no caption", nullptr, MB_OK, nullptr, 0);
    XMessageBox(nullptr, nullptr, u"no text", MB_OK, nullptr, 0);
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].channel, 0);
    EXPECT_EQ(messages[0].level, 3);
    EXPECT_EQ(messages[0].Utf8(),
              "\r[MessageBox] Version Restriction: Project has been edited with a newer version, "
              "you will not be able to edit it.\r\n");
    EXPECT_EQ(messages[1].Utf8(), "\r[MessageBox] Error: no caption\r\n");
    EXPECT_EQ(messages[2].Utf8(), "\r[MessageBox] no text: \r\n");
}

struct SeenBox {
    std::u16string text;
    std::u16string caption;
    UINT style = 0;
    int answer = 0;
};

int AnswerBox(const WCHAR* text, const WCHAR* caption, UINT style, void* context) {
    auto* seen = static_cast<SeenBox*>(context);
    seen->text = text ? text : u"";
    seen->caption = caption ? caption : u"";
    seen->style = style;
    return seen->answer;
}

TEST_F(DialogsTest, PluggedAnswerReplacesTheDefault) {
    SeenBox seen;
    seen.answer = IDNO;
    EXPECT_EQ(qzo::uikit::SetMessageBoxAnswerHook(&AnswerBox, &seen), nullptr);
    EXPECT_EQ(XMessageBox(nullptr, u"Delete?", u"Confirm", MB_YESNO | MB_ICONQUESTION, nullptr, 0),
              IDNO);
    EXPECT_EQ(seen.text, u"Delete?");
    EXPECT_EQ(seen.caption, u"Confirm");
    EXPECT_EQ(seen.style, MB_YESNO | MB_ICONQUESTION);

    seen.answer = 0;
    EXPECT_EQ(XMessageBox(nullptr, u"Delete?", u"Confirm", MB_YESNO | MB_DEFBUTTON2, nullptr, 0),
              IDNO)
        << "a hook answering 0 keeps the default";

    EXPECT_EQ(qzo::uikit::SetMessageBoxAnswerHook(nullptr, nullptr), &AnswerBox);
    EXPECT_EQ(XMessageBox(nullptr, u"Delete?", u"Confirm", MB_YESNO, nullptr, 0), IDYES);

    qzo::uikit::SetMessageBoxAnswerHook(
        [](const WCHAR*, const WCHAR*, UINT, void*) -> int { throw std::runtime_error("no"); },
        nullptr);
    EXPECT_EQ(XMessageBox(nullptr, u"t", u"c", MB_RETRYCANCEL, nullptr, 0), IDRETRY)
        << "a throwing hook means the default";
}

constexpr UINT kViewerTemplate = 117;
const unsigned char kTemplateBytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

TEST_F(DialogsTest, DialogReportsTheTemplateAndAnswersOk) {
    qzo::test::DebugCapture capture;
    const HMODULE module = reinterpret_cast<HMODULE>(uintptr_t{0x7A000000});
    qzo::platform::RegisterResource(module, qzo::platform::MakeIntResource(200), kViewerTemplate,
                                    kTemplateBytes, sizeof kTemplateBytes);
    bool procedureCalled = false;
    static bool* called = &procedureCalled;
    XDLGPROC procedure = [](HWND, UINT, WPARAM, LPARAM) -> intptr_t {
        *called = true;
        return 0;
    };
    EXPECT_EQ(XDialog(nullptr, 0, 0, kViewerTemplate, module, procedure, 1, 2, 3, 4, 0), IDOK);
    EXPECT_FALSE(procedureCalled);
    EXPECT_EQ(XDialog(nullptr, 0, 0, 118, module, procedure, 0, 0, 0, 0, 0), IDOK);
    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].Utf8(),
              "\r[Dialog] template 117 of module 000000007A000000 (12 bytes)\r\n");
    EXPECT_EQ(messages[1].Utf8(),
              "\r[Dialog] template 118 of module 000000007A000000 (not found)\r\n");
    qzo::platform::UnregisterResources(module);
}

TEST_F(DialogsTest, PluggedDialogAnswer) {
    qzo::uikit::SetDialogAnswerHook(
        [](uintptr_t dialogTemplate, HINSTANCE, void*) -> intptr_t {
            return dialogTemplate == kViewerTemplate ? IDCANCEL : 0;
        },
        nullptr);
    EXPECT_EQ(XDialog(nullptr, 0, 0, kViewerTemplate, nullptr, nullptr, 0, 0, 0, 0, 0), IDCANCEL);
    EXPECT_EQ(XDialog(nullptr, 0, 0, 5, nullptr, nullptr, 0, 0, 0, 0, 0), IDOK);
}

}  // namespace
