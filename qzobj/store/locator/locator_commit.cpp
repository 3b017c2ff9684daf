// Committing an object: its NT block staged and written once when it changed, then the new
// version in the history ring. The order of the writes is the one that keeps the object file's
// crash guarantee, stated once in store.h. Both the NT block and the version are staged in
// memory first, so a failing or oversized StoreNT/StoreData writes nothing.
#include <cstring>
#include <vector>

#include "qzobj/archive/debug_print.h"
#include "qzobj/frame/startup.h"
#include "qzobj/persistent.h"
#include "qzobj/platform/fs.h"
#include "qzobj/store.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"
#include "qzobj/store/objfile/locator_ring.h"
#include "qzobj/store/objfile/locfile_format.h"
#include "qzobj/strings.h"

namespace qzo::store {
namespace {

namespace fmt = object_file_format;

constexpr int kFailureLevel = 3;
constexpr int kTraceLevel = 8;
constexpr DWORD kCommitTimeout = 10000;
constexpr UINT kEditCommentID = 4;

// What a store call wrote into a memory chunk archive: the archive's own block, shared rather
// than copied (a version may be megabytes).
struct Staged {
    CPMemoryFile content;
    const BYTE* Data() const { return static_cast<const BYTE*>(content.GetCDataPtr()); }
    DWORD Size() const { return content.GetSize(); }
};

// Runs `store` on a memory chunk archive and keeps its bytes. False when it fails.
template <class Store>
bool Stage(Store&& store, Staged& staged) {
    CMemChunkArchive archive;
    if (!archive.Open(CHNK_WRITE)) return false;
    bool stored;
    try {
        stored = store(archive) != FALSE;
    } catch (...) {
        stored = false;
    }
    if (!archive.Close() || !stored) return false;
    staged.content = archive.GetContent();
    return true;
}

// A writer's open takes 168 bytes at the file's end that begin with the access record's magic
// for a dead writer's record and overwrites them. A version ending in such bytes gets zero bytes
// behind it (inside its range, after its chunks), so the file never ends that way: the number of
// zero bytes needed, a multiple of 4.
DWORD PaddingAgainstAccessRecord(const Staged& data) {
    const size_t record = locfile_format::kAccessInfoSize;
    DWORD padding = 0;
    for (size_t size = data.Size(); size + padding >= record; padding += 4) {
        const size_t start = size + padding - record;
        if (start + 4 > size) return padding;  // the window starts in the zeros
        const BYTE* tail = data.Data() + start;
        const DWORD magic =
            DWORD(tail[0]) | DWORD(tail[1]) << 8 | DWORD(tail[2]) << 16 | DWORD(tail[3]) << 24;
        if (magic != locfile_format::kAccessInfoMagic) return padding;
    }
    return padding;
}

bool FlushWanted(DWORD flags) {
    return (flags & LOCATOR_COMMIT_FLUSH) || LocatorCore::WritebackPriority() == 1;
}

// The NT area as it must be on the disk: the block, then zeros to the version area.
bool WriteNTIfChanged(LocFile& file, const Staged& block, bool& written) {
    std::vector<BYTE> wanted(fmt::kNTMaxSize, 0);
    if (block.Size()) std::memcpy(wanted.data(), block.Data(), block.Size());
    std::vector<BYTE> present(fmt::kNTMaxSize, 0);
    if (index_io::ReadAt(file, fmt::kNTOffset, present.data(), fmt::kNTMaxSize) &&
        present == wanted)
        return true;
    written = true;
    return index_io::WriteAt(file, fmt::kNTOffset, wanted.data(), fmt::kNTMaxSize);
}

bool Sync(LocFile& file, bool flush) {
    return !flush || file.Flush();
}

// Steps 1 to 5 of the version write. False at the first failing call.
bool WritePlanned(LocFile& file, const VersionPlan& plan, const Staged& data, DWORD padding,
                  bool flush) {
    index_io::CacheIndex(file, plan.emptied);
    if (plan.firstChanged <= plan.lastChanged &&
        !index_io::WriteSlots(file, plan.firstChanged, plan.lastChanged))
        return false;
    if (data.Size() && !index_io::WriteAt(file, plan.offset, data.Data(), data.Size()))
        return false;
    const BYTE zeros[locfile_format::kAccessInfoSize] = {};
    if (padding && !index_io::WriteAt(file, plan.offset + data.Size(), zeros, padding))
        return false;
    index_io::CacheIndex(file, plan.final);
    if (!index_io::WriteSlotBody(file, plan.slot)) return false;
    if (plan.slot == 0) {
        // Slot 0 shares the header's sector: its ModifyCnt and the header go in one write.
        if (!Sync(file, flush) || !index_io::WriteIndexHeaderWithSlot0(file)) return false;
    } else if (!index_io::WriteSlotModifyCnt(file, plan.slot) || !Sync(file, flush) ||
               !index_io::WriteIndexHeader(file)) {
        return false;
    }
    if (!Sync(file, flush)) return false;
    return index_io::CutAt(file, plan.final.header.dwDataEnd);
}

}  // namespace

BOOL LocatorLife::WriteVersion(Locator& locator, CQZObject& object, DWORD flags, bool& written) {
    LocFile& file = *locator.m_pFile;
    Staged nt;
    if (!Stage([&](CQZArchive& archive) { return object.StoreNT(archive); }, nt)) {
        DebugPrint(kFailureLevel, u"\rLocator::Commit: StoreNT failed\r\n");
        return FALSE;
    }
    if (nt.Size() > fmt::kNTMaxSize) {
        DebugPrint(kFailureLevel, u"\rLocator::Commit: NT block of %u bytes exceeds %u bytes\r\n",
                   nt.Size(), fmt::kNTMaxSize);
        return FALSE;
    }
    if (!(flags & LOCATOR_COMMIT_NTONLY)) {
        const fmt::HistoryIndex index = index_io::CachedIndex(file);
        const DWORD current = index.header.dwCurrent;
        if (current < fmt::kSlotCount && index.slots[current].dwModifyCnt == 0) return FALSE;
    }
    if (!WriteNTIfChanged(file, nt, written)) return FALSE;
    if (flags & LOCATOR_COMMIT_NTONLY) return TRUE;

    const fmt::HistoryIndex index = index_io::CachedIndex(file);
    DebugPrint(kTraceLevel, u"\rCommit:Undo Comment = %ls", object.m_szUndoComment);
    ++object.m_dwVersion;
    Staged data;
    if (!Stage([&](CQZArchive& archive) { return object.StoreData(archive); }, data)) {
        --object.m_dwVersion;
        DebugPrint(kFailureLevel, u"\rLocator::Commit: StoreData failed\r\n");
        return FALSE;
    }
    const DWORD padding = PaddingAgainstAccessRecord(data);
    VersionPlan plan = PlanVersion(index, object.m_dwVersion, size_t(data.Size()) + padding);
    if (!plan.fits) {
        --object.m_dwVersion;
        DebugPrint(kFailureLevel, u"\rLocator::Commit: Object file would pass 2 GiB\r\n");
        return FALSE;
    }
    fmt::HistorySlot& fresh = plan.final.slots[plan.slot];
    fresh.dwModifyID = object.m_dwModifyID;
    fmt::SetSlotComment(fresh, object.m_szUndoComment);
    written = true;
    if (!WritePlanned(file, plan, data, padding, FlushWanted(flags))) {
        --object.m_dwVersion;
        index_io::SelectSlot(file, index, index.header.dwCurrent);
        DebugPrint(kFailureLevel, u"\rLocator::Commit: Writing the version failed\r\n");
        return FALSE;
    }
    index_io::SelectSlot(file, plan.final, plan.slot);
    object.m_dwChangeGrade = 0;
    object.m_dwModifyID = 0;
    LSetStringW(object.m_szUndoComment, u"Edit", int(QZOBJ_COMMENT_UNITS),
                qzo::frame::LibraryInstance(), kEditCommentID);
    DebugPrint(kTraceLevel, u"\rCOMMIT: Index = %u, ModifyCnt = %u\r\n", plan.slot,
               object.m_dwVersion);
    return TRUE;
}

FILETIME LocatorLife::AdvanceLastWrite(Locator& locator, const FILETIME& before) {
    LocFile& file = *locator.m_pFile;
    file.TouchLastWrite();
    FILETIME now{};
    if (!file.GetLastWriteTime(&now)) return before;
    if (qzo::platform::FileTimeValue(now) > qzo::platform::FileTimeValue(before)) return now;
    // Our own writes set the system's coarse modification time, which may lie before the stamp
    // an earlier touch left: start from that stamp instead, set on the open handle.
    if (file.WriteLastWrite(before)) {
        file.TouchLastWrite();
        if (file.GetLastWriteTime(&now) &&
            qzo::platform::FileTimeValue(now) > qzo::platform::FileTimeValue(before))
            return now;
    }
    return now;
}

}  // namespace qzo::store

using qzo::store::LocatorCore;
using qzo::store::LocatorCounter;
using qzo::store::LocatorLife;
using qzo::store::LocatorTimer;

BOOL Locator::Commit(CQZObject& object, DWORD flags) {
    if (!m_pFile || !object.GetRuntimeClass()) return FALSE;
    if (m_Location.dwProjID != LocatorCore::DefProjID()) {
        ReleaseAccess();
        return FALSE;
    }
    if (!(m_pFile->GetAccess() & LOCATOR_ACCESS_WRITE)) return FALSE;
    if (!WaitForLock(qzo::store::kCommitTimeout)) return FALSE;
    LocatorTimer timer(LocatorCounter::kCommit);
    if (flags & LOCATOR_COMMIT_PURGE)
        flags = LOCATOR_COMMIT_PURGE | (flags & (LOCATOR_COMMIT_SILENT | LOCATOR_COMMIT_FLUSH));
    const DWORD pending = object.m_dwChangeGrade;
    FILETIME before{};
    m_pFile->GetLastWriteTime(&before);

    bool written = false;
    const BOOL stored = LocatorLife::WriteVersion(*this, object, flags, written);
    if (stored && (flags & LOCATOR_COMMIT_PURGE))
        LocatorLife::Compact(*this, qzo::store::FlushWanted(flags));
    if (stored || written) {
        const FILETIME stamp = LocatorLife::AdvanceLastWrite(*this, before);
        if (stored) object.m_ftLastWrite = stamp;
    }
    Unlock();
    if (stored && !(flags & LOCATOR_COMMIT_SILENT))
        LocatorCore::NotifyState(&object, LOCATOR_NOTIFY_COMMITTED, pending);
    return stored;
}
