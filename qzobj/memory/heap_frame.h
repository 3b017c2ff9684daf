// The frame around every CHeap block and the helpers that read and write it. The frame is the
// size word (requested size + 8), the caller's bytes, then the trailer "WOHC"; the trailer sits
// at any byte offset, so every word is accessed with memcpy.
#pragma once

#include <cstdint>
#include <cstring>

#include "qzobj/memory.h"

namespace qzo::memory {

inline constexpr uint64_t kFrameOverhead = 8;  // size word + trailer
inline constexpr uintptr_t kSizeWordBytes = 4;
inline constexpr uintptr_t kRecordBytes = sizeof(tagWATCHINFO);
inline constexpr uint64_t kMaxSizeWord = 0xFFFFFFFFu;
// Platform blocks are placed so that the caller's pointer (behind the size word, and behind the
// watch record in watch mode) is 16-byte aligned.
inline constexpr size_t kCallerOffset = kSizeWordBytes;
static_assert(kRecordBytes % 16 == 0, "the watch record keeps the caller's alignment");

// Output channel of all heap messages, and their levels.
inline constexpr int kHeapChannel = 0;
inline constexpr int kLevelCorrupt = 1;  // damaged, foreign or already freed blocks
inline constexpr int kLevelFailure = 2;  // allocation failures
inline constexpr int kLevelDump = 5;     // watch-list dumps
inline constexpr int kLevelTrace = 8;    // per-call log lines and free traces
inline constexpr int kLevelInfo = 9;     // construction notices and leak reports

inline DWORD ReadWord(uintptr_t address) {
    DWORD value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof(value));
    return value;
}

inline void WriteWord(uintptr_t address, DWORD value) {
    std::memcpy(reinterpret_cast<void*>(address), &value, sizeof(value));
}

}  // namespace qzo::memory
