// The chunk archives: one on a file and one on a memory image, both writing the byte format
// described with CQZArchive.
#pragma once

#include "qzobj/archive.h"
#include "qzobj/file.h"
#include "qzobj/memory_file.h"
#include "qzobj/types.h"

namespace qzo::store {
class FileChunkStream;
}

// A chunk archive on a file. The file is opened without sharing, so the archive keeps its own
// buffer of the file's bytes; Close writes it out (and fails when that fails).
//
// Thread safety: one thread at a time uses an archive.
class QZOBJ_API CChunkArchive : public CQZArchive {
  public:
    CChunkArchive();
    ~CChunkArchive() override;
    CChunkArchive(const CChunkArchive&) = delete;
    CChunkArchive& operator=(const CChunkArchive&) = delete;

    // 0 opened, 258 (WAIT_TIMEOUT) when someone else held the file for longer than `dwTimeout`
    // ms (INFINITE waits for ever), 0xFFFFFFFF on any other failure.
    DWORD Open(const WCHAR* path, DWORD dwDesiredAccess, DWORD dwCreationDisposition,
               DWORD dwTimeout);
    // Closes every open layer, then the file; FALSE when a size or the buffer could not be
    // written (everything is closed all the same).
    BOOL Close();
    // Closes the archive and deletes its file.
    BOOL Delete();
    // Cuts the file at the current position; TRUE when the file now ends there.
    BOOL SetEOF();
    // Positions the archive at the header of the next sub-chunk of the innermost read layer
    // named `name`; a null name skips exactly one sub-chunk.
    BOOL Chnk_Find(const char* name);

    unsigned Chnk_Open(const char* name, DWORD dwDesiredAccess) override;
    BOOL Chnk_Close(unsigned layer) override;
    DWORD Chnk_GetSize(unsigned layer) override;
    DWORD Chnk_Write(const void* data, DWORD count) override;
    DWORD Chnk_Read(void* data, DWORD count) override;

  protected:
    CQZFile m_File;
    tagCHNKLAYERS m_Layers;
    qzo::store::FileChunkStream* m_pStream;  // owned; buffers the file's bytes
};

// A chunk archive on a memory image. Copying copies the image (sharing its block), the layer
// count, the direction and every layer record.
//
// Thread safety: one thread at a time uses an archive.
class QZOBJ_API CMemChunkArchive : public CQZArchive {
  public:
    CMemChunkArchive();
    CMemChunkArchive(const CMemChunkArchive& source);
    CMemChunkArchive& operator=(const CMemChunkArchive& source);
    ~CMemChunkArchive() override;

    // Forgets the open layers and opens the image with that access.
    BOOL Open(DWORD dwDesiredAccess);
    // Closes every open layer, then the image (its content stays); FALSE when a size could not
    // be written.
    BOOL Close();
    // Closes the image and frees its block.
    BOOL Delete();
    // Replaces the content with the source's block, access and pointer; the source lets go, so
    // the archive holds the block alone.
    BOOL SetContent(CPMemoryFile& source);
    // A copy of the image sharing its block.
    CPMemoryFile GetContent() const;
    // As CChunkArchive::Chnk_Find.
    BOOL Chnk_Find(const char* name);

    unsigned Chnk_Open(const char* name, DWORD dwDesiredAccess) override;
    BOOL Chnk_Close(unsigned layer) override;
    DWORD Chnk_GetSize(unsigned layer) override;
    DWORD Chnk_Write(const void* data, DWORD count) override;
    DWORD Chnk_Read(void* data, DWORD count) override;

  protected:
    CPMemoryFile m_File;
    tagCHNKLAYERS m_Layers;
};
