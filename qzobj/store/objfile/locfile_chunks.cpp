// LocFile's chunk mode: the chunk engine over the object file's raw transfers, with the object
// file's own refusals and messages and the write limit, and the archive objects store through.

#include "qzobj/archive/chunk_engine.h"
#include "qzobj/archive/chunk_format.h"
#include "qzobj/archive/debug_print.h"
#include "qzobj/diag.h"
#include "qzobj/hashid.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/store/objfile/locfile.h"

using qzo::platform::SetLastError;
using qzo::store::ChunkEngine;
using qzo::store::DebugPrint;
using qzo::store::chunk_format::kHeaderSize;

namespace {

constexpr const WCHAR* kOwner = u"LocFile";
constexpr unsigned kNoLayer = 0xFFFFFFFFu;
constexpr int kAccessLevel = 3;
constexpr int kRefusalLevel = 4;

}  // namespace

namespace qzo::store {

// The object file's bytes as the chunk engine sees them: unbuffered, at the handle's position,
// so that every transfer is timed and the file is never ahead of or behind the engine. The
// direction test uses the current access (what the owner works with now).
class LocFileStream final : public ChunkStream {
  public:
    explicit LocFileStream(LocFile& file) : file_(file) {}

    DWORD Access() const override {
        return file_.IsOpen() ? file_.m_dwCurrentAccess & (LocFile::kRead | LocFile::kWrite) : 0;
    }
    DWORD Position() const override { return file_.m_dwFilePtr; }
    ULONGLONG Size() override {
        ULONGLONG size = 0;
        file_.FileSize(size);
        return size;
    }
    bool Seek(DWORD position) override {
        if (position == LocFile::kNoPosition) return false;
        if (file_.IsOpen() && position == file_.m_dwFilePtr) return true;
        return file_.RawSeek(position, FILE_BEGIN) == position;
    }
    DWORD Read(void* data, DWORD count) override { return file_.RawRead(data, count); }
    DWORD Write(const void* data, DWORD count) override { return file_.RawWrite(data, count); }

    bool ReportBadHeader(const char* name, DWORD position, DWORD got,
                         const tagCHNKHEADER& header) override {
        if (!IsDebugOn()) return true;
        const ULONGLONG size = Size();
        DebugPrint(kRefusalLevel,
                   u"\rLocFile::OpenChunk denied: Error reading chunk header %hs (%u bytes of %u "
                   u"read)\r\n",
                   name ? name : "", position, size > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(size));
        const DWORD expected = name ? GetHashID(name) : CHNK_UNNAMED_ID;
        if (got < kHeaderSize)
            DebugPrint(kRefusalLevel, u"\r   Could read only %u of %u bytes header data\r\n", got,
                       kHeaderSize);
        else if (header.dwChunkID != expected)
            DebugPrint(kRefusalLevel, u"\r   ChunkIDs do not match: Expected=%08X, Found=%08X\r\n",
                       expected, header.dwChunkID);
        else
            DebugPrint(kRefusalLevel, u"\r   Chunk size %u reaches beyond its parent\r\n",
                       header.dwSize);
        return true;
    }

  private:
    LocFile& file_;
};

}  // namespace qzo::store

using qzo::store::LocFileStream;

bool LocFile::ChunkOpenAllowed(DWORD desired) const {
    if (desired != CHNK_READ && desired != CHNK_WRITE) return false;
    if (m_Layers.dwLayerCnt > 0 && desired != m_Layers.dwChunkAccess) return false;
    return (m_dwCurrentAccess & desired) != 0;
}

bool LocFile::HeaderFitsLimit(DWORD position) const {
    return m_dwWriteLimit == 0 || ULONGLONG(position) + kHeaderSize <= m_dwWriteLimit;
}

bool LocFile::ChunkDirectionOpen(DWORD direction) {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (m_Layers.dwLayerCnt == 0 || m_Layers.dwChunkAccess != direction) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

unsigned LocFile::Chnk_Open(const char* name, DWORD dwDesiredAccess) {
    const DWORD desired = dwDesiredAccess & (CHNK_READ | CHNK_WRITE);
    if (!IsOpen()) {
        DebugPrint(kRefusalLevel, u"\rLocFile::OpenChunk denied: Invalid file handle\r\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return kNoLayer;
    }
    if (m_Layers.dwLayerCnt >= CHNK_MAX_LAYERS) {
        DebugPrint(kRefusalLevel, u"\rLocFile::OpenChunk denied: Max. chunk layers expired\r\n");
        SetLastError(ERROR_ACCESS_DENIED);
        return kNoLayer;
    }
    if (!ChunkOpenAllowed(desired)) {
        DebugPrint(kAccessLevel,
                   u"\rLocFile::OpenChunk denied: dwDesiredAccess=%08X, dwFileAccess=%08X, "
                   u"dwChunkAccess=%08X\r\n",
                   desired, m_dwCurrentAccess, m_Layers.dwChunkAccess);
        SetLastError(ERROR_ACCESS_DENIED);
        return kNoLayer;
    }
    // A header that would reach the write limit is refused whole, so nothing at or past the
    // limit is ever overwritten.
    if (desired == CHNK_WRITE && !HeaderFitsLimit(m_dwFilePtr)) {
        DebugPrint(kRefusalLevel, u"\rLocFile::OpenChunk denied: Error writing chunk header\r\n");
        return kNoLayer;
    }
    LocFileStream stream(*this);
    return ChunkEngine(m_Layers, stream, kOwner).Open(name, dwDesiredAccess);
}

BOOL LocFile::Chnk_Close(unsigned layer) {
    if (!IsOpen()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (layer >= m_Layers.dwLayerCnt) return FALSE;
    LocFileStream stream(*this);
    ChunkEngine engine(m_Layers, stream, kOwner);
    if (m_Layers.dwChunkAccess != CHNK_WRITE || m_Layers.dwLayerCnt - layer == 1)
        return engine.Close(layer);
    // Several write layers at once: warn under this file's own text, then close them one by
    // one from the innermost, which patches the same sizes as closing them together.
    if (IsDebugOn())
        WarningMsg(u"LocFile::Chnk_Close: Multiple close detected!", GetAddress(), GetEBP());
    bool closed = true;
    for (unsigned inner = m_Layers.dwLayerCnt; inner-- > layer;)
        closed = engine.Close(inner) && closed;
    return closed ? TRUE : FALSE;
}

DWORD LocFile::Chnk_GetSize(unsigned layer) {
    LocFileStream stream(*this);
    return ChunkEngine(m_Layers, stream, kOwner).GetSize(layer);
}

DWORD LocFile::Chnk_Write(const void* data, DWORD count) {
    if (!ChunkDirectionOpen(CHNK_WRITE)) return 0;
    if (m_dwWriteLimit != 0) {
        // Computed in 64 bits: at or past the limit nothing fits; a write that would cross it
        // writes nothing and reports what would still fit.
        const tagCHNKLOCATOR& inner = m_Layers.Layer[m_Layers.dwLayerCnt - 1];
        const ULONGLONG position = ULONGLONG(inner.dwHeaderPos) + kHeaderSize + inner.dwDone;
        if (position >= m_dwWriteLimit) return 0;
        const ULONGLONG room = m_dwWriteLimit - position;
        if (count > room) return static_cast<DWORD>(room);
    }
    LocFileStream stream(*this);
    return ChunkEngine(m_Layers, stream, kOwner).Write(data, count);
}

DWORD LocFile::Chnk_Read(void* data, DWORD count) {
    if (!ChunkDirectionOpen(CHNK_READ)) return 0;
    LocFileStream stream(*this);
    return ChunkEngine(m_Layers, stream, kOwner).Read(data, count);
}

unsigned LocFileArchive::Chnk_Open(const char* name, DWORD dwDesiredAccess) {
    return m_pFile ? m_pFile->Chnk_Open(name, dwDesiredAccess) : kNoLayer;
}

BOOL LocFileArchive::Chnk_Close(unsigned layer) {
    return m_pFile ? m_pFile->Chnk_Close(layer) : FALSE;
}

DWORD LocFileArchive::Chnk_GetSize(unsigned layer) {
    return m_pFile ? m_pFile->Chnk_GetSize(layer) : 0;
}

DWORD LocFileArchive::Chnk_Write(const void* data, DWORD count) {
    return m_pFile ? m_pFile->Chnk_Write(data, count) : 0;
}

DWORD LocFileArchive::Chnk_Read(void* data, DWORD count) {
    return m_pFile ? m_pFile->Chnk_Read(data, count) : 0;
}
