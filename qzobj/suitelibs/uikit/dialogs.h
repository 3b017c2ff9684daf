// Internal interface of the headless message boxes and dialogs: the default answers and the
// hooks through which tests plug in the answers a user would give.
#pragma once

#include <cstdint>

#include "qzobj/types.h"

namespace qzo::uikit {

// The button a message box of `style` answers with when nobody chooses: button n of the
// MB_TYPEMASK set (OK; OK/Cancel; Abort/Retry/Ignore; Yes/No/Cancel; Yes/No; Retry/Cancel;
// Cancel/Try again/Continue) for MB_DEFBUTTONn, the first button when n is beyond the set.
// Unknown types are treated as MB_OK.
int DefaultMessageBoxButton(UINT style);

// Answers a message box instead of the default; returning 0 keeps the default. Runs on the
// thread that shows the box; an exception it throws counts as 0.
using MessageBoxAnswerHook = int (*)(const WCHAR* text, const WCHAR* caption, UINT style,
                                     void* context);
// Installs the hook (null removes it); returns the previous one. Thread-safe.
MessageBoxAnswerHook SetMessageBoxAnswerHook(MessageBoxAnswerHook hook, void* context);

// Answers a dialog instead of IDOK. The template is a resource number (below 0x10000) or the
// address of a template. Same rules as the message box hook; 0 keeps IDOK.
using DialogAnswerHook = intptr_t (*)(uintptr_t dialogTemplate, HINSTANCE module, void* context);
DialogAnswerHook SetDialogAnswerHook(DialogAnswerHook hook, void* context);

}  // namespace qzo::uikit
