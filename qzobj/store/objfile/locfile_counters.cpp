// The eleven process-wide counters that time LocFile's operations, and their report when the
// library is unloaded.
#include "qzobj/diag.h"
#include "qzobj/store/objfile/locfile.h"
#include "qzobj/uikit.h"

namespace qzo::store {
namespace {

constexpr size_t kCounters = static_cast<size_t>(LocFileCounter::kCount);
constexpr int kChannel = 0;
constexpr int kLevel = 15;

constexpr const char* kNames[kCounters] = {"Create", "OpenRW",    "OpenR",     "Write",
                                           "Read",   "Close",     "FilePtr",   "AccessInfo",
                                           "Lock",   "LastWrite", "Attributes"};

// Made once and never destroyed: files closed by static destructors still find them.
CBasePerfItem* Items() {
    static CBasePerfItem* items = new CBasePerfItem[kCounters];
    return items;
}

}  // namespace

CBasePerfItem& LocFileCounterItem(LocFileCounter counter) {
    return Items()[static_cast<size_t>(counter)];
}

const char* LocFileCounterName(LocFileCounter counter) {
    const size_t index = static_cast<size_t>(counter);
    return index < kCounters ? kNames[index] : "";
}

bool AttachLocFileCounters() {
    Items();
    return true;
}

void ReportLocFileCounters() {
    if (IsDebugOn()) wPrintf(kChannel, kLevel, u"\rLocFile::Performance\r\n");
    for (size_t i = 0; i < kCounters; ++i) Items()[i].Dump(kNames[i]);
}

}  // namespace qzo::store
