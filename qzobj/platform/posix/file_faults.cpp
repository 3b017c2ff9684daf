// Process-wide failure injection for the file service.
#include "qzobj/platform/file_faults.h"

#include <algorithm>
#include <atomic>

namespace qzo::platform {
namespace {

std::atomic<int64_t> g_writeBudget{-1};
std::atomic<bool> g_failFlush{false};
std::atomic<bool> g_noExtendedAttributes{false};

}  // namespace

void SetFileFaults(const FileFaults& faults) {
    g_writeBudget = faults.writeBudget;
    g_failFlush = faults.failFlush;
    g_noExtendedAttributes = faults.noExtendedAttributes;
}

void ClearFileFaults() {
    SetFileFaults(FileFaults{});
}

uint32_t TakeWriteBudget(uint32_t wanted) {
    int64_t budget = g_writeBudget.load();
    for (;;) {
        if (budget < 0) return wanted;
        int64_t granted = std::min<int64_t>(budget, wanted);
        if (g_writeBudget.compare_exchange_weak(budget, budget - granted))
            return static_cast<uint32_t>(granted);
    }
}

bool FlushFaultActive() {
    return g_failFlush.load();
}
bool ExtendedAttributesDisabled() {
    return g_noExtendedAttributes.load();
}

}  // namespace qzo::platform
