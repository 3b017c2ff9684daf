// Builds watch traces: walks the saved frame pointers above the allocating code, names each
// return address through the address-info service and writes one piece per location, the
// outermost caller first and the allocation's own site last.
#include "qzobj/memory/heap_trace.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "qzobj/memory/heap_registry.h"
#include "qzobj/platform/heap.h"
#include "qzobj/platform/stack.h"
#include "qzobj/uikit.h"

namespace qzo::memory {
namespace {

size_t WalkAboveAllocator(const void* allocatorFrame, void** out, size_t capacity) {
    platform::StackRange range;
    if (allocatorFrame == nullptr || !platform::ThreadStackRange(range)) return 0;
    // The first return address leads into the allocating code itself, which is recorded as
    // the allocation's own site; the walk proper starts at its caller.
    void* addresses[kTraceFrames + 1];
    const size_t found =
        platform::WalkFramePointers(allocatorFrame, range, addresses, kTraceFrames + 1);
    size_t stored = 0;
    for (size_t i = 1; i < found && stored < capacity; ++i) out[stored++] = addresses[i];
    return stored;
}

std::atomic<TraceFrameWalk> g_walk{&WalkAboveAllocator};
std::atomic<TraceResolver> g_resolve{&GetAddressInfo};

// Appends text to a format piece, escaping '%' and keeping '{' (the piece separator) out.
void AppendLiteral(std::string& piece, const char* text) {
    for (; *text; ++text) {
        if (*text == '%') {
            piece += "%%";
        } else if (*text == '{') {
            piece += '_';
        } else {
            piece += *text;
        }
    }
}

// One location: its piece text, the interned module name and the slot value.
struct Piece {
    std::string format;
    const char* module = nullptr;
    uintptr_t value = 0;
};

Piece DescribeAddress(const void* address) {
    Piece piece;
    tagADDRESSINFO info{};
    if (!g_resolve.load(std::memory_order_relaxed)(address, &info)) {
        piece.format = "%hs%08zx{";
        piece.value = reinterpret_cast<uintptr_t>(address);
        return piece;
    }
    info.szModule[sizeof(info.szModule) - 1] = 0;
    info.szFunction[sizeof(info.szFunction) - 1] = 0;
    info.szFunction2[sizeof(info.szFunction2) - 1] = 0;
    piece.module = InternModuleName(info.szModule);
    char name[256];
    if (info.szFunction[0] != 0 || info.szFunction2[0] != 0) {
        const bool first = info.szFunction[0] != 0;
        TrimFunctionName(first ? info.szFunction : info.szFunction2, name, sizeof(name));
        const int32_t displacement = first ? static_cast<int32_t>(info.dwDisplacement)
                                           : -static_cast<int32_t>(info.dwDistance);
        piece.format = "%hs|";
        AppendLiteral(piece.format, name);
        piece.format += "%+d{";
        piece.value = static_cast<uintptr_t>(static_cast<intptr_t>(displacement));
    } else {
        piece.format = "%hs|+%u{";
        piece.value =
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) - info.uModuleBase);
    }
    return piece;
}

Piece DescribeSourceLine(const char* file, int line) {
    const char* base = file;
    for (const char* p = file; *p; ++p) {
        if (*p == '\\' || *p == '/') base = p + 1;
    }
    Piece piece;
    piece.format = "%hs|line %d{";
    piece.module = InternModuleName(base);
    piece.value = static_cast<uintptr_t>(static_cast<intptr_t>(line));
    return piece;
}

void StoreTrace(tagWATCHINFO* record, const std::string& trace) {
    HANDLE watchHeap = WatchHeap();
    auto* copy = static_cast<char*>(platform::HeapAlloc(watchHeap, 0, trace.size() + 1));
    if (copy == nullptr) {
        wPrintf(0, 2, u"\rFAILED: HeapAlloc(hWatchHeap=%08zX)\r\n",
                reinterpret_cast<uintptr_t>(watchHeap));
        return;
    }
    std::memcpy(copy, trace.c_str(), trace.size() + 1);
    record->pszTrace = copy;
}

}  // namespace

void TrimFunctionName(const char* name, char* out, size_t capacity) {
    if (capacity == 0) return;
    const char* colon = std::strchr(name, ':');
    const char* blank = std::strchr(name, ' ');
    if (blank != nullptr && (colon == nullptr || blank < colon)) name = blank + 1;
    size_t length = std::strcspn(name, "(");
    if (length >= capacity) length = capacity - 1;
    std::memcpy(out, name, length);
    out[length] = 0;
}

void BuildTrace(tagWATCHINFO* record, const void* allocatorFrame, const char* file, int line,
                const void* caller) {
    void* frames[kTraceFrames];
    size_t count = g_walk.load(std::memory_order_relaxed)(allocatorFrame, frames, kTraceFrames);
    if (count > kTraceFrames) count = kTraceFrames;

    std::string trace;
    int slot = WATCHINFO_SLOTS - 1;
    auto append = [&](const Piece& piece) {
        trace += piece.format;
        record->pModule[slot] = piece.module;
        record->dwValue[slot] = piece.value;
        --slot;
    };
    for (size_t i = count; i-- > 0;) append(DescribeAddress(frames[i]));
    append(file != nullptr ? DescribeSourceLine(file, line) : DescribeAddress(caller));
    StoreTrace(record, trace);
}

void SetTraceSourceForTesting(TraceFrameWalk walk, TraceResolver resolve) {
    g_walk.store(walk != nullptr ? walk : &WalkAboveAllocator, std::memory_order_relaxed);
    g_resolve.store(resolve != nullptr ? resolve : &GetAddressInfo, std::memory_order_relaxed);
}

}  // namespace qzo::memory
