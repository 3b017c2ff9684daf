// The object file header, history index and heritage records to and from their stored bytes,
// field by field and little-endian, and the records of a new file.
#include <cstring>

#include "qzobj/objmodel.h"
#include "qzobj/store/objfile/object_file_format.h"

namespace qzo::store::object_file_format {
namespace {

void Put16(BYTE* to, WORD value) {
    to[0] = static_cast<BYTE>(value);
    to[1] = static_cast<BYTE>(value >> 8);
}

WORD Get16(const BYTE* from) {
    return static_cast<WORD>(from[0] | from[1] << 8);
}

void Put32(BYTE* to, DWORD value) {
    for (int i = 0; i < 4; ++i) to[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD Get32(const BYTE* from) {
    return DWORD(from[0]) | DWORD(from[1]) << 8 | DWORD(from[2]) << 16 | DWORD(from[3]) << 24;
}

void PutUnits(BYTE* to, const WCHAR* units, DWORD count) {
    for (DWORD i = 0; i < count; ++i) Put16(to + 2 * i, units[i]);
}

void GetUnits(WCHAR* to, const BYTE* from, DWORD count) {
    for (DWORD i = 0; i < count; ++i) to[i] = Get16(from + 2 * i);
}

void PutLocation(BYTE* to, const Location& location) {
    Put32(to, location.dwHashID);
    Put32(to + 4, location.dwObjID);
    Put32(to + 8, location.dwProjID);
    Put32(to + 12, location.dwDataID);
    Put32(to + 16, location.dwFlags & kStoredLocationFlags);
}

Location GetLocation(const BYTE* from) {
    Location location;
    location.dwHashID = Get32(from);
    location.dwObjID = Get32(from + 4);
    location.dwProjID = Get32(from + 8);
    location.dwDataID = Get32(from + 12);
    location.dwFlags = Get32(from + 16);
    return location;
}

void PutGuid(BYTE* to, const GUID& guid) {
    Put32(to, guid.Data1);
    Put16(to + 4, guid.Data2);
    Put16(to + 6, guid.Data3);
    std::memcpy(to + 8, guid.Data4, sizeof(guid.Data4));
}

GUID GetGuid(const BYTE* from) {
    GUID guid{};
    guid.Data1 = Get32(from);
    guid.Data2 = Get16(from + 4);
    guid.Data3 = Get16(from + 6);
    std::memcpy(guid.Data4, from + 8, sizeof(guid.Data4));
    return guid;
}

void PutIndexHeader(BYTE* to, const HistoryIndexHeader& header) {
    std::memset(to, 0, kIndexHeaderSize);
    Put32(to + kIndexSizeOffset, header.dwSize);
    Put32(to + kIndexClassFlagsOffset, header.dwClassFlags);
    Put32(to + kIndexCurrentOffset, header.dwCurrent);
    Put32(to + kIndexDataEndOffset, header.dwDataEnd);
    Put32(to + kIndexSlotCountOffset, header.dwSlotCount);
}

HistoryIndexHeader GetIndexHeader(const BYTE* from) {
    HistoryIndexHeader header;
    header.dwSize = Get32(from + kIndexSizeOffset);
    header.dwClassFlags = Get32(from + kIndexClassFlagsOffset);
    header.dwCurrent = Get32(from + kIndexCurrentOffset);
    header.dwDataEnd = Get32(from + kIndexDataEndOffset);
    header.dwSlotCount = Get32(from + kIndexSlotCountOffset);
    return header;
}

void PutSlot(BYTE* to, const HistorySlot& slot) {
    std::memset(to, 0, kSlotSize);
    Put32(to + kSlotModifyCntOffset, slot.dwModifyCnt);
    Put32(to + kSlotDataOffsetOffset, slot.dwOffset);
    Put32(to + kSlotDataEndOffset, slot.dwEnd);
    Put32(to + kSlotModifyIdOffset, slot.dwModifyID);
    PutUnits(to + kSlotCommentOffset, slot.szComment, kSlotCommentUnits);
}

HistorySlot GetSlot(const BYTE* from) {
    HistorySlot slot;
    slot.dwModifyCnt = Get32(from + kSlotModifyCntOffset);
    slot.dwOffset = Get32(from + kSlotDataOffsetOffset);
    slot.dwEnd = Get32(from + kSlotDataEndOffset);
    slot.dwModifyID = Get32(from + kSlotModifyIdOffset);
    GetUnits(slot.szComment, from + kSlotCommentOffset, kSlotCommentUnits);
    return slot;
}

}  // namespace

ObjectFileHeader NewHeader(const Location& location, const CQZRuntimeClass* const* classes,
                           unsigned count) {
    ObjectFileHeader header;
    header.location = location;
    header.location.dwFlags &= kStoredLocationFlags;
    for (DWORD i = 0; i < kClassRecordCount; ++i) {
        const CQZRuntimeClass* record = classes != nullptr && i < count ? classes[i] : nullptr;
        header.classes[i].Set(record);
    }
    return header;
}

HistoryIndex NewIndex(DWORD classFlags) {
    HistoryIndex index;
    index.header.dwClassFlags = classFlags;
    return index;
}

void SetSlotComment(HistorySlot& slot, const WCHAR* text) {
    DWORD i = 0;
    for (; text != nullptr && i < kSlotCommentUnits && text[i] != 0; ++i) {
        slot.szComment[i] = text[i];
    }
    for (; i < kSlotCommentUnits; ++i) slot.szComment[i] = 0;
}

void EncodeHeritage(const tagOBJHERITAGE& record, BYTE* bytes) {
    Put32(bytes, record.cbSize);
    Put32(bytes + kHeritageHashOffset, record.dwHashID);
    PutGuid(bytes + kHeritageGuidOffset, record.guid);
    Put32(bytes + kHeritageFlagsOffset, record.dwFlags);
    PutUnits(bytes + kHeritagePathOffset, record.szDLLPath, kHeritagePathUnits);
}

tagOBJHERITAGE DecodeHeritage(const BYTE* bytes) {
    tagOBJHERITAGE record{};
    record.cbSize = Get32(bytes);
    record.dwHashID = Get32(bytes + kHeritageHashOffset);
    record.guid = GetGuid(bytes + kHeritageGuidOffset);
    record.dwFlags = Get32(bytes + kHeritageFlagsOffset);
    GetUnits(record.szDLLPath, bytes + kHeritagePathOffset, kHeritagePathUnits);
    return record;
}

void EncodeHeader(const ObjectFileHeader& header, HeaderBytes& bytes) {
    Put32(bytes + kMagicOffset, header.dwMagic);
    Put32(bytes + kHeaderSizeOffset, header.dwHeaderSize);
    PutLocation(bytes + kLocationOffset, header.location);
    Put32(bytes + kIndexOffsetOffset, header.dwIndexOffset);
    Put32(bytes + kNTOffsetOffset, header.dwNTOffset);
    Put32(bytes + kVersionsOffsetOffset, header.dwVersionsOffset);
    Put32(bytes + kClassCountOffset, header.dwClassCount);
    for (DWORD i = 0; i < kClassRecordCount; ++i) {
        EncodeHeritage(header.classes[i], bytes + kClassRecordsOffset + i * kHeritageSize);
    }
}

ObjectFileHeader DecodeHeader(const HeaderBytes& bytes) {
    ObjectFileHeader header;
    header.dwMagic = Get32(bytes + kMagicOffset);
    header.dwHeaderSize = Get32(bytes + kHeaderSizeOffset);
    header.location = GetLocation(bytes + kLocationOffset);
    header.dwIndexOffset = Get32(bytes + kIndexOffsetOffset);
    header.dwNTOffset = Get32(bytes + kNTOffsetOffset);
    header.dwVersionsOffset = Get32(bytes + kVersionsOffsetOffset);
    header.dwClassCount = Get32(bytes + kClassCountOffset);
    for (DWORD i = 0; i < kClassRecordCount; ++i) {
        header.classes[i] = DecodeHeritage(bytes + kClassRecordsOffset + i * kHeritageSize);
    }
    return header;
}

void EncodeIndexHeader(const HistoryIndexHeader& header, IndexHeaderBytes& bytes) {
    PutIndexHeader(bytes, header);
}

HistoryIndexHeader DecodeIndexHeader(const IndexHeaderBytes& bytes) {
    return GetIndexHeader(bytes);
}

void EncodeSlot(const HistorySlot& slot, SlotBytes& bytes) {
    PutSlot(bytes, slot);
}

HistorySlot DecodeSlot(const SlotBytes& bytes) {
    return GetSlot(bytes);
}

void EncodeIndex(const HistoryIndex& index, IndexBytes& bytes) {
    PutIndexHeader(bytes, index.header);
    for (DWORD i = 0; i < kSlotCount; ++i) {
        PutSlot(bytes + kIndexHeaderSize + i * kSlotSize, index.slots[i]);
    }
}

HistoryIndex DecodeIndex(const IndexBytes& bytes) {
    HistoryIndex index;
    index.header = GetIndexHeader(bytes);
    for (DWORD i = 0; i < kSlotCount; ++i) {
        index.slots[i] = GetSlot(bytes + kIndexHeaderSize + i * kSlotSize);
    }
    return index;
}

}  // namespace qzo::store::object_file_format
