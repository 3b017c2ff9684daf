// CChunkArchive: the chunk archive on a file, opened without sharing and buffered in between.
#include "qzobj/chunk_archive.h"
#include "qzobj/archive/chunk_engine.h"
#include "qzobj/archive/file_chunk_stream.h"
#include "qzobj/file_modes.h"
#include "qzobj/os/wait_time.h"
#include "qzobj/platform/system.h"

namespace {

using qzo::store::ChunkEngine;
using qzo::store::FileChunkStream;

constexpr const WCHAR* kOwner = u"CChunkArchive";
constexpr DWORD kRetryMs = 5;
constexpr DWORD kOpenFailed = 0xFFFFFFFFu;

}  // namespace

CChunkArchive::CChunkArchive() : m_pStream(new FileChunkStream(m_File)) {
    ChunkEngine::Reset(m_Layers);
}

CChunkArchive::~CChunkArchive() {
    Close();
    delete m_pStream;
}

DWORD CChunkArchive::Open(const WCHAR* path, DWORD dwDesiredAccess, DWORD dwCreationDisposition,
                          DWORD dwTimeout) {
    ChunkEngine::Reset(m_Layers);
    const DWORD start = qzo::platform::GetTickCount();
    for (;;) {
        const UINT result = m_File.Open(path, dwDesiredAccess, 0, dwCreationDisposition,
                                        FILE_FLAG_SEQUENTIAL_SCAN, 0);
        if (result == CQZFile::kOpened) break;
        if (result != CQZFile::kSharingViolation) return kOpenFailed;
        if (qzo::os::TimeoutPassed(dwTimeout, start, qzo::platform::GetTickCount()))
            return WAIT_TIMEOUT;
        qzo::platform::Sleep(kRetryMs);
    }
    m_pStream->Start();
    return 0;
}

BOOL CChunkArchive::Close() {
    bool closed = m_Layers.dwLayerCnt == 0 || Chnk_Close(0);
    closed = m_pStream->Flush() && closed;
    closed = m_File.Close() != 0 && closed;
    m_pStream->Start();
    ChunkEngine::Reset(m_Layers);
    return closed ? TRUE : FALSE;
}

BOOL CChunkArchive::Delete() {
    Close();
    return m_File.Delete();
}

BOOL CChunkArchive::SetEOF() {
    if (!(m_File.GetAccess() & GENERIC_WRITE)) return FALSE;
    return m_pStream->Truncate() ? TRUE : FALSE;
}

BOOL CChunkArchive::Chnk_Find(const char* name) {
    return ChunkEngine(m_Layers, *m_pStream, kOwner).Find(name);
}

unsigned CChunkArchive::Chnk_Open(const char* name, DWORD dwDesiredAccess) {
    return ChunkEngine(m_Layers, *m_pStream, kOwner).Open(name, dwDesiredAccess);
}

BOOL CChunkArchive::Chnk_Close(unsigned layer) {
    return ChunkEngine(m_Layers, *m_pStream, kOwner).Close(layer);
}

DWORD CChunkArchive::Chnk_GetSize(unsigned layer) {
    return ChunkEngine(m_Layers, *m_pStream, kOwner).GetSize(layer);
}

DWORD CChunkArchive::Chnk_Write(const void* data, DWORD count) {
    return ChunkEngine(m_Layers, *m_pStream, kOwner).Write(data, count);
}

DWORD CChunkArchive::Chnk_Read(void* data, DWORD count) {
    return ChunkEngine(m_Layers, *m_pStream, kOwner).Read(data, count);
}
