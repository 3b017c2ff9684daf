// The chunk engine: opens, closes, reads, writes and searches the layers of a chunk tree over any
// byte stream. File archives, memory archives and object files differ only in their stream.
#pragma once

#include "qzobj/archive.h"

namespace qzo::store {

// The bytes a chunk engine works on: a positioned stream with 32-bit positions.
class ChunkStream {
  public:
    // CHNK_READ and CHNK_WRITE bits of the stream as opened; 0 when it is closed.
    virtual DWORD Access() const = 0;
    virtual DWORD Position() const = 0;
    // The number of bytes in the stream.
    virtual ULONGLONG Size() = 0;
    // Moves to an absolute position; false when the stream cannot go there.
    virtual bool Seek(DWORD position) = 0;
    // Transfers at the position and advances by the number transferred. Writes that would end
    // beyond 0xFFFFFFFF write nothing.
    virtual DWORD Read(void* data, DWORD count) = 0;
    virtual DWORD Write(const void* data, DWORD count) = 0;
    // A stream may print its own report of a chunk header refused for reading (`got` of its 8
    // bytes read; `header` as stored when all came). False leaves the report to the engine.
    virtual bool ReportBadHeader(const char* /*name*/, DWORD /*position*/, DWORD /*got*/,
                                 const tagCHNKHEADER& /*header*/) {
        return false;
    }

  protected:
    ~ChunkStream() = default;
};

// Runs the chunk algorithms on an archive's layer records over its stream. Built for one call
// (it holds references only); `owner` names the archive class in the debug messages.
//
// Sizes read from the stream are checked in 64 bits before use: a chunk never reaches beyond its
// parent or the end of the stream, and a read never passes the end of the innermost chunk.
class ChunkEngine {
  public:
    ChunkEngine(tagCHNKLAYERS& layers, ChunkStream& stream, const WCHAR* owner)
        : layers_(layers), stream_(stream), owner_(owner) {}

    static void Reset(tagCHNKLAYERS& layers);

    unsigned Open(const char* name, DWORD desiredAccess);
    BOOL Close(unsigned layer);
    DWORD GetSize(unsigned layer) const;
    DWORD Write(const void* data, DWORD count);
    DWORD Read(void* data, DWORD count);
    BOOL Find(const char* name);

  private:
    bool AccessAllowed(DWORD desired) const;
    unsigned OpenForWriting(const char* name, unsigned layer);
    unsigned OpenForReading(const char* name, unsigned layer);
    bool CloseReadLayer(unsigned layer, DWORD& position);
    bool CloseWriteLayers(unsigned layer, DWORD position);
    bool PatchSize(unsigned layer, DWORD position);
    // Brings every open layer's byte count up to `position`.
    void SyncDone(DWORD position);
    ULONGLONG Remaining(unsigned layer) const;
    ULONGLONG EndOf(unsigned layer) const;
    BOOL FailFind(const WCHAR* format, DWORD start);

    tagCHNKLAYERS& layers_;
    ChunkStream& stream_;
    const WCHAR* owner_;
};

}  // namespace qzo::store
