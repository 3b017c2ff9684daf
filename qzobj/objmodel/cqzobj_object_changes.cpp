// The persistent object's change tracking, undo comment, state-notify callbacks and parent
// location.
#include <algorithm>

#include "qzobj/persistent.h"
#include "qzobj/strings.h"

void CQZObject::SetChanged(int notify, DWORD grade) {
    ++m_dwChangeCnt;
    m_dwChangeFlags |= QZOBJ_CHANGED;
    m_dwChangeGrade = std::max(m_dwChangeGrade, grade);
    if (notify) Notify(QZOBJ_NOTIFY_CHANGED, grade);
}

// Mode 1 only tells the callbacks; the changed bit is never touched here.
void CQZObject::SignalChanged(DWORD mode, DWORD grade) {
    ++m_dwChangeCnt;
    if (mode == 1) {
        Notify(QZOBJ_NOTIFY_SIGNALLED, 0);
        return;
    }
    m_dwChangeGrade = std::max(m_dwChangeGrade, grade);
    Notify(QZOBJ_NOTIFY_CHANGED, grade);
}

// The change count keeps counting across commits.
void CQZObject::ClearChanged() {
    m_dwChangeGrade = 0;
    m_dwChangeFlags &= ~QZOBJ_CHANGED;
}

void CQZObject::SetDelTrace() {
    m_dwChangeFlags |= QZOBJ_DELTRACE;
}

void CQZObject::ClearDelTrace() {
    m_dwChangeFlags &= ~QZOBJ_DELTRACE;
}

// A given text is copied as it is (not looked up), so a comment can never be replaced by an
// unrelated string resource; the field stays terminated either way.
void CQZObject::SetUndoComment(const WCHAR* text, HINSTANCE instance, UINT id) {
    if (!text) {
        LSetStringW(m_szUndoComment, nullptr, QZOBJ_COMMENT_UNITS, instance, id);
        return;
    }
    unsigned length = 0;
    while (length + 1 < QZOBJ_COMMENT_UNITS && text[length] != 0) {
        m_szUndoComment[length] = text[length];
        ++length;
    }
    std::fill(m_szUndoComment + length, m_szUndoComment + QZOBJ_COMMENT_UNITS, WCHAR{0});
}

DWORD CQZObject::RegisterStateNotify(CHANGENOTIFYPROC callback, uintptr_t value1,
                                     uintptr_t value2) {
    return m_StateNotify.Add(callback, value1, value2);
}

BOOL CQZObject::UnregisterStateNotify(DWORD handle) {
    return m_StateNotify.Delete(handle, FALSE);
}

DWORD CQZObject::NotifyObject(DWORD code, uintptr_t parameter) {
    if (code < QZOBJ_NOTIFY_USER) return 0;
    return static_cast<DWORD>(m_StateNotify.Notify(this, code, parameter));
}

void CQZObject::Notify(DWORD code, uintptr_t parameter) {
    m_StateNotify.Notify(this, code, parameter);
}

BOOL CQZObject::SetParentLocation(const Location& location) {
    m_ParentLocation = location;
    return TRUE;
}

// An object without a valid parent is its own parent.
Location CQZObject::GetParentLocation() const {
    if (m_ParentLocation.IsValid()) return m_ParentLocation;
    return m_Locator.GetLocation();
}
