// CPerfInfoBase and CPerfInfo: lap and total timing of a named activity.
#include "qzobj/diag.h"
#include "qzobj/perf.h"
#include "qzobj/platform/system.h"
#include "qzobj/platform/text.h"
#include "qzobj/uikit.h"

namespace {

constexpr int kChannel = 3;
constexpr int kLevel = 6;

}  // namespace

CPerfInfoBase::CPerfInfoBase(const WCHAR* name)
    : m_llFrequency(qzo::platform::QueryPerformanceFrequency()),
      m_llStart(0),
      m_llLapStart(0),
      m_szName{} {
    qzo::text::Copy(m_szName, kNameLength, name);
    Reset();
}

CPerfInfoBase::~CPerfInfoBase() = default;

void CPerfInfoBase::Reset() {
    // The counter is nanoseconds since boot: never 0, so 0 stays free to mean "closed".
    m_llStart = m_llLapStart = qzo::platform::QueryPerformanceCounter();
}

double CPerfInfoBase::Milliseconds(ULONGLONG counts) const {
    return m_llFrequency == 0 ? 0.0 : double(counts) * 1000.0 / double(m_llFrequency);
}

void CPerfInfoBase::Lapse(const WCHAR* label, DWORD thresholdMs) {
    if (m_llStart == 0) return;
    const ULONGLONG now = qzo::platform::QueryPerformanceCounter();
    const double lap = Milliseconds(now - m_llLapStart);
    if (lap >= double(thresholdMs) && IsDebugOn()) {
        const double total = Milliseconds(now - m_llStart);
        wPrintf(kChannel, kLevel, u"\r%s::%s Lap=%fms, Total=%fms\r\n", m_szName,
                label ? label : u"", lap, total);
    }
    m_llLapStart = now;
}

void CPerfInfoBase::Close(const WCHAR* label, DWORD thresholdMs) {
    if (m_llStart == 0) return;
    const double total = Milliseconds(qzo::platform::QueryPerformanceCounter() - m_llStart);
    if (total >= double(thresholdMs)) Lapse(label, 0);
    m_llStart = 0;
}

CPerfInfo::~CPerfInfo() {
    Close(nullptr, 0);
}
