// The headless dialog-item store and the hex number items built on it.
#include <map>
#include <mutex>
#include <utility>

#include "qzobj/diag/dialog_items.h"
#include "qzobj/process.h"
#include "qzobj/suitelibs/uikit/debug_output.h"

namespace qzo::diag {
namespace {

struct ItemStore {
    std::mutex lock;  // guards texts
    std::map<std::pair<HWND, int>, std::u16string> texts;
};

ItemStore& Store() {
    static auto* store = new ItemStore;  // never destroyed: usable during static destruction
    return *store;
}

}  // namespace

void SetDialogItemText(HWND dialog, int item, std::u16string_view text) {
    ItemStore& store = Store();
    std::lock_guard<std::mutex> hold(store.lock);
    store.texts[{dialog, item}] = std::u16string(text);
}

bool GetDialogItemText(HWND dialog, int item, std::u16string& text) {
    ItemStore& store = Store();
    std::lock_guard<std::mutex> hold(store.lock);
    auto found = store.texts.find({dialog, item});
    if (found == store.texts.end()) return false;
    text = found->second;
    return true;
}

void ForgetDialogItems(HWND dialog) {
    ItemStore& store = Store();
    std::lock_guard<std::mutex> hold(store.lock);
    for (auto it = store.texts.begin(); it != store.texts.end();)
        it = it->first.first == dialog ? store.texts.erase(it) : std::next(it);
}

}  // namespace qzo::diag

namespace {

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

}  // namespace

BOOL _SetDlgItemHex(HWND dialog, int item, DWORD value) {
    WCHAR text[16];
    const size_t length = qzo::uikit::Format(text, 16, u"%08X", value);
    qzo::diag::SetDialogItemText(dialog, item, std::u16string_view(text, length));
    return TRUE;
}

DWORD _GetDlgItemHex(HWND dialog, int item) {
    std::u16string text;
    if (!qzo::diag::GetDialogItemText(dialog, item, text)) return 0;
    // As a dialog reads its item into a 9-character buffer: at most 8 characters count.
    if (text.size() > 8) text.resize(8);
    size_t at = 0;
    while (at < text.size() && (text[at] == u' ' || text[at] == u'\t')) ++at;
    DWORD value = 0;
    for (; at < text.size(); ++at) {
        const int digit = HexDigit(text[at]);
        if (digit < 0) break;
        value = (value << 4) | DWORD(digit);
    }
    return value;
}
