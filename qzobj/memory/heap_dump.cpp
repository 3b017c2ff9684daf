// Dumps of a heap's watch list: a summary line, then every live watched block with its trace
// split into indented pieces, or discarding the list when the heap goes away.
#include <string>

#include "qzobj/memory.h"
#include "qzobj/memory/heap_frame.h"
#include "qzobj/memory/heap_registry.h"
#include "qzobj/memory/heap_watch_lock.h"
#include "qzobj/platform/heap.h"
#include "qzobj/uikit.h"

using namespace qzo::memory;
namespace platform = qzo::platform;

namespace {

constexpr DWORD kModeSummaryOnly = 0x1;
constexpr DWORD kModeBrief = 0x2;
constexpr DWORD kModeDiscard = 0x80000000u;
constexpr size_t kMaxTraceUnits = 1024;
constexpr size_t kMaxPieces = WATCHINFO_SLOTS;

// Prints one piece of a trace as a format with its slot's module name and value. Address
// pieces take a pointer-width value; the others a 32-bit one.
void PrintPiece(const std::u16string& piece, const tagWATCHINFO* record, int slot) {
    const char* module = record->pModule[slot] != nullptr ? record->pModule[slot] : "";
    const uintptr_t value = record->dwValue[slot];
    if (piece.find(u"%08zx") != std::u16string::npos) {
        wPrintf(kHeapChannel, kLevelDump, piece.c_str(), module, value);
    } else {
        wPrintf(kHeapChannel, kLevelDump, piece.c_str(), module, static_cast<int>(value));
    }
}

}  // namespace

void CHeap::Dump(BOOL full) {
    DumpHeap(full ? 0 : 1);
}

void CHeap::DumpHeap(int mode) {
    const DWORD bits = mode < 0 ? kModeDiscard : static_cast<DWORD>(mode);
    const bool discard = (bits & kModeDiscard) != 0;
    WatchLockGuard guard(m_pWatchLock);
    if (m_pWatchHead == nullptr) return;
    wPrintf(kHeapChannel, kLevelDump, u"\rDump [%hs]: %d items not freed", m_szName,
            static_cast<int>(LiveBlocks()));
    if (!(bits & kModeSummaryOnly)) {
        HANDLE watchHeap = WatchHeap();
        for (tagWATCHINFO* record = m_pWatchHead; record != nullptr;) {
            // A damaged link would lead outside the heap: stop before reading it.
            if (!platform::HeapIsLiveBlock(hHeap, record)) {
                wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs: Heap corrupted...", m_szName);
                break;
            }
            if (ReadWord(reinterpret_cast<uintptr_t>(record)) != WATCHINFO_SIGNATURE) {
                wPrintf(kHeapChannel, kLevelCorrupt, u"\rHeap %hs: Block damaged (overwrite)",
                        m_szName);
                break;
            }
            PrintEntry(record, (bits & kModeBrief) != 0);
            tagWATCHINFO* next = record->pNext;
            if (discard && record->pszTrace != nullptr) {
                platform::HeapFree(watchHeap, 0, record->pszTrace);
                record->pszTrace = nullptr;
            }
            record = next;
        }
    }
    wPrintf(kHeapChannel, kLevelDump, u"\r\n");
    if (discard) m_pWatchHead = nullptr;
}

void CHeap::PrintEntry(const tagWATCHINFO* record, bool brief) {
    wPrintf(kHeapChannel, kLevelDump, u"\r");
    const uintptr_t frame = reinterpret_cast<uintptr_t>(record) + kRecordBytes;
    if (record->pszTrace == nullptr) {
        wPrintf(kHeapChannel, kLevelDump, u"\r<no trace>{%u bytes @ %08zx}\r\n", record->dwSize,
                frame);
        return;
    }
    if (!brief) {
        std::u16string piece;
        size_t pieces = 0;
        const char* text = record->pszTrace;
        for (size_t i = 0; text[i] != 0 && i < kMaxTraceUnits && pieces < kMaxPieces; ++i) {
            if (text[i] != '{') {
                piece += static_cast<char16_t>(static_cast<unsigned char>(text[i]));
                continue;
            }
            if (pieces > 0) {
                const std::u16string indent = u"\r" + std::u16string(2 * pieces, u' ');
                wPrintf(kHeapChannel, kLevelDump, u"%s", indent.c_str());
            }
            PrintPiece(piece, record, static_cast<int>(WATCHINFO_SLOTS - 1 - pieces));
            piece.clear();
            ++pieces;
        }
    }
    wPrintf(kHeapChannel, kLevelDump, u"{%u bytes @ %08zx}\r\n", record->dwSize, frame);
}
