// The headless dialogs' item texts: one process-wide store keyed by dialog and item, so that
// code writing an item and code reading it back agree without a window system.
#pragma once

#include <string>

#include "qzobj/types.h"

namespace qzo::diag {

// Any thread; a mutex guards the store.
void SetDialogItemText(HWND dialog, int item, std::u16string_view text);
// False when the item holds no text.
bool GetDialogItemText(HWND dialog, int item, std::u16string& text);
// Forgets every item of the dialog (when it closes).
void ForgetDialogItems(HWND dialog);

}  // namespace qzo::diag
