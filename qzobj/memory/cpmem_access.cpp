// CPMemory's sizes, data access (write access refused on READONLY handles) and comparison.
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/memblock.h"
#include "qzobj/memory/cpmem_diag.h"

DWORD CPMemory::GetSize() const {
    return HoldsValidBlock() && pMH->dwAllocSize != 0 ? pMH->dwSize : 0;
}

BOOL CPMemory::SetSize(DWORD size) {
    if ((dwFlags & CPMEM_READONLY) || !HoldsValidBlock() || size > pMH->dwAllocSize) return 0;
    pMH->dwSize = size;
    return 1;
}

DWORD CPMemory::GetAllocSize() const {
    return HoldsValidBlock() ? pMH->dwAllocSize : 0;
}

LONG CPMemory::GetRefCnt() const {
    return HoldsValidBlock() ? pMH->iRef.load(std::memory_order_relaxed) : 0;
}

void* CPMemory::GetDataPtr() {
    if (pMH && (dwFlags & CPMEM_READONLY)) {
        QZO_BLOCK_WARNING(
            u"CPMemory::operator PVOID: Attempt to write-access cast READONLY memory.");
        return nullptr;
    }
    return GetSize() != 0 ? Data() : nullptr;
}

const void* CPMemory::GetCDataPtr() const {
    return GetSize() != 0 ? Data() : nullptr;
}

BOOL CPMemory::cmpMEMHEADER(const CPMemory& other, BOOL compareSize) const {
    if (pMH && pMH == other.pMH) return 1;
    if (!pMH || !other.pMH) return 0;
    return pMH->dwSignature == other.pMH->dwSignature && pMH->pClassID == other.pMH->pClassID &&
           pMH->pMalloc == other.pMH->pMalloc && (!compareSize || pMH->dwSize == other.pMH->dwSize);
}

bool CPMemory::operator==(const CPMemory& other) const {
    if (!pMH && !other.pMH) return true;
    if (!cmpMEMHEADER(other, TRUE)) return false;
    if (pMH == other.pMH) return true;
    const DWORD size = GetSize();
    if (size != other.GetSize()) return false;
    return size == 0 || std::memcmp(GetCDataPtr(), other.GetCDataPtr(), size) == 0;
}
