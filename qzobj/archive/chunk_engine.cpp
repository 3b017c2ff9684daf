// The chunk engine's algorithms, shared by every archive of the chunk format.
#include "qzobj/archive/chunk_engine.h"

#include <string>

#include "qzobj/archive/chunk_format.h"
#include "qzobj/archive/debug_print.h"
#include "qzobj/diag.h"
#include "qzobj/hashid.h"

namespace qzo::store {
namespace {

using namespace chunk_format;

constexpr unsigned kNoLayer = 0xFFFFFFFFu;
constexpr DWORD kDirections = CHNK_READ | CHNK_WRITE;
// Debug levels of the refusals: access problems are reported one level louder.
constexpr int kAccessLevel = 3;
constexpr int kRefusalLevel = 4;

DWORD ChunkId(const char* name) {
    return name ? GetHashID(name) : kUnnamedId;
}

}  // namespace

void ChunkEngine::Reset(tagCHNKLAYERS& layers) {
    layers.dwLayerCnt = 0;
    layers.dwChunkAccess = 0;
    for (tagCHNKLOCATOR& layer : layers.Layer) layer = tagCHNKLOCATOR{0, 0, 0};
}

ULONGLONG ChunkEngine::Remaining(unsigned layer) const {
    const tagCHNKLOCATOR& record = layers_.Layer[layer];
    return record.dwDone >= record.dwSize ? 0 : ULONGLONG(record.dwSize) - record.dwDone;
}

ULONGLONG ChunkEngine::EndOf(unsigned layer) const {
    const tagCHNKLOCATOR& record = layers_.Layer[layer];
    return ULONGLONG(record.dwHeaderPos) + kHeaderSize + record.dwSize;
}

void ChunkEngine::SyncDone(DWORD position) {
    for (unsigned i = 0; i < layers_.dwLayerCnt; ++i) {
        tagCHNKLOCATOR& record = layers_.Layer[i];
        record.dwDone = position - record.dwHeaderPos - kHeaderSize;
    }
}

bool ChunkEngine::AccessAllowed(DWORD desired) const {
    if (desired != CHNK_READ && desired != CHNK_WRITE) return false;
    if (layers_.dwLayerCnt > 0 && desired != layers_.dwChunkAccess) return false;
    return (stream_.Access() & desired) != 0;
}

unsigned ChunkEngine::Open(const char* name, DWORD desiredAccess) {
    const DWORD desired = desiredAccess & kDirections;
    const unsigned layer = layers_.dwLayerCnt;
    if (stream_.Access() == 0) {
        DebugPrint(kAccessLevel, u"\r%s::OpenChunk denied: No file access\r\n", owner_);
        return kNoLayer;
    }
    if (layer >= kMaxLayers) {
        DebugPrint(kRefusalLevel, u"\r%s::OpenChunk denied: Max. chunk layers expired\r\n", owner_);
        return kNoLayer;
    }
    if (!AccessAllowed(desired)) {
        DebugPrint(kAccessLevel,
                   u"%s::OpenChunk denied: dwDesiredAccess=%08X, dwFileAccess=%08X, "
                   u"dwChunkAccess=%08X\r\n",
                   owner_, desired, stream_.Access(), layers_.dwChunkAccess);
        return kNoLayer;
    }
    if (layer == 0) layers_.dwChunkAccess = desired;
    return desired == CHNK_WRITE ? OpenForWriting(name, layer) : OpenForReading(name, layer);
}

unsigned ChunkEngine::OpenForWriting(const char* name, unsigned layer) {
    BYTE bytes[kHeaderSize];
    EncodeHeader(tagCHNKHEADER{ChunkId(name), kSizeWhileWriting}, bytes);
    const DWORD position = stream_.Position();
    const DWORD written = stream_.Write(bytes, kHeaderSize);
    if (written < kHeaderSize) {
        if (written > 0) stream_.Seek(position);
        DebugPrint(kRefusalLevel, u"\r%s::OpenChunk denied: Error writing chunk header\r\n",
                   owner_);
        return kNoLayer;
    }
    layers_.Layer[layer] = tagCHNKLOCATOR{position, kSizeWhileWriting, 0};
    layers_.dwLayerCnt = layer + 1;
    return layer;
}

unsigned ChunkEngine::OpenForReading(const char* name, unsigned layer) {
    if (layer > 0 && Remaining(layer - 1) < kHeaderSize) {
        DebugPrint(kRefusalLevel, u"\r%s::OpenChunk denied: Parent chunk exceeded\r\n", owner_);
        return kNoLayer;
    }
    const DWORD position = stream_.Position();
    BYTE bytes[kHeaderSize] = {};
    const DWORD got = stream_.Read(bytes, kHeaderSize);
    bool valid = got == kHeaderSize;
    const tagCHNKHEADER header = DecodeHeader(bytes);
    if (valid) {
        // The chunk must lie inside its parent, and a top-level chunk inside the stream.
        const ULONGLONG end = ULONGLONG(position) + kHeaderSize + header.dwSize;
        const ULONGLONG limit = layer > 0 ? EndOf(layer - 1) : stream_.Size();
        valid = header.dwChunkID == ChunkId(name) && end <= limit;
    }
    if (!valid) {
        if (!stream_.ReportBadHeader(name, position, got, header))
            DebugPrint(kRefusalLevel, u"\r%s::OpenChunk denied: Error reading chunk header\r\n",
                       owner_);
        stream_.Seek(position);
        return kNoLayer;
    }
    layers_.Layer[layer] = tagCHNKLOCATOR{position, header.dwSize, 0};
    layers_.dwLayerCnt = layer + 1;
    return layer;
}

BOOL ChunkEngine::Close(unsigned layer) {
    if (stream_.Access() == 0 || layer >= layers_.dwLayerCnt) return FALSE;
    DWORD position = stream_.Position();
    const bool done = layers_.dwChunkAccess == CHNK_READ ? CloseReadLayer(layer, position)
                                                         : CloseWriteLayers(layer, position);
    layers_.dwLayerCnt = layer;
    SyncDone(position);
    return done ? TRUE : FALSE;
}

bool ChunkEngine::CloseReadLayer(unsigned layer, DWORD& position) {
    // The unread rest of the chunk is skipped; the end lies inside the stream (checked at open).
    const ULONGLONG end = EndOf(layer);
    if (position >= end) return true;
    if (!stream_.Seek(static_cast<DWORD>(end))) return false;
    position = static_cast<DWORD>(end);
    return true;
}

bool ChunkEngine::CloseWriteLayers(unsigned layer, DWORD position) {
    if (IsDebugOn() && layers_.dwLayerCnt - layer > 1) {
        const std::u16string warning =
            u"\r" + std::u16string(owner_) + u"::Chnk_Close: Multiple close detected!";
        WarningMsg(warning.c_str(), GetAddress(), GetEBP());
    }
    // Every size is patched even after a failure, so that as much of the tree as possible is
    // right; the failure is reported all the same.
    bool patched = true;
    for (unsigned i = layer; i < layers_.dwLayerCnt; ++i)
        patched = PatchSize(i, position) && patched;
    return stream_.Seek(position) && patched;
}

bool ChunkEngine::PatchSize(unsigned layer, DWORD position) {
    const DWORD headerPos = layers_.Layer[layer].dwHeaderPos;
    BYTE size[kFieldSize];
    PutLe32(size, position - headerPos - kHeaderSize);
    return stream_.Seek(headerPos + kSizeOffset) && stream_.Write(size, kFieldSize) == kFieldSize;
}

DWORD ChunkEngine::GetSize(unsigned layer) const {
    if (stream_.Access() == 0 || layer >= layers_.dwLayerCnt) return 0;
    return layers_.Layer[layer].dwSize;
}

DWORD ChunkEngine::Write(const void* data, DWORD count) {
    if (count == 0 || !data || !(stream_.Access() & CHNK_WRITE) || layers_.dwLayerCnt == 0 ||
        layers_.dwChunkAccess != CHNK_WRITE)
        return 0;
    const DWORD written = stream_.Write(data, count);
    layers_.Layer[layers_.dwLayerCnt - 1].dwDone += written;
    return written;
}

DWORD ChunkEngine::Read(void* data, DWORD count) {
    if (count == 0 || !data || !(stream_.Access() & CHNK_READ) || layers_.dwLayerCnt == 0 ||
        layers_.dwChunkAccess != CHNK_READ)
        return 0;
    const unsigned inner = layers_.dwLayerCnt - 1;
    const ULONGLONG left = Remaining(inner);
    const DWORD wanted = left < count ? static_cast<DWORD>(left) : count;
    if (wanted == 0) return 0;
    const DWORD got = stream_.Read(data, wanted);
    layers_.Layer[inner].dwDone += got;
    return got;
}

BOOL ChunkEngine::FailFind(const WCHAR* format, DWORD start) {
    DebugPrint(kRefusalLevel, format, owner_);
    stream_.Seek(start);
    return FALSE;
}

BOOL ChunkEngine::Find(const char* name) {
    if (layers_.dwLayerCnt == 0 || layers_.dwChunkAccess != CHNK_READ ||
        !(stream_.Access() & CHNK_READ))
        return FALSE;
    ULONGLONG left = Remaining(layers_.dwLayerCnt - 1);
    if (left < kHeaderSize) {
        DebugPrint(kRefusalLevel, u"\r%s::Chnk_Find failed: Not enough data for subchunk\r\n",
                   owner_);
        return FALSE;
    }
    const DWORD start = stream_.Position();
    const DWORD wanted = ChunkId(name);
    DWORD position = start;
    for (;;) {
        BYTE bytes[kHeaderSize];
        const bool complete = stream_.Read(bytes, kHeaderSize) == kHeaderSize;
        const tagCHNKHEADER header = DecodeHeader(bytes);
        const ULONGLONG span = ULONGLONG(kHeaderSize) + header.dwSize;
        if (!complete || span > left)
            return FailFind(u"\r%s::Chnk_Find failed: Bad subchunk info\r\n", start);
        if (name && header.dwChunkID == wanted) {
            stream_.Seek(position);
            SyncDone(position);
            return TRUE;
        }
        position = static_cast<DWORD>(position + span);
        left -= span;
        if (!stream_.Seek(position))
            return FailFind(u"\r%s::Chnk_Find failed: Bad subchunk info\r\n", start);
        if (!name) {
            SyncDone(position);
            return TRUE;
        }
        if (left < kHeaderSize)
            return FailFind(u"\r%s::Chnk_Find failed: No matching subchunk\r\n", start);
    }
}

}  // namespace qzo::store
