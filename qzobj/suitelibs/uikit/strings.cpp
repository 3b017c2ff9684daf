// String resources: LLoadStringW reads the string tables modules register under their handles.
#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"
#include "qzobj/uikit.h"

int LLoadStringW(HINSTANCE module, UINT id, WCHAR* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    size_t length = 0;
    const WCHAR* text = qzo::platform::FindStringResource(module, id, &length);
    if (!text) {
        buffer[0] = 0;
        return 0;
    }
    return static_cast<int>(
        qzo::text::Copy(buffer, static_cast<size_t>(size), std::u16string_view(text, length)));
}
