// CSetFile: string, integer and boolean settings in a private-profile file. Values are stored
// as UTF-8 text (quoted when blanks or quotes at their ends would otherwise be lost), integers
// in decimal and booleans as "1" or "0".
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "qzobj/inistore.h"
#include "qzobj/platform/ini_document.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/profile.h"
#include "qzobj/platform/text.h"

namespace {

using qzo::platform::SetLastError;

bool HasName(const char* name) {
    return name && *name;
}

// Reads the raw value; fails for a missing or empty value.
bool ReadValue(const std::u16string& path, const char* section, const char* key,
               std::string& value) {
    std::string native;
    if (!HasName(section) || !HasName(key)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!qzo::platform::ResolveProfileFile(path, false, native) ||
        !qzo::platform::ReadProfileValue(native, section, key, value)) {
        return false;
    }
    if (value.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

bool WriteValue(const std::u16string& path, const char* section, const char* key,
                std::string_view value) {
    namespace platform = qzo::platform;
    if (!section || !key || !platform::IsWritableSectionName(section) ||
        !platform::IsWritableKeyName(key) || !platform::IsWritableValue(value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string native;
    if (!platform::ResolveProfileFile(path, true, native)) return false;
    const std::string stored = platform::ini::QuoteForStorage(value);
    return platform::EditProfileFile(native, [&](platform::ini::Document& document) {
        return document.SetValue(section, key, stored);
    });
}

// Decimal text with an optional sign and nothing else; false when it does not fit 32 bits.
bool ParseDecimal(std::string_view text, int32_t& value) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    int64_t magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > int64_t(INT32_MAX) + 1) return false;
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) return false;
    value = static_cast<int32_t>(signedValue);
    return true;
}

bool ParseBool(std::string_view text, BOOL& value) {
    constexpr std::array<std::string_view, 3> kTrue = {"1", "true", "yes"};
    constexpr std::array<std::string_view, 3> kFalse = {"0", "false", "no"};
    for (size_t i = 0; i < kTrue.size(); ++i) {
        if (qzo::platform::ini::NamesEqual(text, kTrue[i])) {
            value = TRUE;
            return true;
        }
        if (qzo::platform::ini::NamesEqual(text, kFalse[i])) {
            value = FALSE;
            return true;
        }
    }
    return false;
}

}  // namespace

CSetFile::CSetFile(const WCHAR* path) {
    if (path) m_path.assign(path, qzo::text::BoundedLength(path, MAX_PATH));
}

CSetFile::~CSetFile() = default;

BOOL CSetFile::IsValid() const {
    return !m_path.empty() && m_path.size() < MAX_PATH;
}

BOOL CSetFile::ReadSettingString(const char* section, const char* key, WCHAR* buffer, UINT size) {
    std::string value;
    if (!buffer || size == 0 || !IsValid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ReadValue(m_path, section, key, value)) return FALSE;
    qzo::text::Copy(buffer, size, qzo::text::ToUtf16(value));
    return TRUE;
}

BOOL CSetFile::WriteSettingString(const char* section, const char* key, const WCHAR* text) {
    if (!text || !IsValid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WriteValue(m_path, section, key, qzo::text::ToUtf8(text)) ? TRUE : FALSE;
}

BOOL CSetFile::ReadSettingInt(const char* section, const char* key, int32_t* value) {
    std::string text;
    int32_t parsed = 0;
    if (!value || !IsValid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ReadValue(m_path, section, key, text)) return FALSE;
    if (!ParseDecimal(text, parsed)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *value = parsed;
    return TRUE;
}

BOOL CSetFile::WriteSettingInt(const char* section, const char* key, int32_t value) {
    if (!IsValid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WriteValue(m_path, section, key, std::to_string(value)) ? TRUE : FALSE;
}

BOOL CSetFile::ReadSettingBool(const char* section, const char* key, BOOL* value) {
    std::string text;
    BOOL parsed = FALSE;
    if (!value || !IsValid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ReadValue(m_path, section, key, text)) return FALSE;
    if (!ParseBool(text, parsed)) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    *value = parsed;
    return TRUE;
}

BOOL CSetFile::WriteSettingBool(const char* section, const char* key, BOOL value) {
    if (!IsValid()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WriteValue(m_path, section, key, value ? "1" : "0") ? TRUE : FALSE;
}
