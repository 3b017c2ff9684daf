// CSetFile: the host's settings file, string, integer and boolean values under a section and a
// key, kept in the private-profile format. Section and key names are narrow; values are wide.
// Instances may be shared by threads: every call opens, reads or rewrites the file under the
// profile engine's inter-process lock.
#pragma once

#include <string>

#include "qzobj/types.h"

class QZOBJ_API CSetFile {
public:
    // Binds to a file path; the file is created by the first write.
    explicit CSetFile(const WCHAR* path);
    ~CSetFile();
    CSetFile(const CSetFile&) = delete;
    CSetFile& operator=(const CSetFile&) = delete;

    // False when the path is null, empty or too long.
    BOOL IsValid() const;

    // Each returns non-zero on success; a read fails when the key is missing or empty.
    BOOL ReadSettingString(const char* section, const char* key, WCHAR* buffer, UINT size);
    BOOL WriteSettingString(const char* section, const char* key, const WCHAR* text);
    BOOL ReadSettingInt(const char* section, const char* key, int32_t* value);
    BOOL WriteSettingInt(const char* section, const char* key, int32_t value);
    BOOL ReadSettingBool(const char* section, const char* key, BOOL* value);
    BOOL WriteSettingBool(const char* section, const char* key, BOOL value);

private:
    std::u16string m_path;
};
