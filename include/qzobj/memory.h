// Memory and containers: the library's debug heaps (CHeap) and the process-wide library heaps.
// Every block a CHeap hands out is framed (a size word before it, the trailer "WOHC" after it);
// in watch mode a tagWATCHINFO record with the allocation's call trace precedes the frame.
#pragma once

#include <atomic>

#include "qzobj/types.h"

class COSCriticalSection;
class CHeap;

// CHeap flag bits.
#define HEAPFLAG_LOG 0x1u    // print one line per allocation, reallocation and free (debug on)
#define HEAPFLAG_WATCH 0x2u  // blocks carry a watch record and sit on the heap's watch list
#define HEAPFLAG_WATCHNEXTSTART 0x4u  // watch wanted at the next start (StoreWatchConfig)
#define HEAPFLAG_TRACEFREE 0x8u       // every free prints the block and a walk of the call stack
#define HEAPFLAG_MASK 0xFu

// Heap flags of a single call (the platform heap's options).
#define HEAP_NO_SERIALIZE 0x00000001u           // accepted and ignored: the heap always serialises
#define HEAP_ZERO_MEMORY 0x00000008u            // the new bytes are zeroed
#define HEAP_REALLOC_IN_PLACE_ONLY 0x00000010u  // Realloc fails rather than move the block

// The trailer behind every framed block, the bytes "WOHC".
#define HEAP_BLOCK_TRAILER 0x43484F57u
// The signature of a watch record, the bytes "tWhc".
#define WATCHINFO_SIGNATURE 0x63685774u
// Trace slots per watch record.
#define WATCHINFO_SLOTS 7

// The record in front of every block of a watch-mode heap. The trace is a sequence of
// printf-style pieces, each ending in "{"; piece n is printed with the module name and value of
// slot 6-n. The record is packed to 4-byte alignment with two reserved words so that, placed
// 12 bytes past a 16-byte boundary, its pointers are 8-byte aligned and the caller's data behind
// record and size word is 16-byte aligned. Copy fields (e.g. with unary +) rather than binding
// references to them.
#pragma pack(push, 4)
struct tagWATCHINFO {
    DWORD dwSignature;                     // WATCHINFO_SIGNATURE
    tagWATCHINFO* pPrev;                   // toward the list head, or null
    tagWATCHINFO* pNext;                   // older record, or null
    HANDLE hHeap;                          // the owning heap's hHeap
    DWORD dwSize;                          // size word of the framed block (requested size + 8)
    DWORD dwReserved1;                     // zero
    const char* pModule[WATCHINFO_SLOTS];  // interned module names, null = none
    char* pszTrace;                        // terminated trace text in the watch heap, or null
    uintptr_t dwValue[WATCHINFO_SLOTS];    // offset, displacement, line or code address
    DWORD dwReserved2;                     // zero
};
#pragma pack(pop)
static_assert(sizeof(tagWATCHINFO) % 16 == 0, "the record keeps the caller's data aligned");
static_assert(offsetof(tagWATCHINFO, pPrev) % 8 == 4 && offsetof(tagWATCHINFO, pModule) % 8 == 4 &&
                  offsetof(tagWATCHINFO, pszTrace) % 8 == 4 &&
                  offsetof(tagWATCHINFO, dwValue) % 8 == 4,
              "pointers sit 4 bytes past an 8-byte boundary of the record");

// A named private heap with framed blocks, live counters, optional watch traces and leak
// reports at destruction. Every heap is listed (up to 256) for the memory monitor.
//
// Thread safety: Alloc, Realloc, Free, AllocSize, GetHeapState, GetHeapFlags, SetHeapFlags,
// GetHeapName and Dump may be called concurrently from any thread. The platform heap serialises
// its own allocations; the watch list is guarded by the heap's own critical section; the
// counters are relaxed atomics. SizeHeap and the destructor must not race with other calls on
// the same heap. The static members are guarded by the process-wide heap-list lock.
class QZOBJ_API CHeap {
  public:
    CHeap();
    // Name rules: a leading "@" is stripped and turns on HEAPFLAG_LOG; a name starting with
    // "PROC" (any case) selects the process heap, which is never destroyed. Otherwise a heap is
    // created now when any of maximumSize, initialSize or create is non-zero, else by SizeHeap.
    // A null or empty name becomes the handle printed as hexadecimal.
    CHeap(const char* name, DWORD maximumSize, DWORD initialSize, DWORD options, BOOL create);
    ~CHeap();
    CHeap(const CHeap&) = delete;
    CHeap& operator=(const CHeap&) = delete;

    // Creates the heap of a heap constructed without one. 0 when it already existed or was
    // created now, 1 when the creation failed.
    int SizeHeap(DWORD maximumSize, DWORD initialSize, DWORD options);

    // `file` and `line` name the allocating source line (file null: the caller's address is
    // recorded instead; a null caller address means this function's return address).
    void* Alloc(DWORD size, DWORD heapFlags = 0, const char* file = nullptr, int line = 0,
                void* callerAddress = nullptr);
    // A null pointer allocates (without HEAP_REALLOC_IN_PLACE_ONLY).
    void* Realloc(void* block, DWORD newSize, DWORD heapFlags = 0, const char* file = nullptr,
                  int line = 0, void* callerAddress = nullptr);
    // Non-zero when the block was released. Damaged, already freed and foreign blocks are
    // reported and never released.
    BOOL Free(void* block, DWORD heapFlags = 0);
    // The usable size of a live block of this heap, 0 otherwise.
    DWORD AllocSize(void* block);

    // Copies the name into the buffer (at most length-1 characters, always terminated); 1.
    int GetHeapName(char* buffer, int length);
    DWORD GetHeapFlags();
    // Stores flags & 0xF; returns 1. The framing of blocks stays as fixed at construction.
    int SetHeapFlags(DWORD flags);
    // The byte count (size words of the live blocks); the block count goes to *count.
    DWORD GetHeapState(DWORD* count);
    // Prints the watch list: every block with its trace (full) or the summary line only.
    void Dump(BOOL full);

    // Copies up to `capacity` listed heaps; returns the number copied.
    static int GetHeapList(CHeap** heaps, int capacity);
    // Writes "Watch" per listed heap from its HEAPFLAG_WATCHNEXTSTART bit; returns 1.
    static int StoreWatchConfig();

    // True when blocks of this heap carry watch records (fixed at construction).
    bool IsWatchFramed() const { return m_bWatchFramed; }

    HANDLE hHeap = nullptr;  // the platform heap, null until created

  private:
    // What the checks of a block handed to Free or Realloc found.
    struct BlockCheck {
        uintptr_t frame = 0;        // the size word's address
        uintptr_t allocation = 0;   // the platform block (the watch record in watch mode)
        DWORD sizeWord = 0;         // the true size word of a live block
        bool live = false;          // a live block of this heap
        bool otherHeap = false;     // not live here, but a live block of another listed heap
        bool startDamaged = false;  // the size word was overwritten
        bool endDamaged = false;    // the trailer was overwritten
    };

    void Construct(const char* name, DWORD maximumSize, DWORD initialSize, DWORD options,
                   BOOL create);
    void* AllocAt(DWORD size, DWORD heapFlags, const char* file, int line, void* caller,
                  const void* frame);
    void* WriteFrame(uintptr_t frameAddress, DWORD sizeWord);
    void RegisterAllocation(tagWATCHINFO* record, DWORD sizeWord, const char* file, int line,
                            void* caller, const void* frame);
    void UnlinkRecord(tagWATCHINFO* record);
    BlockCheck CheckBlock(void* block, const char* operation);
    void ReportWrongHeap();
    void* ReallocWatched(const BlockCheck& check, DWORD newSizeWord, DWORD heapFlags,
                         const char* file, int line, void* caller, const void* frame);
    void* FinishRealloc(uintptr_t frameAddress, DWORD oldSizeWord, DWORD newSizeWord,
                        DWORD heapFlags);
    bool ReleaseRecord(const BlockCheck& check, bool bad);
    void DumpHeap(int mode);
    void PrintEntry(const tagWATCHINFO* record, bool brief);

    // Live blocks and the sum of their size words, counted in stripes picked by the calling
    // thread, so that threads allocating from one heap do not fight over one cache line; the
    // totals are the sums over the stripes (modulo 2^32, as the counters always were).
    struct alignas(64) UsageStripe {
        std::atomic<DWORD> blocks{0};
        std::atomic<DWORD> bytes{0};
    };
    static constexpr unsigned kUsageStripes = 8;
    void CountUsage(DWORD blocks, DWORD bytes);  // both added modulo 2^32
    DWORD LiveBlocks() const;
    DWORD LiveBytes() const;

    UsageStripe m_Usage[kUsageStripes];
    std::atomic<DWORD> m_dwFlags{0};  // HEAPFLAG_*
    char m_szName[32] = {};
    tagWATCHINFO* m_pWatchHead = nullptr;        // guarded by m_pWatchLock
    COSCriticalSection* m_pWatchLock = nullptr;  // guards the watch list
    bool m_bWatchFramed = false;  // blocks carry watch records (decided at construction)
    bool m_bProcessHeap = false;  // hHeap is the process heap: never destroyed
};

// The library's own heaps, created on first use and never destroyed.
namespace qzo::memory {
QZOBJ_API CHeap& CSHeap();        // critical sections created with new
QZOBJ_API CHeap& MemPool();       // memory blocks
QZOBJ_API CHeap& PropertyPool();  // property blocks
QZOBJ_API CHeap& DIBPool();       // small bitmap blocks
QZOBJ_API CHeap& ObjHeap();       // run-time objects ("CQZRTObjectHeap")
QZOBJ_API CHeap& LocFileHeap();   // object files
QZOBJ_API CHeap& PrjHeap();       // project directory entries
}  // namespace qzo::memory

// Memory blocks, properties, lists and strings live on these heaps.
#include "qzobj/containers.h"
#include "qzobj/memblock.h"
#include "qzobj/memory_file.h"
#include "qzobj/strings.h"
