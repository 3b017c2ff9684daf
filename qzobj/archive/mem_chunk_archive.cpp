// CMemChunkArchive: the chunk archive on a growable memory image, with the same byte format and
// the same algorithms as the file archive.
#include "qzobj/archive/chunk_engine.h"
#include "qzobj/chunk_archive.h"

namespace {

using qzo::store::ChunkEngine;
using qzo::store::ChunkStream;

constexpr const WCHAR* kOwner = u"CMemChunkArchive";

// The memory image as the engine's stream.
class MemoryStream final : public ChunkStream {
  public:
    explicit MemoryStream(CPMemoryFile& file) : file_(file) {}
    DWORD Access() const override { return file_.GetAccess(); }
    DWORD Position() const override { return file_.GetFilePtr(); }
    ULONGLONG Size() override { return file_.GetSize(); }
    bool Seek(DWORD position) override {
        return file_.SetFilePtr(static_cast<LONG>(position), FILE_BEGIN) != 0;
    }
    DWORD Read(void* data, DWORD count) override { return file_.Read(data, count); }
    DWORD Write(const void* data, DWORD count) override { return file_.Write(data, count); }

  private:
    CPMemoryFile& file_;
};

}  // namespace

CMemChunkArchive::CMemChunkArchive() {
    ChunkEngine::Reset(m_Layers);
}

CMemChunkArchive::CMemChunkArchive(const CMemChunkArchive& source)
    : CQZArchive(), m_File(source.m_File), m_Layers(source.m_Layers) {}

CMemChunkArchive& CMemChunkArchive::operator=(const CMemChunkArchive& source) {
    if (this != &source) {
        m_File = source.m_File;
        m_Layers = source.m_Layers;
    }
    return *this;
}

CMemChunkArchive::~CMemChunkArchive() {
    Close();
    m_File.Free();
}

BOOL CMemChunkArchive::Open(DWORD dwDesiredAccess) {
    ChunkEngine::Reset(m_Layers);
    return m_File.Open(dwDesiredAccess);
}

BOOL CMemChunkArchive::Close() {
    const bool closed = m_Layers.dwLayerCnt == 0 || Chnk_Close(0);
    m_File.Close();
    ChunkEngine::Reset(m_Layers);
    return closed ? TRUE : FALSE;
}

BOOL CMemChunkArchive::Delete() {
    Close();
    return m_File.Free();
}

BOOL CMemChunkArchive::SetContent(CPMemoryFile& source) {
    Delete();
    m_File = source;
    source.Free();
    return TRUE;
}

CPMemoryFile CMemChunkArchive::GetContent() const {
    return m_File;
}

BOOL CMemChunkArchive::Chnk_Find(const char* name) {
    MemoryStream stream(m_File);
    return ChunkEngine(m_Layers, stream, kOwner).Find(name);
}

unsigned CMemChunkArchive::Chnk_Open(const char* name, DWORD dwDesiredAccess) {
    MemoryStream stream(m_File);
    return ChunkEngine(m_Layers, stream, kOwner).Open(name, dwDesiredAccess);
}

BOOL CMemChunkArchive::Chnk_Close(unsigned layer) {
    MemoryStream stream(m_File);
    return ChunkEngine(m_Layers, stream, kOwner).Close(layer);
}

DWORD CMemChunkArchive::Chnk_GetSize(unsigned layer) {
    MemoryStream stream(m_File);
    return ChunkEngine(m_Layers, stream, kOwner).GetSize(layer);
}

DWORD CMemChunkArchive::Chnk_Write(const void* data, DWORD count) {
    MemoryStream stream(m_File);
    return ChunkEngine(m_Layers, stream, kOwner).Write(data, count);
}

DWORD CMemChunkArchive::Chnk_Read(void* data, DWORD count) {
    MemoryStream stream(m_File);
    return ChunkEngine(m_Layers, stream, kOwner).Read(data, count);
}
