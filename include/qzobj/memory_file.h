// A memory image read and written like a file: the store behind a memory chunk archive.
#pragma once

#include "qzobj/archive.h"
#include "qzobj/memblock.h"
#include "qzobj/types.h"

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
