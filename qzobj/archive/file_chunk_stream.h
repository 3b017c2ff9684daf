// The byte stream of a file chunk archive: the file's bytes through one buffered window, so that
// headers, payloads and the sizes patched at close cost no system call each.
#pragma once

#include <memory>

#include "qzobj/archive/chunk_engine.h"
#include "qzobj/file.h"

namespace qzo::store {

// A buffer over a file that nobody else may open (the archive opens it without sharing), so
// the buffered bytes cannot go stale. The window holds the file's bytes [start, start + fill);
// the changed part of it is written out when the window moves, on Flush and before the file is
// cut or closed. A failed write-out is remembered: later writes refuse and Flush reports it.
//
// Thread safety: used by one thread at a time, as its archive.
class FileChunkStream final : public ChunkStream {
  public:
    static constexpr DWORD kWindowSize = 64 * 1024;

    explicit FileChunkStream(CQZFile& file) : file_(file) {}

    // Forgets the window and any failure, and starts at the file's pointer.
    void Start();
    // Writes the changed bytes out; false when that or an earlier write-out failed.
    bool Flush();
    // Cuts the file at the position; true when the file now ends there.
    bool Truncate();

    DWORD Access() const override { return file_.GetAccess(); }
    DWORD Position() const override { return position_; }
    ULONGLONG Size() override;
    bool Seek(DWORD position) override;
    DWORD Read(void* data, DWORD count) override;
    DWORD Write(const void* data, DWORD count) override;

  private:
    bool SeekFile(DWORD position);
    bool Fits(DWORD count) const;
    void Fill(const void* data, DWORD count);
    bool Refill();
    void Clear();

    CQZFile& file_;
    std::unique_ptr<BYTE[]> window_;  // kWindowSize bytes once used
    DWORD start_ = 0;                 // file offset of the window's first byte
    DWORD fill_ = 0;                  // valid bytes in the window
    DWORD dirtyFrom_ = 0;             // changed bytes: [dirtyFrom_, dirtyTo_) of the window
    DWORD dirtyTo_ = 0;
    DWORD position_ = 0;
    bool failed_ = false;
};

}  // namespace qzo::store
