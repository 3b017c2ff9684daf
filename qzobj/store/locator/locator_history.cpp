// Moving between an object's versions: the queries on its history, selecting the current
// version by ModifyCnt, and unwinding an object to another version. Moving writes only the
// 52-byte index header.
#include "qzobj/archive/debug_print.h"
#include "qzobj/persistent.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"

namespace qzo::store {
namespace {

namespace fmt = object_file_format;

constexpr int kFailureLevel = 3;
constexpr DWORD kQueryTimeout = 1000;
constexpr DWORD kUnwindTimeout = 10000;

// The valid slot stamped `modifyCnt`, or kNoSlot.
DWORD FindSlot(const HistoryView& view, DWORD modifyCnt) {
    if (modifyCnt == 0) return fmt::kNoSlot;
    for (DWORD slot = 0; slot < fmt::kSlotCount; ++slot)
        if (view.check.IsValidSlot(slot) && view.index.slots[slot].dwModifyCnt == modifyCnt)
            return slot;
    return fmt::kNoSlot;
}

// Makes `slot` current: the header alone is written (flushed when asked).
bool MakeCurrent(LocFile& file, fmt::HistoryIndex index, DWORD slot, bool flush) {
    index.header.dwCurrent = slot;
    index_io::CacheIndex(file, index);
    index_io::SelectSlot(file, index, slot);
    if (!index_io::WriteIndexHeader(file)) return false;
    return !flush || file.Flush();
}

}  // namespace
}  // namespace qzo::store

using qzo::store::HistoryView;
using qzo::store::LocatorCore;
using qzo::store::LocatorLife;
namespace fmt = qzo::store::object_file_format;

DWORD Locator::QueryModifyCnt() {
    DWORD modifyCnt = 0xFFFFFFFFu;
    LocatorLife::WithHistory(
        *this, LOCATOR_ACCESS_READ, qzo::store::kQueryTimeout, [&](const HistoryView& view) {
            modifyCnt = view.index.slots[view.index.header.dwCurrent].dwModifyCnt;
            return TRUE;
        });
    return modifyCnt;
}

BOOL Locator::QueryUndoRedo(unsigned& undo, unsigned& redo) {
    undo = redo = 0;
    if (QueryFlags() & LOCATOR_VIRTUAL) return TRUE;
    return LocatorLife::WithHistory(*this, LOCATOR_ACCESS_READ, qzo::store::kQueryTimeout,
                                    [&](const HistoryView& view) {
                                        fmt::CountUndoRedo(view.index, view.check, undo, redo);
                                        return TRUE;
                                    });
}

unsigned Locator::GetUndoRedoList(tagUNDOLIST* list, unsigned max) {
    unsigned count = 0;
    if (!list || max == 0 || (QueryFlags() & LOCATOR_VIRTUAL)) return 0;
    LocatorLife::WithHistory(*this, LOCATOR_ACCESS_READ, qzo::store::kQueryTimeout,
                             [&](const HistoryView& view) {
                                 count = fmt::BuildUndoList(view.index, view.check, list, max);
                                 return TRUE;
                             });
    return count;
}

BOOL Locator::SetHistoryIndex(DWORD modifyCnt) {
    if (m_pFile || modifyCnt == 0) return FALSE;
    if (WaitForAccess(LOCATOR_ACCESS_READ | LOCATOR_ACCESS_WRITE, qzo::store::kQueryTimeout) != 0)
        return FALSE;
    BOOL done = FALSE;
    FILETIME before{};
    m_pFile->GetLastWriteTime(&before);
    if (LocatorLife::CheckClassPresence(*this, true).record) {
        const HistoryView view = LocatorLife::CachedHistory(*this);
        const DWORD slot = qzo::store::FindSlot(view, modifyCnt);
        if (slot != fmt::kNoSlot && qzo::store::MakeCurrent(*m_pFile, view.index, slot, true)) {
            LocatorLife::AdvanceLastWrite(*this, before);
            done = TRUE;
        }
    }
    Unlock();
    ReleaseAccess();
    return done;
}

BOOL Locator::UnwindObject(CQZObject& object, int target, BOOL relative) {
    using qzo::store::DebugPrint;
    using qzo::store::kFailureLevel;
    const DWORD flags = QueryFlags();
    if (!m_pFile || !(m_pFile->GetAccess() & LOCATOR_ACCESS_WRITE) ||
        (flags & (LOCATOR_VIRTUAL | LOCATOR_TEMPORARY)) || !object.GetRuntimeClass() ||
        !object.Unwind(QZOBJ_UNWIND_QUERY, nullptr)) {
        DebugPrint(kFailureLevel, u"\rLocator::UnwindObject: Query failed\r\n");
        return FALSE;
    }
    const DWORD wanted = relative ? DWORD(object.m_dwVersion + DWORD(target)) : DWORD(target);
    if (wanted == 0) {
        DebugPrint(kFailureLevel, u"\rLocator::UnwindObject: Illegitimate target index 0\r\n");
        return FALSE;
    }
    if (!WaitForLock(qzo::store::kUnwindTimeout)) {
        DebugPrint(kFailureLevel, u"\rLocator::UnwindObject: Lock timeout\r\n");
        return FALSE;
    }
    FILETIME before{};
    m_pFile->GetLastWriteTime(&before);
    const HistoryView view = LocatorLife::CachedHistory(*this);
    const DWORD current = view.index.header.dwCurrent;
    const DWORD slot = qzo::store::FindSlot(view, wanted);
    BOOL done = FALSE;
    if (slot == fmt::kNoSlot) {
        DebugPrint(kFailureLevel, u"\rLocator::UnwindObject: Index beyond history\r\n");
    } else {
        qzo::store::index_io::SelectSlot(*m_pFile, view.index, slot);
        CQZObject* rebuilt = LocatorLife::Reconstruct(*this, object.GetRuntimeClass());
        if (!rebuilt) {
            DebugPrint(kFailureLevel, u"\rLocator::UnwindObject: Unable to reconstruct object\r\n");
        } else if (rebuilt->Unwind(QZOBJ_UNWIND_AGREE, nullptr)) {
            rebuilt->Unwind(QZOBJ_UNWIND_TAKEOVER, &object);
            rebuilt->DelObject();
            if (qzo::store::MakeCurrent(*m_pFile, view.index, slot,
                                        LocatorCore::WritebackPriority() == 1)) {
                const FILETIME stamp = LocatorLife::AdvanceLastWrite(*this, before);
                object.Reload(*this);
                object.m_ftLastWrite = stamp;
                done = TRUE;
            }
        } else {
            DebugPrint(kFailureLevel, u"\rLocator::UnwindObject: Try undel failed\r\n");
            rebuilt->Unwind(QZOBJ_UNWIND_FAILED, nullptr);
            rebuilt->DelObject();
        }
    }
    const fmt::HistoryIndex now = qzo::store::index_io::CachedIndex(*m_pFile);
    qzo::store::index_io::SelectSlot(*m_pFile, now, done ? slot : current);
    Unlock();
    if (done) LocatorCore::NotifyState(&object, LOCATOR_NOTIFY_UNWOUND, 0);
    return done;
}
