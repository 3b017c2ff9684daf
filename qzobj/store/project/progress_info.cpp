// CProgressInfo: the progress window through which project-wide operations report, a thin
// handle over the dialog library's progress windows.
#include <new>

#include "qzobj/project_ids.h"
#include "qzobj/uikit.h"

CProgressInfo* CProgressInfo::Create() {
    return new (std::nothrow) CProgressInfo;
}

BOOL CProgressInfo::Destroy() {
    delete this;
    return TRUE;
}

CProgressInfo::CProgressInfo() : hProgress(nullptr) {}

CProgressInfo::~CProgressInfo() {
    Close();
}

BOOL CProgressInfo::Open(const WCHAR* title, DWORD flags, PROGRESSINFOCALLBACK callback,
                         uintptr_t value) {
    Close();
    hProgress = Progress_Open(nullptr, title, nullptr, flags, callback, value);
    return hProgress ? TRUE : FALSE;
}

void CProgressInfo::SetCustomText(const WCHAR* text) {
    if (hProgress) Progress_SetTitle(hProgress, text);
}

BOOL CProgressInfo::SetProgress(DWORD position, const WCHAR* text) {
    if (!hProgress) return TRUE;
    return Progress_SetStatus(hProgress, text, int(position > 100 ? 100 : position), nullptr);
}

BOOL CProgressInfo::SetMasterProgress(DWORD position, const WCHAR* text) {
    if (!hProgress) return TRUE;
    return Progress_SetMasterStatus(hProgress, text, int(position > 100 ? 100 : position), nullptr);
}

BOOL CProgressInfo::Close() {
    if (!hProgress) return FALSE;
    Progress_Close(hProgress);
    hProgress = nullptr;
    return TRUE;
}
