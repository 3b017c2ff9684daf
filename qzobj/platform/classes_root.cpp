// The registry's classes root on the INI engine: one section per key path ('\' separated,
// compared without case), "@" holding the key's default value. A key also exists while one of
// its subkeys does, as parents do in the registry.
#include "qzobj/platform/classes_root.h"

#include <atomic>

#include "qzobj/platform/ini_document.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/profile.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

constexpr std::string_view kDefaultValueName = "@";

std::atomic<ClassesRootFailureHook> g_failureHook{nullptr};

// The section name of a key path: separators become '\', empty components and separators at
// either end are dropped. False (ERROR_INVALID_PARAMETER) when nothing remains or the name
// cannot be stored.
bool SectionOfKey(const WCHAR* keyPath, std::string& section) {
    section.clear();
    for (char c : text::ToUtf8(keyPath)) {
        const bool separator = c == '\\' || c == '/';
        if (!separator) {
            section.push_back(c);
        } else if (!section.empty() && section.back() != '\\') {
            section.push_back('\\');
        }
    }
    if (!section.empty() && section.back() == '\\') section.pop_back();
    if (!IsWritableSectionName(section)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

bool StoreFile(bool forWrite, std::string& native) {
    return ResolveProfileFile(text::ToUtf16(kClassesRootFile), forWrite, native);
}

bool FailureInjected(ClassesRootOperation operation, const WCHAR* keyPath) {
    const ClassesRootFailureHook hook = g_failureHook.load();
    if (hook && hook(operation, keyPath)) {
        SetLastError(ERROR_WRITE_FAULT);
        return true;
    }
    return false;
}

bool IsKeyOrSubkey(std::string_view name, std::string_view key) {
    if (name.size() < key.size() || !ini::NamesEqual(name.substr(0, key.size()), key)) {
        return false;
    }
    return name.size() == key.size() || name[key.size()] == '\\';
}

bool KeyExistsIn(std::string_view document, std::string_view key) {
    ini::LineReader reader(document);
    ini::Line line;
    while (reader.Next(line)) {
        if (line.kind == ini::LineKind::Section && IsKeyOrSubkey(line.name, key)) return true;
    }
    return false;
}

}  // namespace

bool ClassesRootKeyExists(const WCHAR* keyPath) {
    std::string section;
    std::string native;
    std::string document;
    if (!SectionOfKey(keyPath, section) || !StoreFile(false, native)) return false;
    if (ReadProfileDocument(native, document) && KeyExistsIn(document, section)) return true;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
}

bool ClassesRootCreateKey(const WCHAR* keyPath, bool* created) {
    if (created) *created = false;
    std::string section;
    std::string native;
    if (!SectionOfKey(keyPath, section) ||
        FailureInjected(ClassesRootOperation::CreateKey, keyPath) || !StoreFile(true, native)) {
        return false;
    }
    bool added = false;
    const bool done = EditProfileFile(native, [&](ini::Document& document) {
        if (KeyExistsIn(document.bytes(), section)) return false;
        added = document.AddSection(section);
        return added;
    });
    if (created) *created = done && added;
    return done;
}

bool ClassesRootSetDefaultValue(const WCHAR* keyPath, const WCHAR* value) {
    std::string section;
    std::string native;
    const std::string valueUtf8 = text::ToUtf8(value);
    if (!SectionOfKey(keyPath, section)) return false;
    if (!IsWritableValue(valueUtf8)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (FailureInjected(ClassesRootOperation::SetValue, keyPath) || !StoreFile(true, native)) {
        return false;
    }
    bool missing = false;
    const bool done = EditProfileFile(native, [&](ini::Document& document) {
        missing = !KeyExistsIn(document.bytes(), section);
        return !missing &&
               document.SetValue(section, kDefaultValueName, ini::QuoteForStorage(valueUtf8));
    });
    if (done && missing) SetLastError(ERROR_FILE_NOT_FOUND);
    return done && !missing;
}

bool ClassesRootGetDefaultValue(const WCHAR* keyPath, std::u16string& value) {
    std::string section;
    std::string native;
    std::string found;
    if (!SectionOfKey(keyPath, section) || !StoreFile(false, native)) return false;
    if (!ReadProfileValue(native, section, kDefaultValueName, found)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    value = text::ToUtf16(found);
    return true;
}

bool ClassesRootDeleteKey(const WCHAR* keyPath) {
    std::string section;
    std::string native;
    if (!SectionOfKey(keyPath, section) ||
        FailureInjected(ClassesRootOperation::DeleteKey, keyPath) || !StoreFile(true, native)) {
        return false;
    }
    bool found = false;
    const bool done = EditProfileFile(native, [&](ini::Document& document) {
        for (const std::string& name : document.SectionNames()) {
            if (IsKeyOrSubkey(name, section)) found |= document.DeleteSection(name);
        }
        return found;
    });
    if (done && !found) SetLastError(ERROR_FILE_NOT_FOUND);
    return done && found;
}

void SetClassesRootFailureHook(ClassesRootFailureHook hook) {
    g_failureHook.store(hook);
}

}  // namespace qzo::platform
