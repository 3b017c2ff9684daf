// The run-time object base's chunk helpers: raw memory and properties as chunks, for the
// StoreData and LoadData of derived classes.
#include "qzobj/memblock.h"
#include "qzobj/objmodel.h"
#include "qzobj/store.h"

namespace {

constexpr unsigned kOpenFailed = 0xFFFFFFFFu;
// A stored property's header: its type (u32) and its identifier (16 bytes), little-endian.
constexpr DWORD kPropertyHeaderSize = 20;

void PutLe32(BYTE* out, DWORD value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD GetLe32(const BYTE* in) {
    return DWORD{in[0]} | DWORD{in[1]} << 8 | DWORD{in[2]} << 16 | DWORD{in[3]} << 24;
}

void EncodePropertyHeader(const CPProperty& property, BYTE* out) {
    const GUID& id = property.GetPropertyID();
    PutLe32(out, property.GetPropertyType());
    PutLe32(out + 4, id.Data1);
    out[8] = static_cast<BYTE>(id.Data2);
    out[9] = static_cast<BYTE>(id.Data2 >> 8);
    out[10] = static_cast<BYTE>(id.Data3);
    out[11] = static_cast<BYTE>(id.Data3 >> 8);
    for (int i = 0; i < 8; ++i) out[12 + i] = id.Data4[i];
}

void DecodePropertyHeader(const BYTE* in, DWORD& type, GUID& id) {
    type = GetLe32(in);
    id.Data1 = GetLe32(in + 4);
    id.Data2 = static_cast<WORD>(in[8] | in[9] << 8);
    id.Data3 = static_cast<WORD>(in[10] | in[11] << 8);
    for (int i = 0; i < 8; ++i) id.Data4[i] = in[12 + i];
}

}  // namespace

BOOL CQZRTObject::StoreMemory(CQZArchive& archive, const char* name, const void* data, DWORD size) {
    if (!data && size != 0) return FALSE;
    const unsigned layer = archive.Chnk_Open(name, CHNK_WRITE);
    if (layer == kOpenFailed) return FALSE;
    const bool written = size == 0 || archive.Chnk_Write(data, size) == size;
    const bool closed = archive.Chnk_Close(layer) != FALSE;
    return written && closed ? TRUE : FALSE;
}

BOOL CQZRTObject::LoadMemory(CQZArchive& archive, const char* name, void* data, DWORD size) {
    if (!data && size != 0) return FALSE;
    const unsigned layer = archive.Chnk_Open(name, CHNK_READ);
    if (layer == kOpenFailed) return FALSE;
    const DWORD stored = archive.Chnk_GetSize(layer);
    const DWORD wanted = stored < size ? stored : size;
    const bool read = wanted == 0 || archive.Chnk_Read(data, wanted) == wanted;
    archive.Chnk_Close(layer);
    return read ? TRUE : FALSE;
}

// Stored as a chunk `name` holding the header, then the block as an inner chunk of the same
// name: an outer payload of 28 bytes plus the block's size.
BOOL CQZRTObject::StoreProperty(CQZArchive& archive, const char* name, CPProperty& property) {
    const unsigned layer = archive.Chnk_Open(name, CHNK_WRITE);
    if (layer == kOpenFailed) return FALSE;
    BYTE header[kPropertyHeaderSize];
    EncodePropertyHeader(property, header);
    bool stored = archive.Chnk_Write(header, kPropertyHeaderSize) == kPropertyHeaderSize;
    if (stored) stored = property.DynaSave(name, archive) != FALSE;
    const bool closed = archive.Chnk_Close(layer) != FALSE;
    return stored && closed ? TRUE : FALSE;
}

BOOL CQZRTObject::LoadProperty(CQZArchive& archive, const char* name, CPProperty& property) {
    property.Free();
    property.SetPropertyID(0, GUID{});
    const unsigned layer = archive.Chnk_Open(name, CHNK_READ);
    if (layer == kOpenFailed) return FALSE;
    BYTE header[kPropertyHeaderSize];
    bool loaded = archive.Chnk_Read(header, kPropertyHeaderSize) == kPropertyHeaderSize;
    if (loaded) loaded = property.DynaLoad(name, archive) != FALSE;
    if (loaded) {
        DWORD type = 0;
        GUID id{};
        DecodePropertyHeader(header, type, id);
        property.SetPropertyID(type, id);
    }
    archive.Chnk_Close(layer);
    return loaded ? TRUE : FALSE;
}
