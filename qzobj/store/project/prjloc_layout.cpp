// The files of a project folder: "README.TXT", "desktop.ini", the "%08X.ProjectID" file,
// "version.ini", and the lock test through "PRJ.IDS".
#include <cstring>
#include <string>

#include "qzobj/pathkit.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/ini_document.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/path_relation.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/project/prjloc_internal.h"
#include "qzobj/uikit.h"

namespace qzo::store::prjloc {
namespace {

constexpr UINT kReadmeNameString = 2;
constexpr UINT kReadmeResource = 111;
constexpr char kDesktopIni[] =
    "[.ShellClassInfo]\r\nCLSID={5E2A7C10-3B4D-11D2-9F61-00A0C9E3B41A}\r\n";

// Writes a new file; an existing one is kept as it is.
bool WriteNewFile(const std::u16string& path, const void* bytes, size_t size) {
    auto file = platform::File::Open(path.c_str(), GENERIC_WRITE, 0, CREATE_NEW, 0);
    if (!file) return platform::GetLastError() == ERROR_FILE_EXISTS;
    DWORD done = 0;
    bool ok = file->Write(bytes, DWORD(size), done) && done == size;
    ok = file->Close() && ok;
    if (!ok) platform::DeleteFileUnlessOpen(path.c_str());
    return ok;
}

bool AddAttribute(const std::u16string& path, DWORD bit) {
    DWORD attributes = platform::GetFileAttributes(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & bit) return true;
    return platform::SetFileAttributes(path.c_str(),
                                       (attributes | bit) & ~DWORD(FILE_ATTRIBUTE_NORMAL));
}

bool WriteReadme(const std::u16string& folder) {
    WCHAR name[MAX_PATH] = {};
    if (LLoadStringW(platform::ThisModule(), kReadmeNameString, name, MAX_PATH) <= 0) return false;
    const std::u16string path = folder + name;
    if (FU_TestFileExists(path.c_str())) return true;
    size_t size = 0;
    const void* text =
        platform::FindResource(platform::ThisModule(), "TEXTFILE", kReadmeResource, &size);
    return text && WriteNewFile(path, text, size);
}

bool WriteDesktopIni(const std::u16string& folder) {
    const std::u16string path = folder + u"desktop.ini";
    if (!FU_TestFileExists(path.c_str()) &&
        !WriteNewFile(path, kDesktopIni, sizeof kDesktopIni - 1))
        return false;
    return AddAttribute(path, FILE_ATTRIBUTE_HIDDEN);
}

int HexValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// "%x" of a text: leading blanks, an optional "0x", hex digits (at least one) up to the first
// other character; 8 digits at most fit.
bool ParseHex(std::string_view text, DWORD& value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    DWORD result = 0;
    size_t digits = 0;
    for (; i < text.size() && HexValue(WCHAR(text[i])) >= 0 && digits < 8; ++i, ++digits)
        result = (result << 4) | DWORD(HexValue(WCHAR(text[i])));
    if (digits == 0) return false;
    value = result;
    return true;
}

bool SameNameWithoutCase(const WCHAR* a, const WCHAR* b) {
    for (; *a && *b; ++a, ++b)
        if (text::FoldUpper(*a) != text::FoldUpper(*b)) return false;
    return *a == *b;
}

}  // namespace

bool WriteLayout(const std::u16string& folder) {
    bool ok = WriteReadme(folder);
    // The folder's read-only attribute is a marker kept in the attribute word only: it never
    // reaches the folder's permission bits, so files inside it stay writable.
    ok = AddAttribute(folder, FILE_ATTRIBUTE_READONLY) && ok;
    ok = WriteDesktopIni(folder) && ok;
    return ok;
}

bool WriteVersionFile(const std::u16string& folder, DWORD version) {
    const std::u16string path = folder + u"version.ini";
    std::string native;
    if (!platform::ResolvePath(path, native)) return false;
    std::string bytes;
    platform::ReadWholeFile(native, bytes);
    platform::ini::Document document(bytes);
    document.SetValue("VersionInfo", "Version", text::ToUtf8(FormatHex8(version)));
    return platform::ReplaceFileContent(native, document.bytes());
}

DWORD ReadVersionFile(const std::u16string& folder) {
    std::string native, bytes;
    std::string_view value = "00010000";
    if (platform::ResolvePath(folder + u"version.ini", native) &&
        platform::ReadWholeFile(native, bytes)) {
        std::string_view found;
        if (platform::ini::FindValue(bytes, "VersionInfo", "Version", found)) value = found;
    }
    if (value.size() > 8) value = value.substr(0, 8);  // read into 8 characters
    DWORD version = 0;
    return ParseHex(value, version) ? version : PRJLOC_VERSION_OLD;
}

int ReadProjectIDFile(const std::u16string& folder, DWORD& id) {
    WCHAR pattern[MAX_PATH] = {};
    const std::u16string text = folder + u"*.ProjectID";
    if (text.size() >= MAX_PATH) return -1;
    std::memcpy(pattern, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    if (!FU_GetFirstMatch(pattern, 0, 0)) return 0;
    const WCHAR* name = FU_FindFilenameC(pattern);
    if (!name) return -1;
    // The name is the ID: 1 to 8 hex digits, then ".ProjectID".
    DWORD value = 0;
    size_t digits = 0;
    for (; name[digits] && name[digits] != u'.'; ++digits) {
        int digit = HexValue(name[digits]);
        if (digit < 0 || digits >= 8) return -1;
        value = (value << 4) | DWORD(digit);
    }
    if (digits == 0 || !SameNameWithoutCase(name + digits, u".ProjectID")) return -1;
    id = value;
    return 1;
}

std::u16string ProjectIDFileName(const std::u16string& folder, DWORD id) {
    return folder + FormatHex8(id) + u".ProjectID";
}

unsigned TestProjectLock(const std::u16string& folder) {
    const std::u16string idFile = folder + u"PRJ.IDS";
    if (!FU_TestFileExists(idFile.c_str())) return 0;
    CProjUniID generator;
    if (generator.Open(folder.c_str()) != 0) return PRJLOC_BAD_PROJECT;
    unsigned result = generator.LockProject();
    if (result == 0) generator.UnlockProject();
    generator.Close();
    return result;
}

bool ContainsRegisteredProject(const WCHAR* folder, DWORD except) {
    for (const Snapshot& item : TakeSnapshot()) {
        if (item.id == except) continue;
        platform::PathRelation relation = platform::RelatePaths(item.entry->szPath, folder);
        if (relation == platform::PathRelation::kSame ||
            relation == platform::PathRelation::kInside)
            return true;
    }
    return false;
}

}  // namespace qzo::store::prjloc
