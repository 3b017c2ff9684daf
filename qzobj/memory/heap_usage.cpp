// CHeap's live-block counters: striped by thread so that concurrent allocations from one heap
// touch different cache lines; the rare readers (leak reports, state queries) add them up.
#include <atomic>

#include "qzobj/memory.h"

namespace {

// Each thread keeps the stripe it was given first; threads are dealt out round-robin.
unsigned ThreadNumber() {
    static std::atomic<unsigned> next{0};
    thread_local const unsigned number = next.fetch_add(1, std::memory_order_relaxed);
    return number;
}

}  // namespace

void CHeap::CountUsage(DWORD blocks, DWORD bytes) {
    UsageStripe& stripe = m_Usage[ThreadNumber() % kUsageStripes];
    if (blocks != 0) stripe.blocks.fetch_add(blocks, std::memory_order_relaxed);
    if (bytes != 0) stripe.bytes.fetch_add(bytes, std::memory_order_relaxed);
}

DWORD CHeap::LiveBlocks() const {
    DWORD total = 0;
    for (const UsageStripe& stripe : m_Usage)
        total += stripe.blocks.load(std::memory_order_relaxed);
    return total;
}

DWORD CHeap::LiveBytes() const {
    DWORD total = 0;
    for (const UsageStripe& stripe : m_Usage) total += stripe.bytes.load(std::memory_order_relaxed);
    return total;
}
