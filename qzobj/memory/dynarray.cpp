// CPDynArray: a headerless growable array of fixed-size elements in a memory block.
#include <cstring>

#include "qzobj/containers.h"
#include "qzobj/memory/list_limits.h"

DWORD CPDynArray::GetCount() const {
    return dwElementSize == 0 ? 0 : GetSize() / dwElementSize;
}

void* CPDynArray::GetArray(DWORD* count) {
    void* data = GetDataPtr();  // refused, with a warning, on a READONLY handle
    if (count) *count = data ? GetCount() : 0;
    return data;
}

const void* CPDynArray::GetCArray(DWORD* count) const {
    const void* data = GetCDataPtr();
    if (count) *count = data ? GetCount() : 0;
    return data;
}

BOOL CPDynArray::Add(const void* element) {
    if (dwElementSize == 0) return 0;
    const DWORD count = GetCount();
    const DWORD capacity = GetAllocSize() / dwElementSize;
    if (ULONGLONG(count) + 1 > capacity) {
        const ULONGLONG bytes = (ULONGLONG(capacity) + dwGrowth) * dwElementSize;
        if (bytes > qzo::memory::kLargestListBlock || !CPMemory::Realloc(DWORD(bytes))) return 0;
    }
    BYTE* slot = static_cast<BYTE*>(Data()) + size_t(count) * dwElementSize;
    if (element)
        std::memmove(slot, element, dwElementSize);
    else
        std::memset(slot, 0, dwElementSize);
    pMH->dwSize = (count + 1) * dwElementSize;
    return 1;
}

BOOL CPDynArray::Delete(DWORD position) {
    const DWORD count = GetCount();
    if (position >= count) return 1;
    BYTE* slot = static_cast<BYTE*>(Data()) + size_t(position) * dwElementSize;
    std::memmove(slot, slot + dwElementSize, size_t(count - position - 1) * dwElementSize);
    pMH->dwSize = (count - 1) * dwElementSize;
    return 1;
}
