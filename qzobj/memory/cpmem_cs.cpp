// CPMemoryCS: a memory block whose critical section is shared by every handle to the block.
#include "qzobj/memblock.h"
#include "qzobj/os.h"

namespace {

// The entries the calling thread holds on a section (0 when another thread or nobody holds it).
DWORD HoldsOfCallingThread(const CSharedCriticalSection* section) {
    return section && section->IsOwnedByCurrentThread() ? section->GetLockCount() : 0;
}

}  // namespace

const char* CPMemoryCS::GetClassID() const {
    return classidCPMemoryCS;
}

CPMemoryCS::CPMemoryCS(const CPMemoryCS& source) : CPMemory() {
    *this = source;
}

CPMemoryCS& CPMemoryCS::operator=(const CPMemoryCS& source) {
    if (this == &source) return *this;
    CSharedCriticalSection* const sourceSection = source.pCS;
    if (sourceSection) sourceSection->Lock();
    CSharedCriticalSection* const oldSection = pCS;
    pCS = nullptr;
    CopyCPMemory(source);
    if (pMH) {
        pCS = sourceSection;
    } else if (sourceSection) {
        sourceSection->Destroy();
    }
    if (oldSection) oldSection->Destroy();
    return *this;
}

CPMemoryCS::~CPMemoryCS() {
    Free();
}

BOOL CPMemoryCS::Alloc(DWORD size, DWORD heapFlags) {
    Free();
    pCS = CSharedCriticalSection::Create();
    if (!pCS) return 0;
    if (CPMemory::Alloc(size, heapFlags)) return 1;
    pCS->Destroy();
    pCS = nullptr;
    return 0;
}

BOOL CPMemoryCS::Free() {
    if (pCS) {
        CSharedCriticalSection* const section = pCS;
        pCS = nullptr;
        section->Destroy();
    }
    return CPMemory::Free();
}

BOOL CPMemoryCS::Realloc(DWORD size, DWORD heapFlags, BOOL forceNew) {
    if (!pCS) return 0;
    if (size == 0) return Free();
    const tagMEMHEADER* const before = pMH;
    // Created up front so that a handle that moves always finds its new section.
    CSharedCriticalSection* fresh = CSharedCriticalSection::Create();
    if (!fresh) return 0;
    const BOOL resized = CPMemory::Realloc(size, heapFlags, forceNew);
    if (!resized || pMH == before) {
        // The block stayed: every handle to it still shares the old section.
        fresh->Destroy();
        return resized;
    }
    // The handle moved to a block of its own. It takes a new section, held as often as the
    // calling thread held the old one, so that Enter, Realloc, Leave stays balanced.
    CSharedCriticalSection* const old = pCS;
    const DWORD holds = HoldsOfCallingThread(old);
    for (DWORD i = 0; i < holds; ++i) fresh->Enter(__builtin_return_address(0));
    for (DWORD i = 0; i < holds; ++i) old->Leave();
    pCS = fresh;
    old->Destroy();
    return resized;
}

void CPMemoryCS::Enter() {
    if (pCS) pCS->Enter(__builtin_return_address(0));
}

void CPMemoryCS::Leave() {
    if (pCS) pCS->Leave();
}
