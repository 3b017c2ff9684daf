// Compacting an object's history into slot 0, ordered so that a crash at any call leaves the
// current version listed and loadable:
//   1. every slot but the current one is emptied;
//   2. when the current data overlap their destination [10240, 10240 + size), they are first
//      copied behind the data end and a spare slot listing the copy becomes current;
//   3. the data are written at 10240;
//   4. slot 0 and the index header go in one write (one sector): the commit point;
//   5. the old slot is emptied and the file cut after the data.
#include <algorithm>
#include <vector>

#include "qzobj/archive/debug_print.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/locator/locator_life.h"
#include "qzobj/store/objfile/locator_index_io.h"
#include "qzobj/store/objfile/locator_ring.h"
#include "qzobj/store/objfile/locfile_format.h"

namespace qzo::store {
namespace {

namespace fmt = object_file_format;

constexpr int kFailureLevel = 3;
constexpr DWORD kPurgeTimeout = 1000;

bool Sync(LocFile& file, bool flush) {
    return !flush || file.Flush();
}

// Step 1: only the current slot stays listed, with its own end.
bool ListOnlyCurrent(LocFile& file, fmt::HistoryIndex& index) {
    const DWORD current = index.header.dwCurrent;
    DWORD first = fmt::kSlotCount, last = 0;
    for (DWORD slot = 0; slot < fmt::kSlotCount; ++slot) {
        fmt::HistorySlot& record = index.slots[slot];
        if (slot == current) {
            if (record.dwEnd != 0) continue;
            record.dwEnd = fmt::SlotEnd(index, slot);
        } else {
            if (record.dwModifyCnt == 0) continue;
            record = fmt::HistorySlot{};
        }
        first = std::min(first, slot);
        last = std::max(last, slot);
    }
    index_io::CacheIndex(file, index);
    return first > last || index_io::WriteSlots(file, first, last);
}

// Step 2: the data move behind the data end and a spare slot lists them as current.
bool MoveCurrentAside(LocFile& file, fmt::HistoryIndex& index, const std::vector<BYTE>& data,
                      bool flush) {
    const DWORD current = index.header.dwCurrent;
    const uint64_t offset = index.header.dwDataEnd;
    const uint64_t end = offset + data.size();
    if (end + locfile_format::kAccessInfoSize > kLargestFileEnd) return false;
    if (!index_io::WriteAt(file, offset, data.data(), DWORD(data.size()))) return false;
    const DWORD spare = current == 1 ? 2 : 1;
    index.slots[spare] = index.slots[current];
    index.slots[spare].dwOffset = DWORD(offset);
    index.slots[spare].dwEnd = DWORD(end);
    index_io::CacheIndex(file, index);
    // Until the header names it, the spare repeats the current ModifyCnt and is not listed.
    if (!index_io::WriteSlotBody(file, spare) || !index_io::WriteSlotModifyCnt(file, spare))
        return false;
    index.header.dwCurrent = spare;
    index.header.dwDataEnd = DWORD(end);
    index_io::CacheIndex(file, index);
    if (!Sync(file, flush) || !index_io::WriteIndexHeader(file) || !Sync(file, flush)) return false;
    index.slots[current] = fmt::HistorySlot{};
    index_io::CacheIndex(file, index);
    return index_io::WriteSlots(file, current, current);
}

bool CompactSteps(LocFile& file, fmt::HistoryIndex& index, bool flush) {
    const DWORD size =
        fmt::SlotEnd(index, index.header.dwCurrent) - index.slots[index.header.dwCurrent].dwOffset;
    std::vector<BYTE> data(size);
    if (!index_io::ReadAt(file, index.slots[index.header.dwCurrent].dwOffset, data.data(), size))
        return false;
    if (!ListOnlyCurrent(file, index)) return false;
    if (index.slots[index.header.dwCurrent].dwOffset < uint64_t(fmt::kVersionsOffset) + size &&
        !MoveCurrentAside(file, index, data, flush))
        return false;
    const DWORD old = index.header.dwCurrent;
    if (!index_io::WriteAt(file, fmt::kVersionsOffset, data.data(), size)) return false;
    index.slots[0] = index.slots[old];
    index.slots[0].dwOffset = fmt::kVersionsOffset;
    index.slots[0].dwEnd = fmt::kVersionsOffset + size;
    index.header.dwCurrent = 0;
    index.header.dwDataEnd = fmt::kVersionsOffset + size;
    index_io::CacheIndex(file, index);
    if (!Sync(file, flush) || !index_io::WriteIndexHeaderWithSlot0(file) || !Sync(file, flush))
        return false;
    index.slots[old] = fmt::HistorySlot{};
    index_io::CacheIndex(file, index);
    if (!index_io::WriteSlots(file, old, old)) return false;
    return index_io::CutAt(file, index.header.dwDataEnd);
}

}  // namespace

BOOL LocatorLife::Compact(Locator& locator, bool flush) {
    LocFile* file = locator.m_pFile;
    if (!file || !(file->GetAccess() & LocFile::kWrite)) return FALSE;
    const HistoryView view = CachedHistory(locator);
    if (!view.check.IsUsable()) return FALSE;
    fmt::HistoryIndex index = view.index;
    if (index.header.dwCurrent == 0) return TRUE;
    const bool done = CompactSteps(*file, index, flush);
    index_io::SelectSlot(*file, index, index.header.dwCurrent);
    if (!done)
        DebugPrint(kFailureLevel, u"\rLocator::Purge %08x: Compacting the history failed\r\n",
                   locator.m_Location.dwObjID);
    return done ? TRUE : FALSE;
}

}  // namespace qzo::store

using qzo::store::LocatorCore;
using qzo::store::LocatorLife;

BOOL Locator::Purge() {
    const bool opened = m_pFile == nullptr;
    if (opened) {
        if (WaitForAccess(LOCATOR_ACCESS_RWE, qzo::store::kPurgeTimeout) != 0) return FALSE;
    } else if (!WaitForLock(qzo::store::kPurgeTimeout)) {
        return FALSE;
    }
    BOOL done = FALSE;
    if (m_pFile->GetAccess() & LOCATOR_ACCESS_WRITE) {
        FILETIME before{};
        m_pFile->GetLastWriteTime(&before);
        if (LocatorLife::CheckClassPresence(*this, true).record) {
            const bool changes = qzo::store::index_io::CachedIndex(*m_pFile).header.dwCurrent != 0;
            done = LocatorLife::Compact(*this, LocatorCore::WritebackPriority() == 1);
            if (done && changes) LocatorLife::AdvanceLastWrite(*this, before);
        }
    }
    Unlock();
    if (opened) ReleaseAccess();
    return done;
}
