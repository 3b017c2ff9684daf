// The library's tuning values in "QZO.INI": integers read and written through the
// private-profile functions, the file named bare so that it lies in the Windows directory.
#include <cstdint>
#include <cstdio>

#include "qzobj/frame.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/profile.h"

namespace {

constexpr char kProfileFile[] = "QZO.INI";
constexpr DWORD kValueCharacters = 32;

bool HasName(const char* name) {
    return name && *name;
}

// Leading blanks, an optional sign, then digits up to the first non-digit; no digits give 0.
// Values beyond 32 bits clamp to the nearest limit.
int32_t ParseProfileInt(const char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    int64_t magnitude = 0;
    constexpr int64_t kLimit = int64_t(INT32_MAX) + 1;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

}  // namespace

int32_t QZOBJ_GetProfileInt(const char* section, const char* key, int32_t def,
                            BOOL writeIfMissing) {
    if (!HasName(section) || !HasName(key)) return def;
    char text[kValueCharacters];
    qzo::platform::GetPrivateProfileStringA(section, key, "", text, kValueCharacters, kProfileFile);
    if (text[0] != '\0') return ParseProfileInt(text);
    if (writeIfMissing) QZOBJ_WriteProfileInt(section, key, def);
    return def;
}

BOOL QZOBJ_WriteProfileInt(const char* section, const char* key, int32_t value) {
    if (!HasName(section) || !HasName(key)) {
        qzo::platform::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    return qzo::platform::WritePrivateProfileStringA(section, key, text, kProfileFile);
}
