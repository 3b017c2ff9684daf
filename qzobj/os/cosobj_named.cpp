// CNamedOSObject: the process-wide count of named objects and the default names drawn from it.
#include <atomic>

#include "qzobj/waitobj.h"

namespace {

// Each constructor's own increment gives it its number, so two threads constructing at once
// always get different numbers, and therefore different default names and different objects.
std::atomic<DWORD> g_namedObjectCount{0};

constexpr WCHAR kDefaultNamePrefix[] = u"CNamedOSObject";

// Writes `prefix` and the decimal `number` to `out` (room for the prefix and 10 digits).
void FormatDefaultName(DWORD number, WCHAR* out) {
    WCHAR* end = out;
    for (const WCHAR* p = kDefaultNamePrefix; *p; ++p) *end++ = *p;
    WCHAR digits[10];
    int used = 0;
    do {
        digits[used++] = static_cast<WCHAR>(u'0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (used > 0) *end++ = digits[--used];
    *end = 0;
}

}  // namespace

CNamedOSObject::CNamedOSObject()
    : m_dwObjectNumber(g_namedObjectCount.fetch_add(1, std::memory_order_relaxed) + 1) {
    static_assert(sizeof(kDefaultNamePrefix) / sizeof(WCHAR) - 1 + 10 < 32);
    FormatDefaultName(m_dwObjectNumber, m_szDefaultName);
}

DWORD CNamedOSObject::GetObjectCount() {
    return g_namedObjectCount.load(std::memory_order_relaxed);
}
