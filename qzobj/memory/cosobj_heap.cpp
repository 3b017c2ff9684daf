// CHeap construction, sizing, destruction with its leak report, names, flags, counters and the
// settings that decide a heap's watch mode.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/memory.h"
#include "qzobj/memory/heap_frame.h"
#include "qzobj/memory/heap_registry.h"
#include "qzobj/memory/heap_watch_lock.h"
#include "qzobj/platform/heap.h"
#include "qzobj/platform/site_tags.h"
#include "qzobj/uikit.h"

using namespace qzo::memory;
namespace platform = qzo::platform;

namespace {

constexpr char kHeapsSection[] = "Heaps";
constexpr char kWatchKey[] = "Watch";
constexpr char kHeapFlagsKey[] = "HeapFlags";

bool StartsWithProcNoCase(const char* name) {
    static constexpr char kProc[] = "proc";
    for (int i = 0; i < 4; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != kProc[i]) return false;
    }
    return true;
}

DWORD ReadSetting(const char* section, const char* key) {
    return static_cast<DWORD>(QZOBJ_GetProfileInt(section, key, 0, TRUE));
}

}  // namespace

CHeap::CHeap() {
    Construct(nullptr, 0, 0, 0, FALSE);
}

CHeap::CHeap(const char* name, DWORD maximumSize, DWORD initialSize, DWORD options, BOOL create) {
    Construct(name, maximumSize, initialSize, options, create);
}

void CHeap::Construct(const char* name, DWORD maximumSize, DWORD initialSize, DWORD options,
                      BOOL create) {
    m_pWatchLock = NewWatchLock();
    DWORD flags = 0;
    const char* bare = name != nullptr ? name : "";
    if (*bare == '@') {
        ++bare;
        flags |= HEAPFLAG_LOG;
    }
    if (StartsWithProcNoCase(bare)) {
        hHeap = platform::GetProcessHeap();
        m_bProcessHeap = true;
    } else if (maximumSize != 0 || initialSize != 0 || create) {
        hHeap = platform::HeapCreate(options, initialSize, maximumSize, kCallerOffset);
    }
    if (*bare != 0) {
        std::strncpy(m_szName, bare, sizeof(m_szName) - 1);
    } else {
        std::snprintf(m_szName, sizeof(m_szName), "%08" PRIXPTR,
                      reinterpret_cast<uintptr_t>(hHeap));
    }

    CountHeapIn();
    bool wantWatch = ReadSetting(kHeapsSection, kWatchKey) != 0;
    if (!wantWatch) wantWatch = ReadSetting(m_szName, kWatchKey) != 0;
    // The framing chosen here holds for the heap's whole life, whatever its flags say later.
    m_bWatchFramed = ListHeap(this, wantWatch);
    if (m_bWatchFramed) flags |= HEAPFLAG_WATCH;
    flags |= ReadSetting(kHeapsSection, kHeapFlagsKey);
    flags |= ReadSetting(m_szName, kHeapFlagsKey);
    m_dwFlags.store(flags, std::memory_order_relaxed);

    if (IsDebugOn()) {
        wPrintf(kHeapChannel, kLevelInfo, u"\rCHeap(%hs), Handle=%08zX\r\n", m_szName,
                reinterpret_cast<uintptr_t>(hHeap));
    }
}

int CHeap::SizeHeap(DWORD maximumSize, DWORD initialSize, DWORD options) {
    if (hHeap != nullptr) return 0;
    hHeap = platform::HeapCreate(options, initialSize, maximumSize, kCallerOffset);
    return hHeap == nullptr ? 1 : 0;
}

CHeap::~CHeap() {
    if (hHeap != nullptr) {
        const DWORD blocks = LiveBlocks();
        if (blocks != 0) {
            wPrintf(kHeapChannel, kLevelInfo, u"Heap %hs: %i items (%u bytes) not freed\r\n",
                    m_szName, static_cast<int>(blocks), LiveBytes());
            DetailedMessageBeep(0, platform::site::kCosobj, platform::site::kHeapLeak);
        }
        if (m_bWatchFramed) DumpHeap(-1);
        // Destroying the platform heap releases the leaked blocks too.
        if (!m_bProcessHeap) platform::HeapDestroy(hHeap);
    }
    UnlistHeap(this);
    CountHeapOut();
    DeleteWatchLock(m_pWatchLock);
}

int CHeap::GetHeapName(char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return 0;
    const size_t capacity = static_cast<size_t>(length) - 1;
    size_t count = std::strlen(m_szName);
    if (count > capacity) count = capacity;
    std::memcpy(buffer, m_szName, count);
    buffer[count] = 0;
    return 1;
}

DWORD CHeap::GetHeapFlags() {
    return m_dwFlags.load(std::memory_order_relaxed);
}

int CHeap::SetHeapFlags(DWORD flags) {
    m_dwFlags.store(flags & HEAPFLAG_MASK, std::memory_order_relaxed);
    return 1;
}

DWORD CHeap::GetHeapState(DWORD* count) {
    if (count != nullptr) *count = LiveBlocks();
    return LiveBytes();
}

int CHeap::GetHeapList(CHeap** heaps, int capacity) {
    return CopyHeapList(heaps, capacity);
}

int CHeap::StoreWatchConfig() {
    std::lock_guard<std::recursive_mutex> guard(HeapListLock());
    CHeap* heaps[kMaxListedHeaps];
    const int count = CopyHeapList(heaps, kMaxListedHeaps);
    bool anyWatch = false;
    for (int i = 0; i < count; ++i) {
        const bool watchNext = (heaps[i]->GetHeapFlags() & HEAPFLAG_WATCHNEXTSTART) != 0;
        anyWatch = anyWatch || watchNext;
        QZOBJ_WriteProfileInt(heaps[i]->m_szName, kWatchKey, watchNext ? 1 : 0);
    }
    if (!anyWatch) QZOBJ_WriteProfileInt(kHeapsSection, kWatchKey, 0);
    return 1;
}
