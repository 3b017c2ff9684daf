// Module segments on Linux: the loaded program headers of every object the dynamic loader
// knows, walked with dl_iterate_phdr.
#include "qzobj/platform/code_segments.h"

#include <link.h>

#include <cstdint>

namespace qzo::platform {
namespace {

struct SegmentQuery {
    uintptr_t first;
    uintptr_t last;  // inclusive
    SegmentKind kind;
    bool found;
};

bool KindMatches(ElfW(Word) flags, SegmentKind kind) {
    const bool executable = (flags & PF_X) != 0;
    switch (kind) {
        case SegmentKind::kData:
            return !executable && (flags & PF_R) != 0;
        case SegmentKind::kCode:
            return executable;
        case SegmentKind::kAny:
            return true;
    }
    return false;
}

int VisitModule(dl_phdr_info* info, size_t, void* context) {
    auto* query = static_cast<SegmentQuery*>(context);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD || header.p_memsz == 0) continue;
        const uintptr_t start = info->dlpi_addr + header.p_vaddr;
        const uintptr_t end = start + header.p_memsz;  // one past the last byte
        if (query->first >= start && query->last < end &&
            KindMatches(header.p_flags, query->kind)) {
            query->found = true;
            return 1;
        }
    }
    return 0;
}

}  // namespace

bool IsInModuleSegment(const void* address, size_t size, SegmentKind kind) {
    const auto first = reinterpret_cast<uintptr_t>(address);
    if (first == 0 || size == 0 || first + size < first) return false;
    SegmentQuery query{first, first + size - 1, kind, false};
    dl_iterate_phdr(&VisitModule, &query);
    return query.found;
}

}  // namespace qzo::platform
