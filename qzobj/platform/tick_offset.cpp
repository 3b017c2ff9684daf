// The tick count's test offset: one relaxed atomic word, read on every tick.
#include "qzobj/platform/tick_offset.h"

#include <atomic>

namespace qzo::platform {
namespace {

std::atomic<DWORD> g_tickOffset{0};

}  // namespace

DWORD TickOffset() {
    return g_tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffset(DWORD offset) {
    g_tickOffset.store(offset, std::memory_order_relaxed);
}

}  // namespace qzo::platform
