// CPMemory's chunk storage: a block's bytes are the payload of one named chunk.
#include <cstring>

#include "qzobj/archive.h"
#include "qzobj/memblock.h"

namespace {

// Chunk_Open's failure results.
constexpr unsigned kOpenFailed = 0xFFFFFFFFu;
constexpr unsigned kOpenRefused = 0xFFFFFFFEu;
// The largest data size a block can have: header and data must fit a 32-bit request.
constexpr ULONGLONG kLargestBlock = 0xFFFFFFFFull - sizeof(tagMEMHEADER);
// Payloads up to this size are read into a block of their full size at once; larger ones are
// read in steps, the block growing only as bytes arrive, so that a damaged header claiming
// gigabytes costs no more memory than the archive really holds.
constexpr DWORD kDirectReadLimit = 1u << 20;

bool OpenFailed(unsigned layer) {
    return layer == kOpenFailed || layer == kOpenRefused;
}

// The block size DynaLoad allocates for a payload of `length` bytes and the caller's extra.
ULONGLONG LoadedBlockSize(DWORD length, int extra) {
    if (extra >= 0) return length > DWORD(extra) ? length : DWORD(extra);
    return ULONGLONG(length) + ULONGLONG(-LONGLONG(extra));
}

}  // namespace

BOOL CPMemory::DynaSave(const char* chunkName, CQZArchive& archive) const {
    const unsigned layer = archive.Chnk_Open(chunkName, CHNK_WRITE);
    if (OpenFailed(layer)) return 0;
    const DWORD size = GetSize();
    const BOOL written = size == 0 || archive.Chnk_Write(GetCDataPtr(), size) == size;
    archive.Chnk_Close(layer);
    return written;
}

BOOL CPMemory::DynaLoad(const char* chunkName, CQZArchive& archive, int extra) {
    Free();
    const unsigned layer = archive.Chnk_Open(chunkName, CHNK_READ);
    if (OpenFailed(layer)) return 0;
    const DWORD length = archive.Chnk_GetSize(layer);
    const BOOL loaded = ReadChunkPayload(&archive, length, LoadedBlockSize(length, extra));
    archive.Chnk_Close(layer);
    return loaded;
}

BOOL CPMemory::ReadChunkPayload(CQZArchive* archive, DWORD length, ULONGLONG blockSize) {
    if (blockSize == 0) return 1;
    if (blockSize > kLargestBlock) return 0;
    const DWORD finalSize = DWORD(blockSize);
    if (!Alloc(length <= kDirectReadLimit ? finalSize : kDirectReadLimit)) return 0;
    DWORD done = 0;
    while (done < length) {
        const DWORD size = pMH->dwSize;
        if (done == size) {  // the block is full: double it, at most to the payload's length
            const ULONGLONG doubled = ULONGLONG(size) * 2;
            if (!LoadRealloc(DWORD(doubled < length ? doubled : length))) break;
            continue;
        }
        const DWORD want = (length < size ? length : size) - done;
        if (archive->Chnk_Read(static_cast<char*>(Data()) + done, want) != want) break;
        done += want;
    }
    if (done < length || (pMH->dwSize != finalSize && !LoadRealloc(finalSize))) {
        Free();
        return 0;
    }
    std::memset(static_cast<char*>(Data()) + length, 0, finalSize - length);
    return 1;
}

BOOL CPMemory::DynaRead(const char* chunkName, CQZArchive& archive) {
    const unsigned layer = archive.Chnk_Open(chunkName, CHNK_READ);
    if (OpenFailed(layer)) return 0;
    BOOL read = 1;
    if (GetSize() != 0) {
        const DWORD length = archive.Chnk_GetSize(layer);
        const DWORD size = GetSize();
        const DWORD want = length < size ? length : size;
        void* data = GetDataPtr();  // refused (with a warning) on a READONLY handle
        read = data && archive.Chnk_Read(data, want) == want;
    }
    archive.Chnk_Close(layer);
    return read;
}
