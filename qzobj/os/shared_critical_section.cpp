// CSharedCriticalSection: a critical section from "CSHeap" that lives as long as its holders.
#include "qzobj/os.h"

CSharedCriticalSection* CSharedCriticalSection::Create() {
    return new CSharedCriticalSection();
}

int CSharedCriticalSection::Lock() {
    m_uRefCnt.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

// Holders on different threads drop their references concurrently, so the count falls by
// compare-and-swap: exactly one caller sees it reach 0 and frees the section, and a count that
// is already 0 is never wrapped.
void CSharedCriticalSection::Destroy() {
    DWORD count = m_uRefCnt.load(std::memory_order_relaxed);
    do {
        if (count == 0) return;
    } while (!m_uRefCnt.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                              std::memory_order_relaxed));
    if (count == 1) delete this;
}
