// The chunk-tree printer shared by the inspection verbs.
#include "chunk_tree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "qzobj/hashid.h"

namespace qzo::tool {
namespace {

constexpr size_t kHeaderSize = 8;
constexpr int kMaxLayers = 16;
constexpr uint32_t kUnnamed = 0x0000FC00u;
constexpr uint32_t kInvalidBits = 0x0000FC00u;
// Raw payload bytes shown in the tree.
constexpr size_t kRawPreview = 16;

// The chunk names the library and its sample driver write.
constexpr const char* kLibraryNames[] = {
    "CQZObject",  "CQZRTObject", "DibHeader", "DibCompression", "DibPalette", "DibData",
    "SampleClip", "Title",       "Frames",    "Markers",        "Settings",
};

bool PlausibleId(uint32_t id) {
    return id == kUnnamed || (id & kInvalidBits) == 0;
}

// Whether [begin, end) is exactly a sequence of chunks whose payloads, where they nest, nest
// plausibly too. Used to decide whether a payload holds chunks or raw bytes.
bool HoldsChunks(const std::vector<uint8_t>& bytes, size_t begin, size_t end, int layer) {
    if (begin == end || layer >= kMaxLayers) return false;
    for (size_t at = begin; at < end;) {
        if (end - at < kHeaderSize) return false;
        const uint32_t id = Le32(&bytes[at]);
        const uint64_t size = Le32(&bytes[at + 4]);
        if (!PlausibleId(id) || size > end - at - kHeaderSize) return false;
        at += kHeaderSize + size;
    }
    return true;
}

bool AllZero(const std::vector<uint8_t>& bytes, size_t begin, size_t end) {
    return std::all_of(bytes.begin() + long(begin), bytes.begin() + long(end),
                       [](uint8_t b) { return b == 0; });
}

void PrintRaw(FILE* out, const std::vector<uint8_t>& bytes, size_t begin, size_t end) {
    if (begin == end) return;
    std::fputs(":", out);
    const size_t shown = std::min(end - begin, kRawPreview);
    for (size_t i = 0; i < shown; ++i) std::fprintf(out, " %02X", bytes[begin + i]);
    if (end - begin > shown) std::fputs(" ...", out);
}

ChunkFault Walk(FILE* out, const std::vector<uint8_t>& bytes, size_t begin, size_t end,
                uint64_t base, const ChunkNames& names, int indent, int layer) {
    for (size_t at = begin; at < end;) {
        const uint64_t offset = base + at;
        if (layer == 0 && AllZero(bytes, at, end)) {
            std::fprintf(out, "@%-8llu %*szero padding, %zu bytes\n", (unsigned long long)offset,
                         indent * 2, "", end - at);
            return {};
        }
        if (end - at < kHeaderSize) {
            return {true, offset,
                    std::to_string(end - at) + " bytes left, too few for a chunk header"};
        }
        const uint32_t id = Le32(&bytes[at]);
        const uint64_t size = Le32(&bytes[at + 4]);
        if (size > end - at - kHeaderSize) {
            return {true, offset,
                    "size " + std::to_string(size) + " runs past the end of its " +
                        (layer == 0 ? "file" : "parent") + " (at " + std::to_string(base + end) +
                        ")"};
        }
        const char* name = names.Find(id);
        std::string label = id == kUnnamed ? "(unnamed)" : name ? name : "(unknown name)";
        std::fprintf(out, "@%-8llu %*s%-*s %08X  %llu bytes", (unsigned long long)offset,
                     indent * 2, "", std::max(1, 24 - indent * 2), label.c_str(), id,
                     (unsigned long long)size);
        const size_t payload = at + kHeaderSize;
        const size_t payloadEnd = payload + size_t(size);
        if (HoldsChunks(bytes, payload, payloadEnd, layer + 1)) {
            std::fputs("\n", out);
            ChunkFault inner =
                Walk(out, bytes, payload, payloadEnd, base, names, indent + 1, layer + 1);
            if (inner.found) return inner;
        } else {
            PrintRaw(out, bytes, payload, payloadEnd);
            std::fputs("\n", out);
        }
        at = payloadEnd;
    }
    return {};
}

}  // namespace

std::string StoredText(const uint8_t* units, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const unsigned unit = units[2 * i] | units[2 * i + 1] << 8;
        if (unit == 0) break;
        out += unit < 0x80 ? char(unit) : '?';
    }
    return out;
}

ChunkNames::ChunkNames() {
    for (const char* name : kLibraryNames) names_.emplace_back(GetHashID(name), name);
}

void ChunkNames::AddList(const std::string& list) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string name = list.substr(start, comma - start);
        if (!name.empty()) names_.insert(names_.begin(), {GetHashID(name.c_str()), name});
        start = comma + 1;
    }
}

const char* ChunkNames::Find(uint32_t id) const {
    for (const auto& [known, name] : names_)
        if (known == id) return name.c_str();
    return nullptr;
}

ChunkFault PrintChunks(FILE* out, const std::vector<uint8_t>& bytes, size_t begin, size_t end,
                       uint64_t base, const ChunkNames& names, int indent) {
    return Walk(out, bytes, begin, std::min(end, bytes.size()), base, names, indent, 0);
}

int ParseFileVerbArguments(int argc, char** argv, const char* usage, const char*& file,
                           ChunkNames& names, unsigned long long* offset) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    file = nullptr;
    bool good = true;
    for (int i = 0; good && i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (offset && hasValue && std::strcmp(argv[i], "--offset") == 0) {
            const char* text = argv[++i];
            char* end = nullptr;
            *offset = std::strtoull(text, &end, 0);
            good = *text && !*end && text[0] != '-';
        } else if (hasValue && std::strcmp(argv[i], "--names") == 0) {
            names.AddList(argv[++i]);
        } else if (!file && argv[i][0] != '-') {
            file = argv[i];
        } else {
            good = false;
        }
    }
    if (good && file) return -1;
    std::fputs(usage, stderr);
    return 2;
}

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes, std::string& error) {
    std::error_code code;
    if (!std::filesystem::is_regular_file(path, code)) {
        error = std::filesystem::exists(path, code) ? "not a regular file" : "no such file";
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file) {
        error = "cannot open the file";
        return false;
    }
    bytes.clear();
    uint8_t buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    if (std::ferror(file.get())) {
        error = "cannot read the file";
        return false;
    }
    return true;
}

}  // namespace qzo::tool
