// CHeap allocation, reallocation, release and size queries. Before a block is read, the platform
// heap's registry confirms that it is a live block of this heap, so double frees, foreign
// pointers and other heaps' blocks are reported without touching released memory.
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/memory.h"
#include "qzobj/memory/heap_frame.h"
#include "qzobj/memory/heap_registry.h"
#include "qzobj/memory/heap_trace.h"
#include "qzobj/memory/heap_watch_lock.h"
#include "qzobj/platform/heap.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"

using namespace qzo::memory;
namespace platform = qzo::platform;

namespace {

constexpr DWORD kInPlaceOnly = platform::kHeapReallocInPlaceOnly;

uintptr_t Address(const void* p) {
    return reinterpret_cast<uintptr_t>(p);
}

void WarnCorruption(const char16_t* text) {
    WarningMsg(text, GetAddress(), GetEBP());
}

}  // namespace

// ---- allocation ----

void* CHeap::Alloc(DWORD size, DWORD heapFlags, const char* file, int line, void* caller) {
    if (caller == nullptr) caller = __builtin_return_address(0);
    return AllocAt(size, heapFlags, file, line, caller, __builtin_frame_address(0));
}

void* CHeap::AllocAt(DWORD size, DWORD heapFlags, const char* file, int line, void* caller,
                     const void* frame) {
    if (hHeap == nullptr) return nullptr;
    const uint64_t sizeWord = uint64_t{size} + kFrameOverhead;
    const uint64_t request = sizeWord + (m_bWatchFramed ? kRecordBytes : 0);
    void* allocation = nullptr;
    if (sizeWord <= kMaxSizeWord) {
        allocation = platform::HeapAlloc(hHeap, heapFlags & ~kInPlaceOnly, request);
    }
    if (allocation == nullptr) {
        wPrintf(kHeapChannel, kLevelFailure, u"\rFAILED: HeapAlloc(%hs,hHeap=%08zX)\r\n", m_szName,
                Address(hHeap));
        return nullptr;
    }
    uintptr_t frameAddress = Address(allocation);
    if (m_bWatchFramed) {
        auto* record = static_cast<tagWATCHINFO*>(allocation);
        RegisterAllocation(record, static_cast<DWORD>(sizeWord), file, line, caller, frame);
        frameAddress += kRecordBytes;
    }
    CountUsage(1, static_cast<DWORD>(sizeWord));
    void* block = WriteFrame(frameAddress, static_cast<DWORD>(sizeWord));
    if ((m_dwFlags.load(std::memory_order_relaxed) & HEAPFLAG_LOG) && IsDebugOn()) {
        wPrintf(kHeapChannel, kLevelTrace, u"Heap %hs: Alloc %08zX\r\n", m_szName, Address(block));
    }
    return block;
}

void* CHeap::WriteFrame(uintptr_t frameAddress, DWORD sizeWord) {
    WriteWord(frameAddress, sizeWord);
    WriteWord(frameAddress + sizeWord - kSizeWordBytes, HEAP_BLOCK_TRAILER);
    return reinterpret_cast<void*>(frameAddress + kSizeWordBytes);
}

void CHeap::RegisterAllocation(tagWATCHINFO* record, DWORD sizeWord, const char* file, int line,
                               void* caller, const void* frame) {
    std::memset(static_cast<void*>(record), 0, sizeof(*record));
    record->dwSignature = WATCHINFO_SIGNATURE;
    record->hHeap = hHeap;
    record->dwSize = sizeWord;
    // The trace is complete before the record becomes visible to dumps.
    BuildTrace(record, frame, file, line, caller);
    WatchLockGuard guard(m_pWatchLock);
    record->pNext = m_pWatchHead;
    if (m_pWatchHead != nullptr) m_pWatchHead->pPrev = record;
    m_pWatchHead = record;
}

void CHeap::UnlinkRecord(tagWATCHINFO* record) {
    {
        WatchLockGuard guard(m_pWatchLock);
        if (record->pPrev != nullptr) {
            record->pPrev->pNext = record->pNext;
        } else if (m_pWatchHead == record) {
            m_pWatchHead = record->pNext;
        }
        if (record->pNext != nullptr) record->pNext->pPrev = record->pPrev;
        record->pPrev = record->pNext = nullptr;
    }
    if (record->pszTrace != nullptr) platform::HeapFree(WatchHeap(), 0, record->pszTrace);
    record->pszTrace = nullptr;
}

// ---- block checks ----

CHeap::BlockCheck CHeap::CheckBlock(void* block, const char* operation) {
    BlockCheck check;
    check.frame = Address(block) - kSizeWordBytes;
    check.allocation = check.frame - (m_bWatchFramed ? kRecordBytes : 0);
    const size_t size = platform::HeapSize(hHeap, 0, reinterpret_cast<void*>(check.allocation));
    if (size == static_cast<size_t>(-1)) {
        check.live = false;
        // A live block of another heap, in either framing, is handed to the wrong heap.
        const uintptr_t plainStart = check.frame;
        const uintptr_t watchStart = check.frame - kRecordBytes;
        check.otherHeap = IsLiveInOtherHeap(this, reinterpret_cast<void*>(plainStart)) ||
                          (watchStart < plainStart &&
                           IsLiveInOtherHeap(this, reinterpret_cast<void*>(watchStart)));
        return check;
    }
    check.live = true;
    check.sizeWord = static_cast<DWORD>(size - (m_bWatchFramed ? kRecordBytes : 0));
    if (ReadWord(check.frame) != check.sizeWord) {
        check.startDamaged = true;
        wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs: %hs: BlockStart overwritten.\r\n",
                m_szName, operation);
        return check;
    }
    check.endDamaged =
        ReadWord(check.frame + check.sizeWord - kSizeWordBytes) != HEAP_BLOCK_TRAILER;
    return check;
}

void CHeap::ReportWrongHeap() {
    WarnCorruption(u"WRONG HEAP HANDLE");
}

// ---- reallocation ----

void* CHeap::Realloc(void* block, DWORD newSize, DWORD heapFlags, const char* file, int line,
                     void* caller) {
    if (caller == nullptr) caller = __builtin_return_address(0);
    const void* frame = __builtin_frame_address(0);
    if (hHeap == nullptr) return nullptr;
    if (block == nullptr)
        return AllocAt(newSize, heapFlags & ~kInPlaceOnly, file, line, caller, frame);

    const BlockCheck check = CheckBlock(block, "Realloc");
    if (!check.live) {
        if (check.otherHeap) {
            ReportWrongHeap();
            if (m_bWatchFramed && IsDebugOn()) {
                wPrintf(kHeapChannel, kLevelCorrupt,
                        u"Heap %hs: Realloc invalid watch signature\r\n", m_szName);
            }
        } else {
            wPrintf(kHeapChannel, kLevelCorrupt,
                    u"\rHeap %hs: Realloc: BlockStart overwritten.\r\n", m_szName);
        }
        return nullptr;
    }
    if (check.startDamaged) return nullptr;
    if (check.endDamaged) {
        if (IsDebugOn()) {
            wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs: Realloc: BlockEnd overwritten.\r\n",
                    m_szName);
        }
        // A watched block's record still vouches for it; a plain block has nothing else.
        if (!m_bWatchFramed) {
            WarnCorruption(u"Heap corruption!");
            return nullptr;
        }
    }
    const uint64_t newSizeWord = uint64_t{newSize} + kFrameOverhead;
    if (newSizeWord > kMaxSizeWord) return nullptr;
    if (m_bWatchFramed) {
        return ReallocWatched(check, static_cast<DWORD>(newSizeWord), heapFlags, file, line, caller,
                              frame);
    }
    void* moved = platform::HeapReAlloc(hHeap, heapFlags, reinterpret_cast<void*>(check.allocation),
                                        newSizeWord);
    if (moved == nullptr) return nullptr;
    return FinishRealloc(Address(moved), check.sizeWord, static_cast<DWORD>(newSizeWord),
                         heapFlags);
}

void* CHeap::ReallocWatched(const BlockCheck& check, DWORD newSizeWord, DWORD heapFlags,
                            const char* file, int line, void* caller, const void* frame) {
    auto* record = reinterpret_cast<tagWATCHINFO*>(check.allocation);
    bool bad = ReadWord(check.allocation) != WATCHINFO_SIGNATURE;
    if (!bad && record->hHeap != hHeap) {
        ReportWrongHeap();
        bad = true;
    }
    if (bad) {
        if (IsDebugOn()) {
            wPrintf(kHeapChannel, kLevelCorrupt, u"Heap %hs: Realloc invalid watch signature\r\n",
                    m_szName);
        }
        return nullptr;
    }
    // The record leaves the list (and its trace the watch heap) before the block may move.
    UnlinkRecord(record);
    void* moved =
        platform::HeapReAlloc(hHeap, heapFlags, record, uint64_t{newSizeWord} + kRecordBytes);
    if (moved == nullptr) {
        RegisterAllocation(record, check.sizeWord, file, line, caller, frame);
        if (IsDebugOn()) {
            wPrintf(kHeapChannel, kLevelFailure, u"Heap %hs: HeapReAlloc FAILED\r\n", m_szName);
        }
        return nullptr;
    }
    RegisterAllocation(static_cast<tagWATCHINFO*>(moved), newSizeWord, file, line, caller, frame);
    return FinishRealloc(Address(moved) + kRecordBytes, check.sizeWord, newSizeWord, heapFlags);
}

void* CHeap::FinishRealloc(uintptr_t frameAddress, DWORD oldSizeWord, DWORD newSizeWord,
                           DWORD heapFlags) {
    // The old trailer becomes caller data when the block grows: zero it on request too.
    if ((heapFlags & platform::kHeapZeroMemory) && newSizeWord > oldSizeWord) {
        WriteWord(frameAddress + oldSizeWord - kSizeWordBytes, 0);
    }
    CountUsage(0, newSizeWord - oldSizeWord);
    void* block = WriteFrame(frameAddress, newSizeWord);
    if ((m_dwFlags.load(std::memory_order_relaxed) & HEAPFLAG_LOG) && IsDebugOn()) {
        wPrintf(kHeapChannel, kLevelTrace, u"Heap %hs: Realloc %08zX\r\n", m_szName,
                Address(block));
    }
    return block;
}

// ---- release ----

BOOL CHeap::Free(void* block, DWORD heapFlags) {
    if (hHeap == nullptr || block == nullptr) return FALSE;
    const BlockCheck check = CheckBlock(block, "Free");
    if (!check.live) {
        if (check.otherHeap) {
            if (m_bWatchFramed) {
                wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs::Free: WATCHINFO bad\r\n",
                        m_szName);
            }
            ReportWrongHeap();
            return FALSE;
        }
        wPrintf(kHeapChannel, kLevelCorrupt,
                u"\rHeap %hs: Free: BlockEnd overwritten or already freed.\r\n", m_szName);
        if (!m_bWatchFramed) WarnCorruption(u"Heap corruption!");
        return FALSE;
    }
    bool bad = check.startDamaged;
    if (check.endDamaged) {
        wPrintf(kHeapChannel, kLevelCorrupt,
                u"\rHeap %hs: Free: BlockEnd overwritten or already freed.\r\n", m_szName);
        if (!m_bWatchFramed) WarnCorruption(u"Heap corruption!");
        bad = true;
    }
    if (m_bWatchFramed) bad = !ReleaseRecord(check, bad);

    const DWORD flags = m_dwFlags.load(std::memory_order_relaxed);
    if ((flags & HEAPFLAG_TRACEFREE) && IsDebugOn()) {
        wPrintf(kHeapChannel, kLevelTrace, u"Heap(%hs)::Free Trace %08zX\r\n", m_szName,
                Address(block));
        WalkCallStack(nullptr, nullptr, -1, nullptr);
    }
    CountUsage(DWORD(-1), DWORD(0) - check.sizeWord);
    if ((flags & HEAPFLAG_LOG) && IsDebugOn()) {
        wPrintf(kHeapChannel, kLevelTrace, u"Heap %hs: Free %08zX\r\n", m_szName, Address(block));
    }
    if (bad) return FALSE;
    WriteWord(check.frame, 0);
    WriteWord(check.frame + check.sizeWord - kSizeWordBytes, 0);
    return platform::HeapFree(hHeap, heapFlags, reinterpret_cast<void*>(check.allocation)) ? TRUE
                                                                                           : FALSE;
}

// Checks a watched block's record and takes it off the watch list. False when the block is bad
// (it then stays allocated and listed).
bool CHeap::ReleaseRecord(const BlockCheck& check, bool bad) {
    auto* record = reinterpret_cast<tagWATCHINFO*>(check.allocation);
    if (ReadWord(check.allocation) != WATCHINFO_SIGNATURE) {
        wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs::Free: Invalid signature\r\n", m_szName);
        return false;
    }
    if (record->hHeap != hHeap) {
        wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs::Free: WATCHINFO bad\r\n", m_szName);
        ReportWrongHeap();
        return false;
    }
    if (check.endDamaged) {
        WatchLockGuard guard(m_pWatchLock);
        PrintEntry(record, false);
    }
    if (bad) return false;
    UnlinkRecord(record);
    return true;
}

DWORD CHeap::AllocSize(void* block) {
    if (hHeap == nullptr || block == nullptr) return 0;
    const uintptr_t allocation =
        Address(block) - kSizeWordBytes - (m_bWatchFramed ? kRecordBytes : 0);
    const size_t size = platform::HeapSize(hHeap, 0, reinterpret_cast<void*>(allocation));
    const size_t overhead = kFrameOverhead + (m_bWatchFramed ? kRecordBytes : 0);
    if (size == static_cast<size_t>(-1) || size < overhead) return 0;
    return static_cast<DWORD>(size - overhead);
}
