// Small process helpers: the A..P hex code, the byte-wise atomic swap, the current file time
// and the system platform flag.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "qzobj/platform/guard.h"
#include "qzobj/process.h"

namespace {

// Each nibble is the letter "A" + its value, so a code holds only "A".."P".
constexpr WCHAR kFirstCode = u'A';
constexpr WCHAR kLastCode = u'P';

bool Overlap(const BYTE* a, const BYTE* b, DWORD count) {
    const auto x = reinterpret_cast<uintptr_t>(a);
    const auto y = reinterpret_cast<uintptr_t>(b);
    return x < y + count && y < x + count;
}

int NibbleOf(WCHAR code) {
    return (code >= kFirstCode && code <= kLastCode) ? int(code - kFirstCode) : -1;
}

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ull;

}  // namespace

int SwapNOMemory(void* a, void* b, DWORD count) {
    if (count == 0 || a == b) return 1;
    auto* x = static_cast<BYTE*>(a);
    auto* y = static_cast<BYTE*>(b);
    if (!x || !y || Overlap(x, y, count)) return 0;
    // Unreadable or read-only memory ends the swap as a failure rather than the process; the
    // bytes exchanged before the fault stay exchanged.
    auto swap = [x, y, count] {
        for (DWORD i = 0; i < count; ++i) {
            const BYTE old = std::atomic_ref<BYTE>(x[i]).exchange(y[i]);
            std::atomic_ref<BYTE>(y[i]).exchange(old);
        }
    };
    return qzo::platform::Guarded(swap, nullptr) ? 1 : 0;
}

int Bin2HexCode(WCHAR* text, const BYTE* bytes, DWORD count) {
    if (!text || (!bytes && count != 0)) return 0;
    for (DWORD i = 0; i < count; ++i) {
        *text++ = WCHAR(kFirstCode + (bytes[i] & 0x0F));
        *text++ = WCHAR(kFirstCode + (bytes[i] >> 4));
    }
    *text = 0;
    return 1;
}

int HexCode2Bin(BYTE* bytes, const WCHAR* text, DWORD count) {
    if (!bytes || !text) return 0;
    for (DWORD i = 0; i < count; ++i) {
        const int low = NibbleOf(text[0]);
        if (low < 0) return 0;  // the end of the text or a character outside the code
        const int high = NibbleOf(text[1]);
        if (high < 0) return 0;
        bytes[i] = BYTE(low | (high << 4));
        text += 2;
    }
    return 1;
}

int IsNTSystem() {
    return 1;
}

int GetCurrentFileTime(FILETIME* fileTime) {
    if (!fileTime) return 0;
    using namespace std::chrono;
    const auto since1970 =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    if (since1970 < 0) return 0;
    const ULONGLONG value = kUnixEpochAsFileTime + ULONGLONG(since1970) / 100;
    fileTime->dwLowDateTime = DWORD(value & 0xFFFFFFFFu);
    fileTime->dwHighDateTime = DWORD(value >> 32);
    return 1;
}
