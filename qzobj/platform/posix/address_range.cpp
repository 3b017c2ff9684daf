// Reserved address ranges on mmap: a PROT_NONE mapping holds the address space, mprotect
// commits pages of it (anonymous private pages read as zero when first touched).
#include "qzobj/platform/address_range.h"

#include <sys/mman.h>

namespace qzo::platform {

void* ReserveAddressRange(size_t size) {
    if (size == 0) return nullptr;
    void* base = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return base == MAP_FAILED ? nullptr : base;
}

bool CommitAddressRange(void* base, size_t size) {
    return base && mprotect(base, size, PROT_READ | PROT_WRITE) == 0;
}

void ReleaseAddressRange(void* base, size_t size) {
    if (base && size) munmap(base, size);
}

}  // namespace qzo::platform
