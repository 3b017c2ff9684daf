// The access-info trailer's stored form: field-by-field little-endian encoding.
#include "qzobj/store/objfile/locfile_format.h"

#include "qzobj/archive/chunk_format.h"

namespace qzo::store::locfile_format {
namespace {

using chunk_format::GetLe32;
using chunk_format::PutLe32;

void PutName(BYTE* to, const WCHAR* name, DWORD units) {
    bool ended = false;
    for (DWORD i = 0; i < units; ++i) {
        const WCHAR unit = ended ? 0 : name[i];
        ended = ended || unit == 0;
        to[2 * i] = static_cast<BYTE>(unit);
        to[2 * i + 1] = static_cast<BYTE>(unit >> 8);
    }
}

void GetName(WCHAR* to, const BYTE* from, DWORD units) {
    for (DWORD i = 0; i < units; ++i) to[i] = WCHAR(from[2 * i] | from[2 * i + 1] << 8);
    to[units - 1] = 0;
}

}  // namespace

void EncodeAccessInfo(const tagACCESSINFO& info, AccessInfoBytes& bytes) {
    PutLe32(bytes + kMagicOffset, info.dwMagic);
    PutLe32(bytes + kComputerIdOffset, info.dwComputerID);
    PutName(bytes + kComputerNameOffset, info.szComputerName, kComputerNameUnits);
    PutName(bytes + kUserNameOffset, info.szUserName, kUserNameUnits);
}

tagACCESSINFO DecodeAccessInfo(const AccessInfoBytes& bytes) {
    tagACCESSINFO info{};
    info.dwMagic = GetLe32(bytes + kMagicOffset);
    info.dwComputerID = GetLe32(bytes + kComputerIdOffset);
    GetName(info.szComputerName, bytes + kComputerNameOffset, kComputerNameUnits);
    GetName(info.szUserName, bytes + kUserNameOffset, kUserNameUnits);
    return info;
}

tagACCESSINFO EmptyAccessInfo() {
    tagACCESSINFO info{};
    info.dwComputerID = kNoComputerId;
    return info;
}

}  // namespace qzo::store::locfile_format
