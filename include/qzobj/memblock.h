// Reference-counted copy-on-write memory blocks (CPMemory, CPMemoryCS) with their pluggable
// allocators and chunk storage, and labelled property blocks (CPProperty).
#pragma once

#include <atomic>

#include "qzobj/types.h"

class CQZArchive;
class CSharedCriticalSection;

// The signature at the start of every memory block, the bytes "meMC".
#define MEMHEADER_SIGNATURE 0x434D656Du
// The only handle flag: write access is refused with a warning.
#define CPMEM_READONLY 0x1u
// Realloc size that asks for a private copy of a shared block (the unshare call).
#define CPMEM_UNSHARE 0xFFFFFFFFu

// Class IDs are compared by address, never by text: each class that shares blocks only with
// its own kind returns one of these exported objects from GetClassID, so that the library and
// every driver library agree on the same address. Strings and arrays keep CPMemory's ID.
QZOBJ_API extern const char classidCPMemory[];    // "CPMemory"
QZOBJ_API extern const char classidCPMemoryCS[];  // "CPMemoryCS"
QZOBJ_API extern const char classidCPProperty[];  // "CPProperty"

// The allocator behind a block. Sizes are in/out: the request includes the block header and
// may be raised to what was really allocated. Heap flags are the platform heap's (0x8 zero the
// new bytes, 0x10 reallocate in place only).
//
// Thread safety: implementations must allow every operation to be called concurrently.
class QZOBJ_API IMallocator {
  public:
    virtual void* Alloc(DWORD* size, DWORD heapFlags) = 0;
    // Resizes in place, never moving the block; non-zero on success.
    virtual BOOL Realloc(void* block, DWORD* size, DWORD heapFlags) = 0;
    // Non-zero when the block was released.
    virtual BOOL Free(void* block, DWORD heapFlags) = 0;

  protected:
    ~IMallocator() = default;
};

// The header at the start of every block, followed directly by the data. Ordered into 32 bytes
// on this build, so that the data behind it stays 16-byte aligned.
struct tagMEMHEADER {
    DWORD dwSignature;       // MEMHEADER_SIGNATURE
    std::atomic<LONG> iRef;  // handles sharing the block; changed only atomically
    const char* pClassID;    // the owning class's GetClassID, compared by address
    DWORD dwAllocSize;       // usable bytes behind the header
    DWORD dwSize;            // bytes in use, at most dwAllocSize
    IMallocator* pMalloc;    // the allocator that made the block and resizes and frees it
};
static_assert(sizeof(tagMEMHEADER) == 32, "the block header keeps the data 16-byte aligned");

// A handle to a shared, reference-counted data block. Copying a handle shares the block; the
// last handle to let go releases it. A writer that must not disturb other holders first makes
// the block private with Realloc(CPMEM_UNSHARE). A READONLY handle refuses write access.
//
// Casts: on a non-const handle `(void*)h` and `(const void*)h` both resolve to the writable
// cast, so a READONLY handle warns even when read through a cast; use GetCDataPtr to read.
//
// Derived classes with their own class ID or allocator must share in their own copy
// constructor (CopyCPMemory) and Free in their own destructor: the base constructor and
// destructor see only CPMemory's GetClassID, GetMallocator and ClearForRelease.
//
// Thread safety: the block's reference count changes atomically, so handles to one block may
// be copied and dropped on different threads at the same time. One handle object is used by
// one thread at a time, and the data is not guarded: use CPMemoryCS or unshare before writing.
class QZOBJ_API CPMemory {
  private:
    // The class's static name; blocks are shared only between handles with the same ID.
    virtual const char* GetClassID() const;

  public:
    CPMemory() = default;
    CPMemory(const CPMemory& source);
    CPMemory& operator=(const CPMemory& source);
    virtual ~CPMemory();

    // Runs the constructor on this object's storage (for handles living in raw memory).
    void Construct();
    // Forgets the block without releasing it.
    void Clean() { pMH = nullptr; }

    // Drops the current block and claims a new one of `size` bytes with reference count 1.
    // Size 0 leaves the handle empty and returns 0.
    BOOL Alloc(DWORD size, DWORD heapFlags = 0);
    // Resizes: size 0 frees, CPMEM_UNSHARE makes a shared block private, `forceNew` always
    // moves to a new block, otherwise the block grows or shrinks in place when it can. Clears
    // the flags on success.
    BOOL Realloc(DWORD size, DWORD heapFlags = 0, BOOL forceNew = FALSE);
    // Drops this handle's reference; the last one releases the block. Leaves the handle empty
    // with flags 0. Returns 0 when the release failed or the block was damaged (then it is
    // left alone).
    BOOL Free();

    DWORD GetSize() const;
    BOOL SetSize(DWORD size);
    DWORD GetAllocSize() const;
    LONG GetRefCnt() const;

    // ORs flags in, keeping only CPMEM_READONLY (which only Free, Alloc and Realloc clear).
    void SetFlags(DWORD flags) { dwFlags = (dwFlags | flags) & CPMEM_READONLY; }
    DWORD GetFlags() const { return dwFlags & CPMEM_READONLY; }

    // The data, or null without a valid block or with size 0. Write access on a READONLY
    // handle is refused with a warning.
    void* GetDataPtr();
    const void* GetCDataPtr() const;
    operator void*() { return GetDataPtr(); }
    operator WCHAR*() { return static_cast<WCHAR*>(GetDataPtr()); }
    operator const void*() const { return GetCDataPtr(); }
    operator const WCHAR*() const { return static_cast<const WCHAR*>(GetCDataPtr()); }

    // 1 when both hold the same block, or blocks of the same signature, class and allocator
    // (and, when asked, size).
    BOOL cmpMEMHEADER(const CPMemory& other, BOOL compareSize) const;
    // Same kind of block and equal bytes; two empty handles are equal.
    bool operator==(const CPMemory& other) const;
    bool operator!=(const CPMemory& other) const { return !(*this == other); }

    // Chunk storage: the block's bytes are the payload of one chunk named `chunkName`.
    BOOL DynaSave(const char* chunkName, CQZArchive& archive) const;
    // Replaces the block with the chunk's payload. extra >= 0 allocates at least that many
    // bytes; extra < 0 reserves -extra bytes behind the payload.
    BOOL DynaLoad(const char* chunkName, CQZArchive& archive, int extra = 0);
    // Reads the chunk into the existing block without resizing it (refused on a READONLY
    // handle).
    BOOL DynaRead(const char* chunkName, CQZArchive& archive);

  protected:
    // The allocator for new blocks (the process-wide "MemPool" allocator by default).
    virtual IMallocator* GetMallocator() const;
    // Moves the contents when the handle leaves a block for a new one. `iRef` is the old
    // block's count before this handle let go: above 1 the old block stays with its other
    // holders (a copy), 1 means the contents move. The default copies the smaller size.
    virtual void RelocateMemory(const void* source, DWORD sourceSize, void* destination,
                                DWORD destinationSize, LONG iRef);
    // Runs when the last reference goes, before the block is released. Default: 1.
    virtual BOOL ClearForRelease();

    // Resizes an unshared block for loading (new bytes zeroed); fails on a shared block.
    BOOL LoadRealloc(DWORD size);
    // Takes the source's flags and shares its block (copy constructors of derived classes).
    void CopyCPMemory(const CPMemory& source);
    // True when the handle holds a block with the right signature and class ID.
    bool HoldsValidBlock() const;
    void* Data() const { return pMH + 1; }

    tagMEMHEADER* pMH = nullptr;  // the block, or null
    DWORD dwFlags = 0;            // CPMEM_READONLY

  private:
    tagMEMHEADER* ClaimMemory(DWORD size, DWORD heapFlags);
    BOOL ReleaseMemory(bool clear);
    bool CheckOwnBlock(IMallocator* allocator) const;
    bool ResizeInPlace(IMallocator* allocator, DWORD size, DWORD heapFlags);
    void MoveToBlock(tagMEMHEADER* fresh);
    BOOL ReadChunkPayload(CQZArchive* archive, DWORD length, ULONGLONG blockSize);
};

// A memory block with a critical section that travels with it: every handle sharing the block
// shares the section. Use the CPMemoryCS members (not CPMemory's) to allocate, resize and free.
//
// Thread safety: as CPMemory; Enter and Leave on handles of one block exclude each other.
// Realloc keeps the section while the block stays; when the handle moves to a new block it gets
// a new section, entered as often as the calling thread held the old one.
class QZOBJ_API CPMemoryCS : public CPMemory {
  private:
    const char* GetClassID() const override;

  public:
    CPMemoryCS() = default;
    CPMemoryCS(const CPMemoryCS& source);
    CPMemoryCS& operator=(const CPMemoryCS& source);
    ~CPMemoryCS() override;

    // Drops block and section, then allocates with a new section.
    BOOL Alloc(DWORD size, DWORD heapFlags = 0);
    // Releases the section reference, then the block.
    BOOL Free();
    // Resizes a block that has a section (0 otherwise).
    BOOL Realloc(DWORD size, DWORD heapFlags = 0, BOOL forceNew = FALSE);
    // Enter or leave the block's section; nothing without one.
    void Enter();
    void Leave();

    CSharedCriticalSection* GetSection() const { return pCS; }

  protected:
    CSharedCriticalSection* pCS = nullptr;  // null when the handle holds no block
};

// A memory block labelled with a property type (bits naming property families) and a property
// identifier. Property blocks come from the "PropertyPool" heap and are shared only among
// CPProperty handles.
//
// Thread safety: as CPMemory.
class QZOBJ_API CPProperty : public CPMemory {
  private:
    const char* GetClassID() const override;

  public:
    CPProperty() = default;
    CPProperty(DWORD type, const GUID& id) : dwPropertyType(type), PropertyID(id) {}
    CPProperty(const CPProperty& source);
    CPProperty& operator=(const CPProperty& source);
    ~CPProperty() override;

    // Runs the constructor on this object's storage.
    void Construct();

    DWORD GetPropertyType() const { return dwPropertyType; }
    const GUID& GetPropertyID() const { return PropertyID; }
    void SetPropertyID(DWORD type, const GUID& id) {
        dwPropertyType = type;
        PropertyID = id;
    }
    // 1 when the handle holds a block and the type is non-zero.
    BOOL IsValid() const;
    // 1 when every bit of the mask is set in the type (a mask of 0 always).
    BOOL IsFamilyMember(DWORD familyMask) const {
        return (dwPropertyType & familyMask) == familyMask;
    }

  protected:
    IMallocator* GetMallocator() const override;

    DWORD dwPropertyType = 0;
    GUID PropertyID = {};
};
