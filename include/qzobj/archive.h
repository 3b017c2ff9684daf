// The chunk archive interface: a tree of named chunks through which objects, lists, strings and
// memory blocks store and load themselves, and the header record in front of every chunk.
#pragma once

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
