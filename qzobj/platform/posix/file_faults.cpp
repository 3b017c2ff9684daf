// Process-wide failure injection for the file service.
#include "qzobj/platform/file_faults.h"

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "qzobj/platform/last_error.h"

namespace qzo::platform {
namespace {

std::atomic<int64_t> g_writeBudget{-1};
std::atomic<bool> g_failFlush{false};
std::atomic<bool> g_noExtendedAttributes{false};
std::atomic<IoFault> g_nextRead{IoFault::kNone};
std::atomic<IoFault> g_nextWrite{IoFault::kNone};

// A plain load first keeps the common path (nothing armed) free of a locked exchange.
IoFault Take(std::atomic<IoFault>& slot) {
    if (slot.load(std::memory_order_relaxed) == IoFault::kNone) return IoFault::kNone;
    return slot.exchange(IoFault::kNone);
}

}  // namespace

void SetFileFaults(const FileFaults& faults) {
    g_writeBudget = faults.writeBudget;
    g_failFlush = faults.failFlush;
    g_noExtendedAttributes = faults.noExtendedAttributes;
}

void ClearFileFaults() {
    SetFileFaults(FileFaults{});
    g_nextRead = IoFault::kNone;
    g_nextWrite = IoFault::kNone;
}

void FailNextRead(IoFault fault) {
    g_nextRead = fault;
}
void FailNextWrite(IoFault fault) {
    g_nextWrite = fault;
}

DWORD ErrorOfIoFault(IoFault fault) {
    switch (fault) {
        case IoFault::kIoError:
            return ErrorFromErrno(EIO);
        case IoFault::kNoSpace:
            return ErrorFromErrno(ENOSPC);
        case IoFault::kNone:
            break;
    }
    return ERROR_SUCCESS;
}

IoFault TakeReadFault() {
    return Take(g_nextRead);
}
IoFault TakeWriteFault() {
    return Take(g_nextWrite);
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
