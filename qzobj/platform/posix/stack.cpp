// Thread stack ranges from the threading library, cached per thread, and the frame-pointer walk.
#include "qzobj/platform/stack.h"

#include <pthread.h>
#include <unistd.h>

namespace qzo::platform {
namespace {

// Initial-exec TLS: reading it is a plain load from the thread pointer, with no lazy allocation
// behind it, which is what makes the cache usable from a signal handler.
struct CachedRange {
    bool known;
    StackRange range;
};
thread_local CachedRange t_stack __attribute__((tls_model("initial-exec"))) = {};

bool AskSystem(StackRange& range) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* address = nullptr;
    size_t size = 0;
    size_t guard = 0;
    const bool ok = pthread_attr_getstack(&attributes, &address, &size) == 0;
    pthread_attr_getguardsize(&attributes, &guard);
    pthread_attr_destroy(&attributes);
    if (!ok || !address || size == 0) return false;
    range.low = reinterpret_cast<uintptr_t>(address);
    range.high = range.low + size;
    range.guardSize = guard;
    return true;
}

}  // namespace

bool ThreadStackRange(StackRange& range) {
    if (!t_stack.known) {
        StackRange found;
        if (!AskSystem(found)) return false;
        t_stack.range = found;
        t_stack.known = true;
    }
    range = t_stack.range;
    return true;
}

bool CachedThreadStackRange(StackRange& range) {
    if (!t_stack.known) return false;
    range = t_stack.range;
    return true;
}

// The walk reads other functions' frame slots, which an address sanitizer may count as reads
// outside any object of this function.
__attribute__((no_sanitize("address"))) size_t WalkFramePointers(const void* frame,
                                                                 const StackRange& range,
                                                                 void** out, size_t capacity) {
    // A frame holds the caller's saved frame pointer at [0] and the return address at [1], on
    // x86-64 (rbp) and on AArch64 (x29) alike.
    constexpr uintptr_t kFrameBytes = 2 * sizeof(void*);
    size_t count = 0;
    uintptr_t current = reinterpret_cast<uintptr_t>(frame);
    while (count < capacity) {
        if (current < range.low || current > range.high - kFrameBytes) break;
        if (current % sizeof(void*) != 0) break;
        const auto* slots = reinterpret_cast<const uintptr_t*>(current);
        const uintptr_t returnAddress = slots[1];
        if (returnAddress == 0) break;
        out[count++] = reinterpret_cast<void*>(returnAddress);
        const uintptr_t next = slots[0];
        if (next <= current) break;
        current = next;
    }
    return count;
}

size_t PageSize() {
    // sysconf reads the value the kernel passed at start-up; no lock, usable in handlers.
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : size_t{4096};
}

}  // namespace qzo::platform
