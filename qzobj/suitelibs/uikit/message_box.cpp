// Headless message boxes: the caption and text go to the debug output and the box answers with
// its default button, or with what a plugged-in hook chooses.
#include <iterator>

#include "qzobj/suitelibs/uikit/dialogs.h"
#include "qzobj/suitelibs/uikit/hook_slot.h"
#include "qzobj/uikit.h"

namespace qzo::uikit {
namespace {

constinit HookSlot<MessageBoxAnswerHook> gMessageBoxAnswer;

// The buttons of each MB_TYPEMASK value, in the order they appear on the box; 0 ends a set.
constexpr int kButtonSets[][4] = {
    {IDOK, 0, 0, 0},                        // MB_OK
    {IDOK, IDCANCEL, 0, 0},                 // MB_OKCANCEL
    {IDABORT, IDRETRY, IDIGNORE, 0},        // MB_ABORTRETRYIGNORE
    {IDYES, IDNO, IDCANCEL, 0},             // MB_YESNOCANCEL
    {IDYES, IDNO, 0, 0},                    // MB_YESNO
    {IDRETRY, IDCANCEL, 0, 0},              // MB_RETRYCANCEL
    {IDCANCEL, IDTRYAGAIN, IDCONTINUE, 0},  // MB_CANCELTRYCONTINUE
};

int PluggedAnswer(const WCHAR* text, const WCHAR* caption, UINT style) {
    const auto* answer = gMessageBoxAnswer.Get();
    if (!answer) return 0;
    try {
        return answer->hook(text, caption, style, answer->context);
    } catch (...) {
        return 0;
    }
}

}  // namespace

int DefaultMessageBoxButton(UINT style) {
    UINT type = style & MB_TYPEMASK;
    const int* buttons = kButtonSets[type < std::size(kButtonSets) ? type : MB_OK];
    UINT chosen = (style & MB_DEFMASK) >> 8;
    return chosen < 4 && buttons[chosen] != 0 ? buttons[chosen] : buttons[0];
}

MessageBoxAnswerHook SetMessageBoxAnswerHook(MessageBoxAnswerHook hook, void* context) {
    return gMessageBoxAnswer.Set(hook, context);
}

}  // namespace qzo::uikit

int XMessageBox(HWND /*owner*/, const WCHAR* text, const WCHAR* caption, UINT style,
                XMSGBOXHELPPROC /*helpCallback*/, DWORD /*helpContext*/) {
    // A box without a caption is titled "Error", as the system's message boxes are.
    const WCHAR* shownCaption = caption ? caption : u"Error";
    wPrintf(0, 3, u"\r[MessageBox] %s: %s\r\n", shownCaption, text ? text : u"");
    int answer = qzo::uikit::PluggedAnswer(text, caption, style);
    return answer != 0 ? answer : qzo::uikit::DefaultMessageBoxButton(style);
}
