// The library's own heaps. Each is created on first use and never destroyed, so blocks freed by
// static destructors of other objects still find their heap.
#include "qzobj/memory.h"

namespace qzo::memory {

CHeap& CSHeap() {
    static CHeap* heap = new CHeap("CSHeap", 0, 0, 0, TRUE);
    return *heap;
}

CHeap& MemPool() {
    static CHeap* heap = new CHeap("MemPool", 0, 0x10000, 0, FALSE);
    return *heap;
}

CHeap& PropertyPool() {
    static CHeap* heap = new CHeap("PropertyPool", 0, 0x10000, 0, FALSE);
    return *heap;
}

CHeap& DIBPool() {
    static CHeap* heap = new CHeap("DIBPool", 0, 0x10000, 0, FALSE);
    return *heap;
}

CHeap& ObjHeap() {
    static CHeap* heap = new CHeap("CQZRTObjectHeap", 0, 0x80000, 0, FALSE);
    return *heap;
}

CHeap& LocFileHeap() {
    static CHeap* heap = new CHeap("LocFileHeap", 0, 0x60100, 0, FALSE);
    return *heap;
}

CHeap& PrjHeap() {
    static CHeap* heap = new CHeap("PrjHeap", 0, 32768, 0, FALSE);
    return *heap;
}

}  // namespace qzo::memory
