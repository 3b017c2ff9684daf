// The private-profile functions on files: locating the file, decoding UTF-8 or UTF-16LE text,
// copying results with Windows truncation rules, and locked read-edit-replace writes.
#include "qzobj/platform/profile.h"

#include <algorithm>
#include <cstring>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"
#include "qzobj/platform/windir.h"

namespace qzo::platform {
namespace {

constexpr std::string_view kUtf16Mark = "\xFF\xFE";

template <class Char>
bool IsBareName(std::basic_string_view<Char> name) {
    return std::none_of(name.begin(), name.end(), [](Char c) { return IsSeparator(c); });
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != text.npos;
}

bool IsUtf16Text(std::string_view raw) {
    return raw.starts_with(kUtf16Mark);
}

// UTF-16LE bytes after the byte-order mark, as UTF-8. An odd last byte is ignored.
std::string DecodeUtf16(std::string_view raw) {
    std::u16string units((raw.size() - kUtf16Mark.size()) / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
        const auto low = static_cast<unsigned char>(raw[kUtf16Mark.size() + 2 * i]);
        const auto high = static_cast<unsigned char>(raw[kUtf16Mark.size() + 2 * i + 1]);
        units[i] = static_cast<WCHAR>(low | (high << 8));
    }
    return text::ToUtf8(units);
}

std::string EncodeUtf16(std::string_view utf8) {
    const std::u16string units = text::ToUtf16(utf8);
    std::string raw(kUtf16Mark);
    raw.reserve(raw.size() + 2 * units.size());
    for (WCHAR unit : units) {
        raw.push_back(static_cast<char>(unit & 0xFF));
        raw.push_back(static_cast<char>(unit >> 8));
    }
    return raw;
}

// Reads a file's text into per-thread buffers (readers run often; the buffers keep their
// capacity) and returns a view that stays valid until this thread's next read.
bool ReadFileText(const std::string& native, std::string_view& text) {
    thread_local std::string raw;
    thread_local std::string decoded;
    if (!ReadWholeFile(native, raw)) return false;
    if (IsUtf16Text(raw)) {
        decoded = DecodeUtf16(raw);
        text = decoded;
    } else {
        text = raw;
    }
    return true;
}

// Loads a profile for reading. A bare name is tried first at its exact spelling in the Windows
// directory, which costs one open; only when that misses is the name looked up without case.
bool LoadProfileText(std::string_view fileUtf8, std::string_view& text) {
    thread_local std::string native;
    const bool bare = IsBareName(fileUtf8);
    if (bare) {
        native = WindowsDirectoryNative();
        if (native.empty()) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        native.push_back('/');
        native.append(fileUtf8);
        if (ReadFileText(native, text)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    }
    if (!ResolveProfileFile(text::ToUtf16(fileUtf8), false, native)) return false;
    return ReadFileText(native, text);
}

// Copies at most size-1 bytes and terminates, never splitting a UTF-8 sequence.
DWORD CopyResult(std::string_view value, char* out, DWORD size) {
    size_t count = std::min<size_t>(value.size(), size - 1);
    if (count < value.size()) {
        while (count > 0 && (static_cast<unsigned char>(value[count]) & 0xC0) == 0x80) --count;
    }
    std::memcpy(out, value.data(), count);
    out[count] = '\0';
    return static_cast<DWORD>(count);
}

// Copies at most size-1 units and terminates, never splitting a surrogate pair.
DWORD CopyResult(std::u16string_view value, WCHAR* out, DWORD size) {
    size_t count = std::min<size_t>(value.size(), size - 1);
    if (count < value.size() && count > 0 && value[count] >= 0xDC00 && value[count] <= 0xDFFF) {
        --count;
    }
    std::copy_n(value.data(), count, out);
    out[count] = u'\0';
    return static_cast<DWORD>(count);
}

// Copies a list of terminated names and adds the final terminator. A list that does not fit
// is cut, ends with two terminators, and size-2 is returned.
template <class Char>
DWORD CopyList(std::basic_string_view<Char> list, Char* out, DWORD size) {
    if (list.size() + 1 <= size) {
        std::copy_n(list.data(), list.size(), out);
        out[list.size()] = Char(0);
        if (list.empty() && size >= 2) out[1] = Char(0);  // an empty list is "\0\0" too
        return static_cast<DWORD>(list.size());
    }
    if (size == 1) {
        out[0] = Char(0);
        return 0;
    }
    std::copy_n(list.data(), size - 2, out);
    out[size - 2] = Char(0);
    out[size - 1] = Char(0);
    return size - 2;
}

// The lookup shared by the narrow and wide readers. Returns the value, the list, or the default
// in `result`, which may view the per-thread file buffer.
void LookUp(const char* section, const char* key, std::string_view def, std::string_view file,
            std::string_view& result, std::string& list) {
    std::string_view text;
    const bool loaded = !file.empty() && LoadProfileText(file, text);
    if (!section || !key) {
        if (loaded && !section) ini::ListSections(text, list);
        if (loaded && section) ini::ListKeys(text, section, list);
        result = list;
        return;
    }
    if (loaded && ini::FindValue(text, section, key, result)) {
        SetLastError(ERROR_SUCCESS);
        return;
    }
    if (loaded) SetLastError(ERROR_FILE_NOT_FOUND);
    result = def;
}

BOOL Write(std::string_view section, const char* key, const char* value, std::u16string_view file) {
    const bool valid = !file.empty() && IsWritableSectionName(section) &&
                       (!key || IsWritableKeyName(key)) && (!value || IsWritableValue(value));
    if (!valid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string native;
    if (!ResolveProfileFile(file, true, native)) return FALSE;
    return EditProfileFile(native, [&](ini::Document& document) {
        if (!key) return document.DeleteSection(section);
        if (!value) return document.DeleteKey(section, key);
        return document.SetValue(section, key, value);
    });
}

}  // namespace

bool ResolveProfileFile(std::u16string_view file, bool forWrite, std::string& native) {
    if (file.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!IsBareName(file)) return ResolvePath(file, native);
    if (forWrite && !EnsureWindowsDirectory()) return false;
    const std::string directory = WindowsDirectoryNative();
    if (directory.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::u16string full = FromNativePath(directory);
    full.push_back(u'/');
    full.append(file);
    return ResolvePath(full, native);
}

bool IsWritableSectionName(std::string_view section) {
    return !section.empty() && section.find(']') == section.npos && !HasLineBreak(section) &&
           ini::Trim(section).size() == section.size();
}

bool IsWritableKeyName(std::string_view key) {
    return !key.empty() && key.find('=') == key.npos && !HasLineBreak(key) &&
           ini::Trim(key).size() == key.size() && key.front() != ';' && key.front() != '#' &&
           key.front() != '[';
}

bool IsWritableValue(std::string_view value) {
    return !HasLineBreak(value);
}

bool ReadProfileValue(const std::string& native, std::string_view section, std::string_view key,
                      std::string& value) {
    std::string_view text;
    std::string_view found;
    if (!ReadFileText(native, text) || !ini::FindValue(text, section, key, found)) return false;
    value.assign(found);
    return true;
}

bool ReadProfileDocument(const std::string& native, std::string& text) {
    std::string_view view;
    if (!ReadFileText(native, view)) {
        text.clear();
        return false;
    }
    text.assign(view);
    return true;
}

bool EditProfileFile(const std::string& native, const std::function<bool(ini::Document&)>& edit) {
    FileLock lock(native + ".lck");
    if (!lock.held()) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::string raw;
    if (!ReadWholeFile(native, raw)) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
        raw.clear();
    }
    const bool utf16 = IsUtf16Text(raw);
    ini::Document document(utf16 ? DecodeUtf16(raw) : std::move(raw));
    if (edit(document)) {
        const bool written = utf16 ? ReplaceFileContent(native, EncodeUtf16(document.bytes()))
                                   : ReplaceFileContent(native, document.bytes());
        if (!written) return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                               DWORD size, const char* file) {
    if (!out || size == 0) return 0;
    std::string list;
    std::string_view result;
    LookUp(section, key, def ? def : "", file ? file : "", result, list);
    if (!section || !key) return CopyList(result, out, size);
    return CopyResult(result, out, size);
}

DWORD GetPrivateProfileStringW(const WCHAR* section, const WCHAR* key, const WCHAR* def, WCHAR* out,
                               DWORD size, const WCHAR* file) {
    if (!out || size == 0) return 0;
    const std::string sectionUtf8 = text::ToUtf8(section);
    const std::string keyUtf8 = text::ToUtf8(key);
    const std::string defUtf8 = text::ToUtf8(def);
    const std::string fileUtf8 = text::ToUtf8(file);
    std::string list;
    std::string_view result;
    LookUp(section ? sectionUtf8.c_str() : nullptr, key ? keyUtf8.c_str() : nullptr, defUtf8,
           fileUtf8, result, list);
    const std::u16string wide = text::ToUtf16(result);
    if (!section || !key) return CopyList(std::u16string_view(wide), out, size);
    return CopyResult(wide, out, size);
}

BOOL WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* file) {
    if (!section || !file) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Write(section, key, value, text::ToUtf16(file));
}

BOOL WritePrivateProfileStringW(const WCHAR* section, const WCHAR* key, const WCHAR* value,
                                const WCHAR* file) {
    if (!section || !file) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string keyUtf8 = text::ToUtf8(key);
    const std::string valueUtf8 = text::ToUtf8(value);
    return Write(text::ToUtf8(section), key ? keyUtf8.c_str() : nullptr,
                 value ? valueUtf8.c_str() : nullptr,
                 std::u16string_view(file, text::Length(file)));
}

}  // namespace qzo::platform
