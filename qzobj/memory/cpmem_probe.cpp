// Fault-guarded inspection of block headers.
#include "qzobj/memory/cpmem_probe.h"

#include "qzobj/diag.h"
#include "qzobj/platform/guard.h"

namespace qzo::memory {
namespace {

LONG FilterThroughAnalyse(EXCEPTION_POINTERS* pointers, void*) {
    return AnalyseException(pointers);
}

struct ProbeArgs {
    const tagMEMHEADER* header;
    HeaderView* view;
};

// Leaf code: reads the caller's memory only, holds nothing.
void CopyHeader(void* arg) {
    auto* args = static_cast<ProbeArgs*>(arg);
    const tagMEMHEADER* header = args->header;
    args->view->dwSignature = header->dwSignature;
    args->view->iRef = header->iRef.load(std::memory_order_relaxed);
    args->view->pClassID = header->pClassID;
    args->view->dwAllocSize = header->dwAllocSize;
    args->view->pMalloc = header->pMalloc;
}

}  // namespace

bool ProbeHeader(const tagMEMHEADER* header, HeaderView* view) {
    if (!header || !view) return false;
    ProbeArgs args{header, view};
    return platform::RunGuarded(&CopyHeader, &args, &FilterThroughAnalyse, nullptr);
}

}  // namespace qzo::memory
