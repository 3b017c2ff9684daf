// Reading and writing the parts of an open object file at exact offsets: the header and index
// as one block, single slot records or their ModifyCnt word, the 52-byte index header, and the
// history image the file keeps cached for its locators.
#pragma once

#include <cstdint>

#include "qzobj/store/objfile/locfile.h"
#include "qzobj/store/objfile/object_file_format.h"

namespace qzo::store::index_io {

// Whole transfers at an absolute offset below 2 GiB; false when fewer bytes moved.
bool ReadAt(LocFile& file, uint64_t offset, void* data, DWORD count);
bool WriteAt(LocFile& file, uint64_t offset, const void* data, DWORD count);
// The file's length in bytes; false when it cannot be had or passes 32 bits.
bool FileLength(LocFile& file, uint64_t& length);
// The length without the writer's access record at its end (when one is there).
bool ContentLength(LocFile& file, uint64_t& length);

// The history image kept in the file object (the index as it is on the disk).
object_file_format::HistoryIndex CachedIndex(const LocFile& file);
void CacheIndex(LocFile& file, const object_file_format::HistoryIndex& index);
// Caches the layout offsets and the range of `slot` (nothing selected for an invalid slot).
void SelectSlot(LocFile& file, const object_file_format::HistoryIndex& index, DWORD slot);

// Writes from the cached image: the 52-byte index header; slot 0 together with it (one write
// inside one sector); slot records first..last; the slot's fields after its ModifyCnt; its
// ModifyCnt alone.
bool WriteIndexHeader(LocFile& file);
bool WriteIndexHeaderWithSlot0(LocFile& file);
bool WriteSlots(LocFile& file, DWORD first, DWORD last);
bool WriteSlotBody(LocFile& file, DWORD slot);
bool WriteSlotModifyCnt(LocFile& file, DWORD slot);

// Cuts the file at `end` (the writer's record follows it while the file is open).
bool CutAt(LocFile& file, uint64_t end);

}  // namespace qzo::store::index_io
