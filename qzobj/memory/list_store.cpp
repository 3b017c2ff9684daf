// CPvList's chunk storage. A stored list is one chunk: the item size as a little-endian 32-bit
// word, then the items. In memory the header is 8 bytes, so loading widens it by 4 bytes, and
// a list stored with another item size is converted item by item when the caller allows it.
#include <cstring>

#include "qzobj/archive.h"
#include "qzobj/containers.h"
#include "qzobj/memory/list_limits.h"

namespace {

constexpr unsigned kOpenFailed = 0xFFFFFFFFu;
constexpr unsigned kOpenRefused = 0xFFFFFFFEu;
constexpr DWORD kHeaderWidening = sizeof(tagCPVLIST_HEADER) - CPVLIST_STORED_HEADER;

void PutLe32(BYTE* out, DWORD value) {
    for (int i = 0; i < 4; ++i) out[i] = BYTE(value >> (8 * i));
}

DWORD GetLe32(const BYTE* in) {
    return DWORD(in[0]) | DWORD(in[1]) << 8 | DWORD(in[2]) << 16 | DWORD(in[3]) << 24;
}

}  // namespace

BOOL CPvList::DynaSave(const char* chunkName, CQZArchive& archive) const {
    const unsigned layer = archive.Chnk_Open(chunkName, CHNK_WRITE);
    if (layer == kOpenFailed || layer == kOpenRefused) return 0;
    BOOL written = 1;
    if (GetSize() >= sizeof(tagCPVLIST_HEADER)) {
        BYTE header[CPVLIST_STORED_HEADER];
        PutLe32(header, dwItemSize);
        const DWORD itemBytes = GetNItems() * dwItemSize;
        written = archive.Chnk_Write(header, sizeof header) == sizeof header &&
                  (itemBytes == 0 || archive.Chnk_Write(ItemAt(0), itemBytes) == itemBytes);
    }
    archive.Chnk_Close(layer);
    return written;
}

// A loaded block that cannot become a list is released without DeleteItem ever seeing its
// bytes: they are not items of this list.
void CPvList::DiscardLoadedBlock() {
    if (pMH) pMH->dwSize = 0;
    Free();
}

BOOL CPvList::DynaLoad(const char* chunkName, CQZArchive& archive, int extra, BOOL convert) {
    Free();
    if (!CPMemory::DynaLoad(chunkName, archive, extra)) return 0;
    if (!pMH) return 1;  // an empty chunk is an empty list
    const DWORD stored = GetSize();
    if (stored < CPVLIST_STORED_HEADER) {
        DiscardLoadedBlock();
        return 0;
    }
    const DWORD storedItemSize = GetLe32(static_cast<const BYTE*>(Data()));
    if (storedItemSize < 4) {  // every item holds at least its identifier
        DiscardLoadedBlock();
        return 0;
    }
    if (!ConvertLoadedItems(storedItemSize, convert)) {
        DiscardLoadedBlock();
        return 0;
    }
    if (GetNItems() == 0) DiscardLoadedBlock();  // an empty list holds no block
    LoadInit();
    return 1;
}

// Turns the loaded bytes (4-byte header, items of the stored size) into this list's layout
// (8-byte header, items of the current size).
bool CPvList::ConvertLoadedItems(DWORD storedItemSize, BOOL convert) {
    if (storedItemSize != dwItemSize && !convert) return false;
    const DWORD stored = GetSize();
    const DWORD count = (stored - CPVLIST_STORED_HEADER) / storedItemSize;
    const ULONGLONG widened = ULONGLONG(stored) + kHeaderWidening;
    const ULONGLONG converted = sizeof(tagCPVLIST_HEADER) + ULONGLONG(count) * dwItemSize;
    const ULONGLONG needed = widened > converted ? widened : converted;
    if (needed > qzo::memory::kLargestListBlock || !LoadRealloc(DWORD(needed))) return false;

    BYTE* data = static_cast<BYTE*>(Data());
    std::memmove(data + sizeof(tagCPVLIST_HEADER), data + CPVLIST_STORED_HEADER,
                 stored - CPVLIST_STORED_HEADER);
    const tagCPVLIST_HEADER header = {dwItemSize, 0};
    std::memcpy(data, &header, sizeof header);
    BYTE* items = data + sizeof(tagCPVLIST_HEADER);
    if (dwItemSize > storedItemSize) {
        // Growing items move from the last to the first, each zero-filled behind its bytes.
        for (DWORD i = count; i-- > 0;) {
            BYTE* to = items + size_t(i) * dwItemSize;
            std::memmove(to, items + size_t(i) * storedItemSize, storedItemSize);
            std::memset(to + storedItemSize, 0, dwItemSize - storedItemSize);
        }
    } else if (dwItemSize < storedItemSize) {
        // Shrinking items move from the first to the last, each cut to the current size.
        for (DWORD i = 0; i < count; ++i)
            std::memmove(items + size_t(i) * dwItemSize, items + size_t(i) * storedItemSize,
                         dwItemSize);
    }
    SetCount(count);
    return true;
}

void CPvList::LoadInit() {
    const DWORD count = GetNItems();
    dwNextID = count;
    for (DWORD i = 0; i < count; ++i) {
        BYTE* item = ItemAt(i);
        std::memcpy(item, &i, sizeof i);
        LoadInitItem(item);
    }
}
