// The code verbs: `qzo hash` (the hash identifiers of names, as they appear in dumps, chunk
// headers and heritage records) and `qzo location` (a location's five fields from its 40-letter
// text, from an object file's header, or back from the fields).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "qzobj/hashid.h"
#include "qzobj/location.h"
#include "verbs.h"

namespace qzo::tool {
namespace {

constexpr char kHashUsage[] =
    "usage: qzo hash NAME...\n"
    "Prints the hash identifiers of each name: GetHashID (narrow, the chunk and class ID),\n"
    "GetHashIDi (narrow, case folded), GetHashIDW and GetHashIDTWi (UTF-16, as is and folded),\n"
    "and the class ID as heritage records store it (bits 0xFC00 set).\n"
    "Exit status: 0 printed, 2 bad usage.\n";

constexpr char kLocationUsage[] =
    "usage: qzo location TEXT\n"
    "       qzo location --from-file OBJECTFILE\n"
    "       qzo location HASHID OBJID PROJID DATAID FLAGS   (hexadecimal)\n"
    "Prints a location's five fields and its 40-letter text form: from the text, from the header\n"
    "of an object file (\"FOZQ\" at offset 0, the location at offset 8), or from the fields.\n"
    "Exit status: 0 printed, 1 the text or file holds no location, 2 bad usage.\n";

// UTF-8 to UTF-16; bytes that do not form a sequence stand for themselves.
std::u16string Utf16(const char* text) {
    std::u16string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; bytes[i];) {
        unsigned c = bytes[i], extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        unsigned code = extra ? c & (0x3F >> extra) : c;
        size_t k = 1;
        for (; k <= extra && (bytes[i + k] & 0xC0) == 0x80; ++k)
            code = (code << 6) | (bytes[i + k] & 0x3F);
        if (k <= extra) code = c, k = 1;  // cut or malformed: the byte itself
        i += k;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += char16_t(0xD800 + (code >> 10));
            out += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            out += char16_t(code);
        }
    }
    return out;
}

bool WantsHelp(int argc, char** argv) {
    return argc == 1 && std::strcmp(argv[0], "--help") == 0;
}

bool ParseHex(const char* text, DWORD& value) {
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 16);
    if (!*text || *end || parsed > 0xFFFFFFFFull) return false;
    value = DWORD(parsed);
    return true;
}

int PrintLocation(const Location& location) {
    WCHAR text[LOCATION_TEXT_CHARS];
    if (!location.GetLocationAsString(text, LOCATION_TEXT_CHARS)) return 1;
    std::printf("class ID:    %08X\n", unsigned(location.dwHashID));
    std::printf("object ID:   %08X\n", unsigned(location.dwObjID));
    std::printf("project ID:  %08X\n", unsigned(location.dwProjID));
    std::printf("data ID:     %08X\n", unsigned(location.dwDataID));
    std::printf("flags:       %08X%s%s\n", unsigned(location.dwFlags),
                (location.dwFlags & LOCATOR_VIRTUAL) ? " virtual" : "",
                (location.dwFlags & LOCATOR_STATIC) ? " static" : "");
    std::printf("valid:       %s\n", location.IsValid() ? "yes" : "no");
    std::string narrow;
    for (const WCHAR* c = text; *c; ++c) narrow += char(*c);
    std::printf("text:        %s\n", narrow.c_str());
    return 0;
}

// A text of exactly 40 letters 'A'..'P'; anything else is no location.
bool IsLocationText(const char* text) {
    if (std::strlen(text) != LOCATION_TEXT_CHARS - 1) return false;
    for (const char* c = text; *c; ++c)
        if (*c < 'A' || *c > 'P') return false;
    return true;
}

int LocationFromFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[28] = {};
    if (!file || !file.read(reinterpret_cast<char*>(header), sizeof header)) {
        std::fprintf(stderr, "qzo location: %s: cannot read 28 bytes of an object file header\n",
                     path);
        return 1;
    }
    if (std::memcmp(header, "FOZQ", 4) != 0) {
        std::fprintf(stderr, "qzo location: %s: not an object file (no \"FOZQ\" at offset 0)\n",
                     path);
        return 1;
    }
    DWORD words[5];
    for (int i = 0; i < 5; ++i) {
        const unsigned char* p = header + 8 + 4 * i;
        words[i] = DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
    }
    Location location;
    location.dwHashID = words[0];
    location.dwObjID = words[1];
    location.dwProjID = words[2];
    location.dwDataID = words[3];
    location.dwFlags = words[4];
    return PrintLocation(location);
}

}  // namespace

int RunHash(int argc, char** argv) {
    if (WantsHelp(argc, argv)) return std::fputs(kHashUsage, stdout), 0;
    if (argc < 1 || argv[0][0] == '-') return std::fputs(kHashUsage, stderr), 2;
    std::printf("%-24s %-10s %-10s %-10s %-10s %s\n", "name", "GetHashID", "folded", "UTF-16",
                "UTF-16 fld", "heritage");
    for (int i = 0; i < argc; ++i) {
        const std::u16string wide = Utf16(argv[i]);
        const DWORD id = GetHashID(argv[i]);
        std::printf("%-24s 0x%08X 0x%08X 0x%08X 0x%08X 0x%08X\n", argv[i], unsigned(id),
                    unsigned(GetHashIDi(argv[i])), unsigned(GetHashIDW(wide.c_str())),
                    unsigned(GetHashIDTWi(wide.c_str())), unsigned(id | 0xFC00u));
    }
    return 0;
}

int RunLocation(int argc, char** argv) {
    if (WantsHelp(argc, argv)) return std::fputs(kLocationUsage, stdout), 0;
    if (argc == 2 && std::strcmp(argv[0], "--from-file") == 0) return LocationFromFile(argv[1]);
    if (argc == 5) {
        DWORD words[5];
        for (int i = 0; i < 5; ++i)
            if (!ParseHex(argv[i], words[i])) return std::fputs(kLocationUsage, stderr), 2;
        Location location;
        location.dwHashID = words[0];
        location.dwObjID = words[1];
        location.dwProjID = words[2];
        location.dwDataID = words[3];
        location.dwFlags = words[4];
        return PrintLocation(location);
    }
    if (argc != 1 || argv[0][0] == '-') return std::fputs(kLocationUsage, stderr), 2;
    if (!IsLocationText(argv[0])) {
        std::fprintf(stderr, "qzo location: \"%s\" is not a location text (40 letters A to P)\n",
                     argv[0]);
        return 1;
    }
    const std::u16string wide = Utf16(argv[0]);
    Location location;
    location = wide.c_str();
    return PrintLocation(location);
}

}  // namespace qzo::tool
