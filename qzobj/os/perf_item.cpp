// CBasePerfItem: the accumulated time and number of many events, added from any thread.
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/perf.h"
#include "qzobj/platform/system.h"
#include "qzobj/uikit.h"

namespace {

constexpr int kChannel = 0;
constexpr int kLevel = 15;
constexpr size_t kNameShown = 23;

// Read once while the library loads; the counter's rate never changes.
const ULONGLONG g_frequency = qzo::platform::QueryPerformanceFrequency();

}  // namespace

ULONGLONG CBasePerfItem::GetCount() {
    return qzo::platform::QueryPerformanceCounter();
}

ULONGLONG CBasePerfItem::GetFrequency() {
    return g_frequency ? g_frequency : qzo::platform::QueryPerformanceFrequency();
}

void CBasePerfItem::Lapse(ULONGLONG start) {
    const ULONGLONG now = GetCount();
    // A start taken "after" now (a caller's stale or made-up value) adds nothing.
    m_llCounts.fetch_add(now > start ? now - start : 0, std::memory_order_relaxed);
    m_uEvents.fetch_add(1, std::memory_order_relaxed);
}

double CBasePerfItem::GetAverageMs() const {
    const DWORD events = GetEvents();
    const ULONGLONG frequency = GetFrequency();
    if (events == 0 || frequency == 0) return 0.0;
    return double(GetCounts()) * 1000.0 / (double(events) * double(frequency));
}

void CBasePerfItem::Dump(const char* name) const {
    if (!IsDebugOn()) return;
    char shown[kNameShown + 1] = {};
    if (name) std::strncpy(shown, name, kNameShown);
    wPrintf(kChannel, kLevel, u"\r%-24hs [%10u events]: %f ms\r\n", shown, GetEvents(),
            GetAverageMs());
}

void CBasePerfItem::Clear() {
    m_llCounts.store(0, std::memory_order_relaxed);
    m_uEvents.store(0, std::memory_order_relaxed);
}
