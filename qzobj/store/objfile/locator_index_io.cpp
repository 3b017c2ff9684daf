// Transfers at exact offsets of an open object file and the writes of its history index, each
// taken from the history image the file keeps cached.
#include "qzobj/store/objfile/locator_index_io.h"

#include <cstring>

#include "qzobj/file_modes.h"

namespace qzo::store::index_io {
namespace {

namespace fmt = qzo::store::object_file_format;
namespace acc = qzo::store::locfile_format;

constexpr uint64_t kLargestOffset = 0x7FFFFFFFu;

bool SeekTo(LocFile& file, uint64_t offset) {
    if (offset > kLargestOffset) return false;
    return file.SetFilePtr(LONG(offset), FILE_BEGIN) == DWORD(offset);
}

DWORD SlotImageOffset(DWORD slot) {
    return fmt::kIndexHeaderSize + fmt::kSlotSize * slot;
}

bool WriteImage(LocFile& file, DWORD imageOffset, DWORD count) {
    return WriteAt(file, uint64_t(fmt::kIndexOffset) + imageOffset,
                   file.m_HistoryIndex + imageOffset, count);
}

}  // namespace

bool ReadAt(LocFile& file, uint64_t offset, void* data, DWORD count) {
    if (!SeekTo(file, offset)) return false;
    return count == 0 || file.Read(data, count) == count;
}

bool WriteAt(LocFile& file, uint64_t offset, const void* data, DWORD count) {
    if (uint64_t(offset) + count > kLargestOffset || !SeekTo(file, offset)) return false;
    return count == 0 || file.Write(data, count) == count;
}

bool FileLength(LocFile& file, uint64_t& length) {
    const DWORD end = file.SetFilePtr(0, FILE_END);
    if (end == LocFile::kNoPosition) return false;
    length = end;
    return true;
}

bool ContentLength(LocFile& file, uint64_t& length) {
    if (!FileLength(file, length)) return false;
    if (length < acc::kAccessInfoSize) return true;
    acc::AccessInfoBytes bytes{};
    if (!ReadAt(file, length - acc::kAccessInfoSize, bytes, acc::kAccessInfoSize)) return false;
    if (acc::DecodeAccessInfo(bytes).dwMagic == acc::kAccessInfoMagic)
        length -= acc::kAccessInfoSize;
    return true;
}

fmt::HistoryIndex CachedIndex(const LocFile& file) {
    return fmt::DecodeIndex(file.m_HistoryIndex);
}

void CacheIndex(LocFile& file, const fmt::HistoryIndex& index) {
    fmt::EncodeIndex(index, file.m_HistoryIndex);
}

void SelectSlot(LocFile& file, const fmt::HistoryIndex& index, DWORD slot) {
    file.m_dwHistoryOffset = fmt::kIndexOffset;
    file.m_dwNTOffset = fmt::kNTOffset;
    file.m_dwVersionOffset = fmt::kVersionsOffset;
    if (slot >= fmt::kSlotCount) {
        file.m_dwDataOffset = 0;
        file.m_dwDataEnd = 0;
        return;
    }
    file.m_dwDataOffset = index.slots[slot].dwOffset;
    file.m_dwDataEnd = fmt::SlotEnd(index, slot);
}

bool WriteIndexHeader(LocFile& file) {
    return WriteImage(file, 0, fmt::kIndexHeaderSize);
}

bool WriteIndexHeaderWithSlot0(LocFile& file) {
    return WriteImage(file, 0, fmt::kIndexHeaderSize + fmt::kSlotSize);
}

bool WriteSlots(LocFile& file, DWORD first, DWORD last) {
    if (first > last || last >= fmt::kSlotCount) return false;
    return WriteImage(file, SlotImageOffset(first), (last - first + 1) * fmt::kSlotSize);
}

bool WriteSlotBody(LocFile& file, DWORD slot) {
    if (slot >= fmt::kSlotCount) return false;
    return WriteImage(file, SlotImageOffset(slot) + 4, fmt::kSlotSize - 4);
}

bool WriteSlotModifyCnt(LocFile& file, DWORD slot) {
    if (slot >= fmt::kSlotCount) return false;
    return WriteImage(file, SlotImageOffset(slot), 4);
}

bool CutAt(LocFile& file, uint64_t end) {
    return SeekTo(file, end) && file.SetEOF();
}

}  // namespace qzo::store::index_io
