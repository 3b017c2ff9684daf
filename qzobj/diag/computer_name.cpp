// The computer's name and identifier: the process-wide name, made up from the clock when the
// computer has none, and its hash identifier cached for the life of the process.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "qzobj/hashid.h"
#include "qzobj/platform/computer_name.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"

namespace {

constexpr DWORD kNameCapacity = 16;  // 15 characters and the terminator

// Cached identifier; QZO_NO_HASHID until first computed. Computing twice gives the same value,
// so a race between two first callers is harmless.
std::atomic<DWORD> g_computerID{QZO_NO_HASHID};

// "ZORB" + years since 1996, month, day and seconds since midnight, all of the UTC clock.
std::u16string MadeUpName() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto today = floor<days>(now);
    const year_month_day date{today};
    const auto seconds = duration_cast<std::chrono::seconds>(now - today).count();
    char text[32] = {};
    std::snprintf(text, sizeof text, "ZORB%02u%02u%02u%u", unsigned(int(date.year()) - 1996),
                  unsigned(date.month()), unsigned(date.day()), unsigned(seconds));
    return qzo::text::ToUtf16(text);
}

std::u16string UpperAndBounded(std::u16string name) {
    if (name.size() > kNameCapacity - 1) name.resize(kNameCapacity - 1);
    for (char16_t& c : name) c = qzo::text::FoldUpper(c);
    return name;
}

}  // namespace

int GetCreateComputerName(WCHAR* name, DWORD capacity) {
    if (!name || capacity < kNameCapacity) return 0;
    std::u16string current = UpperAndBounded(qzo::platform::ProcessComputerName());
    if (current.empty()) {
        // One attempt: setting the process-wide name cannot fail for a name of this form.
        current = UpperAndBounded(MadeUpName());
        qzo::platform::SetProcessComputerName(current);
    }
    qzo::text::Copy(name, capacity, current);
    return 1;
}

DWORD GetComputerID() {
    DWORD id = g_computerID.load(std::memory_order_acquire);
    if (id != QZO_NO_HASHID) return id;
    WCHAR name[kNameCapacity] = {};
    if (!GetCreateComputerName(name, kNameCapacity)) return QZO_NO_HASHID;
    id = GetHashIDW(name);
    g_computerID.store(id, std::memory_order_release);
    return id;
}
