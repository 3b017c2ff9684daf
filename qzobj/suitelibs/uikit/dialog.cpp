// Headless modal dialogs: the template is reported through the debug output and the dialog
// ends at once with IDOK, or with what a plugged-in hook chooses. The dialog procedure is never
// called, since there is no window to send it messages.
#include "qzobj/platform/module.h"
#include "qzobj/suitelibs/uikit/dialogs.h"
#include "qzobj/suitelibs/uikit/hook_slot.h"
#include "qzobj/uikit.h"

namespace qzo::uikit {
namespace {

constinit HookSlot<DialogAnswerHook> gDialogAnswer;

// Dialog templates are resources of this numeric type in their module.
constexpr UINT kDialogTemplateType = 200;
// Below this a template argument is a resource number, above it the template's address.
constexpr uintptr_t kLowestTemplateAddress = 0x10000;

intptr_t PluggedAnswer(uintptr_t dialogTemplate, HINSTANCE module) {
    const auto* answer = gDialogAnswer.Get();
    if (!answer) return 0;
    try {
        return answer->hook(dialogTemplate, module, answer->context);
    } catch (...) {
        return 0;
    }
}

void ReportTemplate(uintptr_t dialogTemplate, HINSTANCE module) {
    if (dialogTemplate >= kLowestTemplateAddress) {
        wPrintf(0, 3, u"\r[Dialog] template at %p\r\n", reinterpret_cast<void*>(dialogTemplate));
        return;
    }
    size_t size = 0;
    UINT id = static_cast<UINT>(dialogTemplate);
    if (platform::FindResource(module, platform::MakeIntResource(kDialogTemplateType), id, &size))
        wPrintf(0, 3, u"\r[Dialog] template %u of module %p (%zu bytes)\r\n", id, module, size);
    else
        wPrintf(0, 3, u"\r[Dialog] template %u of module %p (not found)\r\n", id, module);
}

}  // namespace

DialogAnswerHook SetDialogAnswerHook(DialogAnswerHook hook, void* context) {
    return gDialogAnswer.Set(hook, context);
}

}  // namespace qzo::uikit

intptr_t XDialog(HWND /*owner*/, int /*x*/, int /*y*/, uintptr_t dialogTemplate, HINSTANCE module,
                 XDLGPROC /*procedure*/, uintptr_t /*value1*/, uintptr_t /*value2*/,
                 uintptr_t /*value3*/, uintptr_t /*value4*/, DWORD /*flags*/) {
    qzo::uikit::ReportTemplate(dialogTemplate, module);
    intptr_t answer = qzo::uikit::PluggedAnswer(dialogTemplate, module);
    return answer != 0 ? answer : IDOK;
}
