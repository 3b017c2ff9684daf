// The object store: the chunk archive through which persistent objects store and load
// themselves, the locations that name them, the records of object files (heritage and history),
// the project directory and the project unique-ID generator; with locator.h and persistent.h
// (included at the end) the locators and the persistent object base.
//
// Object files, one per object: "<project>OBJ/<class hash %08X>/<object ID %08X>.QZO",
// little-endian throughout:
//   0      2236  header: "FOZQ", 2236, the location, offsets 2236/7920/10240, 4 heritage records
//   2236   5684  history index: 52-byte header (size, class flags, current slot, data end, 64),
//                then 64 slots of 88 bytes {ModifyCnt (0 empty), offset, end, caller value,
//                32-unit undo comment}; slot 0 holds the oldest version, 1..63 form a ring
//   7920   2320  NT block: the object's non-versioned chunk stream (StoreNT)
//   10240  ...   versions (StoreData chunk streams) up to the data end, then, while a writer
//                holds the file, its 168-byte access record
//
// Crash guarantee: a commit writes the emptied slot records, then the data, then the new slot
// record (ModifyCnt last), then the 52-byte index header, which is the commit point, and only
// then cuts the file; undo writes only the index header; compaction copies before it switches.
// A process killed at any file call therefore leaves the object restorable to the last finished
// version or the one being written, and every listed slot loadable; the next writer tidies the
// rest. Limits:
// - The NT block exists once and is rewritten in place when it changed: a torn write inside it
//   (a power loss, not a process crash) can lose it.
// - Without LOCATOR_COMMIT_FLUSH or write-back priority 1/2, a power loss may lose recent
//   commits: the guarantee covers process crashes, where the kernel keeps what was written.
// - Change notices: only the first process of a computer that opens a project owns its
//   mailslot; further processes there answer change queries from the file time, and commits of
//   one computer's processes never reach each other's change tables.
// - A file's versions end below 2 GiB: a commit that would pass 0x7FFFFFFF fails and writes
//   nothing; compacting (Purge, or commit flag 2) makes room.
#pragma once

#include "qzobj/heritage.h"
#include "qzobj/history.h"
#include "qzobj/location.h"
#include "qzobj/project_ids.h"
#include "qzobj/project_locator.h"
#include "qzobj/types.h"

// Access of a chunk layer: exactly one of the two bits.
#define CHNK_READ GENERIC_READ
#define CHNK_WRITE GENERIC_WRITE
// The identifier of a chunk written without a name.
#define CHNK_UNNAMED_ID 0x0000FC00u
// The deepest nesting of chunk layers.
#define CHNK_MAX_LAYERS 16u

// A tree of chunks: each an 8-byte header (hash identifier of its narrow name, payload size)
// and a payload of bytes and nested chunks. Objects store and load themselves through this
// interface; files, memory images and object files implement it with the same byte format.
// An archive is used by one thread at a time.
class QZOBJ_API CQZArchive {
  public:
    virtual ~CQZArchive();
    // Opens a new innermost layer named `name` (null: unnamed) for reading or writing;
    // returns its layer number (0 = outermost) or 0xFFFFFFFF.
    virtual unsigned Chnk_Open(const char* name, DWORD dwDesiredAccess) = 0;
    // Closes the layer and every layer inside it.
    virtual BOOL Chnk_Close(unsigned layer) = 0;
    // The payload size recorded for an open layer (0 while it is being written).
    virtual DWORD Chnk_GetSize(unsigned layer) = 0;
    // Appends bytes to the innermost layer; returns the number written.
    virtual DWORD Chnk_Write(const void* data, DWORD count) = 0;
    // Reads bytes of the innermost layer; returns the number read.
    virtual DWORD Chnk_Read(void* data, DWORD count) = 0;
};

#include "qzobj/file.h"
#include "qzobj/memblock.h"

namespace qzo::store {
class FileChunkStream;
}

// The 8-byte header in front of every chunk's payload (stored little-endian, unpadded).
struct tagCHNKHEADER {
    DWORD dwChunkID;  // GetHashID of the chunk's narrow name; CHNK_UNNAMED_ID without one
    DWORD dwSize;     // payload bytes behind the header (0 while the chunk is being written)
};

// One open layer of an archive.
struct tagCHNKLOCATOR {
    DWORD dwHeaderPos;  // absolute position of the layer's header
    DWORD dwSize;       // payload size read from the header; 0 for a layer being written
    DWORD dwDone;       // payload bytes read or written so far in this layer
};

// The open layers of an archive: how many, their shared direction and one record each.
struct tagCHNKLAYERS {
    DWORD dwLayerCnt;     // 0..CHNK_MAX_LAYERS
    DWORD dwChunkAccess;  // CHNK_READ or CHNK_WRITE, set when layer 0 opens
    tagCHNKLOCATOR Layer[CHNK_MAX_LAYERS];
};

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

QZOBJ_API extern const char classidCPMemoryFile[];  // "CPMemoryFile"

// A growable memory image read and written like a file. The block's size is the content's
// length, its allocation size the capacity. Copies share the block; a write first makes the
// block private, so a copy keeps the content it saw (a snapshot).
//
// Thread safety: as CPMemory; one handle is used by one thread at a time.
class QZOBJ_API CPMemoryFile : public CPMemory {
  private:
    const char* GetClassID() const override;

  public:
    CPMemoryFile() = default;
    CPMemoryFile(const CPMemoryFile& source);
    CPMemoryFile& operator=(const CPMemoryFile& source);
    ~CPMemoryFile() override;

    // Pointer to 0. With write access (bit 30) the content starts empty in a fresh block of
    // 4096 bytes; without it the file opens only on a block already present. Only bits 31 and
    // 30 of the access are kept; a failure leaves the access 0.
    BOOL Open(DWORD dwAccess);
    // Access 0; the content stays.
    BOOL Close();
    DWORD GetAccess() const { return dwAccess; }
    DWORD GetFilePtr() const { return dwFilePtr; }

    // Writes at the pointer, growing the content; a gap before the pointer reads as zeros.
    // Nothing is written when the end would pass 0xFFFFFFFF or memory runs out.
    DWORD Write(const void* data, DWORD count);
    DWORD Read(void* data, DWORD count);
    // Method FILE_BEGIN (offset taken as unsigned), FILE_CURRENT or FILE_END. Readers stay
    // inside the content; a writer may move beyond it (the gap reads as zeros).
    BOOL SetFilePtr(LONG offset, DWORD method);

  protected:
    bool MakeWritable();
    bool Reserve(ULONGLONG end);
    void ZeroGap(DWORD from, DWORD to);

    DWORD dwAccess = 0;   // CHNK_READ | CHNK_WRITE bits
    DWORD dwFilePtr = 0;  // byte offset
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

#include "qzobj/locator.h"
#include "qzobj/persistent.h"
