// The suite's dialog and debug-output services as this library provides them: formatted debug
// output on numbered channels, message boxes and dialogs (headless: they report through the
// debug output and answer with the default button), string resources and progress windows.
#pragma once

#include <cstdarg>

#include "qzobj/types.h"

// Prints one formatted text to the debug output. The format is UTF-16; %s and %ls take UTF-16
// text, %hs narrow text; %d %i %u %x %X %o %c %p %e %f %g %% with flags, width, precision and
// the size prefixes h, l, ll, I64, z. Output goes nowhere by default, to standard error with
// QZO_DEBUG_OUTPUT=stderr, or appended to the file named by QZO_DEBUG_OUTPUT; texts over 4,096
// units are cut. The channel (0 heap and warnings, 3 ordinary diagnostics) and level (0 severe
// ... 9 progress) travel with the text to the sink.
QZOBJ_API void wPrintf(int channel, int level, const WCHAR* format, ...);
QZOBJ_API void vwPrintf(int channel, int level, const WCHAR* format, va_list args);

// With 0: non-zero when the debug output goes somewhere. With 1: turns the output on (to
// standard error when no target is set) and returns non-zero.
QZOBJ_API int Is_wPrintf_Active(int flag);

// Headless message box: prints caption and text to the debug output and returns the style's
// default button (MB_DEFBUTTONn of the buttons MB_TYPEMASK selects).
typedef void (*XMSGBOXHELPPROC)(void* helpInfo);
QZOBJ_API int XMessageBox(HWND owner, const WCHAR* text, const WCHAR* caption, UINT style,
                          XMSGBOXHELPPROC helpCallback, DWORD helpContext);

// Headless modal dialog: reports the template and returns IDOK without calling the procedure.
typedef intptr_t (*XDLGPROC)(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
QZOBJ_API intptr_t XDialog(HWND owner, int x, int y, uintptr_t dialogTemplate, HINSTANCE module,
                           XDLGPROC procedure, uintptr_t value1, uintptr_t value2, uintptr_t value3,
                           uintptr_t value4, DWORD flags);

// Loads string `id` of `module` into the buffer (cut at size-1, terminated). Returns the
// length, 0 when the module has no such string or the buffer is null or of size 0.
QZOBJ_API int LLoadStringW(HINSTANCE module, UINT id, WCHAR* buffer, int size);

// Progress windows: one line on standard error when it is a terminal,
// "\r<title> [########            ] 42% <text>", redrawn at most about ten times a second.
// Progress_Open always returns a handle, terminal or not. Positions are percentages, clamped to
// 0..100. The cancel callback receives the window's handle and the caller's value.
typedef void (*PROGRESSCANCELPROC)(HANDLE progress, uintptr_t value);
QZOBJ_API HANDLE Progress_Open(HWND owner, const WCHAR* title, const WCHAR* text, DWORD flags,
                               PROGRESSCANCELPROC cancel, uintptr_t value);
QZOBJ_API BOOL Progress_SetTitle(HANDLE progress, const WCHAR* title);
QZOBJ_API BOOL Progress_SetStatus(HANDLE progress, const WCHAR* text, int position,
                                  const WCHAR* text2);
QZOBJ_API BOOL Progress_SetMasterStatus(HANDLE progress, const WCHAR* text, int position,
                                        const WCHAR* text2);
QZOBJ_API void Progress_Close(HANDLE progress);

// What a progress call did, as the progress hook sees it.
enum PROGRESSCALLKIND {
    PROGRESS_CALL_OPEN = 1,
    PROGRESS_CALL_SETTITLE = 2,
    PROGRESS_CALL_SETSTATUS = 3,
    PROGRESS_CALL_SETMASTERSTATUS = 4,
    PROGRESS_CALL_CLOSE = 5,
};
struct PROGRESSCALL {
    PROGRESSCALLKIND kind;
    HANDLE progress;    // the window (for Open: the handle returned)
    const WCHAR* text;  // title (Open, SetTitle) or status text (the Set calls); may be null
    int position;       // the position as given (Set calls), else 0
    DWORD flags;        // Open's flags, else 0
};
// Called after every progress call on a known window, in the calling thread, with the texts
// valid only during the call. Returning non-zero fires the window's cancel callback once the
// call is done (as a user pressing Cancel would). Tests record the calls through it.
typedef BOOL (*PROGRESSHOOKPROC)(const PROGRESSCALL* call, void* context);
// Installs the hook (null removes it); returns the previous one. Thread-safe.
QZOBJ_API PROGRESSHOOKPROC Progress_SetHook(PROGRESSHOOKPROC hook, void* context);
// Fires the cancel callback of an open window; FALSE when the handle is unknown or the window
// has no callback.
QZOBJ_API BOOL Progress_Cancel(HANDLE progress);
