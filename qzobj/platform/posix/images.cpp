// Loaded images through dl_iterate_phdr and their dynamic symbol tables; mappings from the
// kernel's map of the process.
#include "qzobj/platform/images.h"

#include "qzobj/platform/posix/elf_symbols.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace qzo::platform {
namespace {

// The lowest loaded segment's address: where the ELF header lies.
uintptr_t ImageBase(const dl_phdr_info& info) {
    uintptr_t lowest = UINTPTR_MAX;
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info.dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        const uintptr_t start = info.dlpi_addr + header.p_vaddr - header.p_offset;
        if (start < lowest) lowest = start;
    }
    return lowest == UINTPTR_MAX ? 0 : lowest;
}

struct VisitState {
    ImageVisitor visit;
    void* context;
    size_t count;
    bool stopped;
};

int VisitOne(dl_phdr_info* info, size_t, void* data) {
    auto& state = *static_cast<VisitState*>(data);
    ImageInfo image;
    image.base = ImageBase(*info);
    if (image.base == 0) return 0;
    image.path = info->dlpi_name ? info->dlpi_name : "";
    // The loader lists the main program first, with an empty name.
    image.isMain = state.count == 0 && image.path[0] == '\0';
    ++state.count;
    if (!state.visit(image, state.context)) {
        state.stopped = true;
        return 1;
    }
    return 0;
}

bool EqualNoCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
        if (!x) return true;
    }
}

// Where the dynamic section puts a table: relocated in place on most targets, else relative.
uintptr_t TableAddress(uintptr_t loadBias, ElfW(Addr) value) {
    const auto address = static_cast<uintptr_t>(value);
    return address < loadBias ? address + loadBias : address;
}

struct SymbolSearch {
    uintptr_t base;
    const char* name;
    void* found;
    bool matched;  // an image starts at base
};

void* SearchDynamicSymbols(const dl_phdr_info& info, const char* name) {
    const ElfW(Dyn)* dynamic = nullptr;
    for (ElfW(Half) i = 0; i < info.dlpi_phnum; ++i)
        if (info.dlpi_phdr[i].p_type == PT_DYNAMIC)
            dynamic =
                reinterpret_cast<const ElfW(Dyn)*>(info.dlpi_addr + info.dlpi_phdr[i].p_vaddr);
    if (!dynamic) return nullptr;
    const ElfW(Sym)* symbols = nullptr;
    const char* strings = nullptr;
    uintptr_t hash = 0, gnuHash = 0;
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        const uintptr_t at = TableAddress(info.dlpi_addr, entry->d_un.d_ptr);
        if (entry->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const ElfW(Sym)*>(at);
        if (entry->d_tag == DT_STRTAB) strings = reinterpret_cast<const char*>(at);
        if (entry->d_tag == DT_HASH) hash = at;
        if (entry->d_tag == DT_GNU_HASH) gnuHash = at;
    }
    if (!symbols || !strings) return nullptr;
    const size_t count = CountDynamicSymbols(hash, gnuHash);
    for (size_t i = 1; i < count; ++i) {
        const ElfW(Sym)& symbol = symbols[i];
        if (symbol.st_shndx == SHN_UNDEF || symbol.st_name == 0) continue;
        const unsigned type = ELF64_ST_TYPE(symbol.st_info);
        if (type != STT_FUNC && type != STT_OBJECT && type != STT_GNU_IFUNC) continue;
        if (!EqualNoCase(strings + symbol.st_name, name)) continue;
        return reinterpret_cast<void*>(info.dlpi_addr + symbol.st_value);
    }
    return nullptr;
}

int SearchOne(dl_phdr_info* info, size_t, void* data) {
    auto& search = *static_cast<SymbolSearch*>(data);
    if (ImageBase(*info) != search.base) return 0;
    search.matched = true;
    search.found = SearchDynamicSymbols(*info, search.name);
    return 1;
}

}  // namespace

size_t ForEachImage(ImageVisitor visit, void* context) {
    if (!visit) return 0;
    VisitState state{visit, context, 0, false};
    dl_iterate_phdr(&VisitOne, &state);
    return state.count;
}

void* FindImageSymbolNoCase(uintptr_t base, const char* name) {
    if (!base || !name || !*name) return nullptr;
    SymbolSearch search{base, name, nullptr, false};
    dl_iterate_phdr(&SearchOne, &search);
    return search.found;
}

bool FindMapping(const void* address, MappingInfo& mapping) {
    mapping = MappingInfo{};
    FILE* maps = std::fopen("/proc/self/maps", "re");
    if (!maps) return false;
    const auto wanted = reinterpret_cast<uintptr_t>(address);
    char line[4096 + 128];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, maps)) {
        unsigned long start = 0, end = 0;
        if (std::sscanf(line, "%lx-%lx", &start, &end) != 2) continue;
        // Lines longer than the buffer continue on the next read: they never start with a range.
        if (wanted >= start && wanted < end) {
            mapping.start = start;
            mapping.end = end;
            found = true;
        }
    }
    std::fclose(maps);
    return found;
}

bool ExecutableFolder(char* out, size_t capacity) {
    if (!out || capacity == 0) return false;
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return false;
    path[length] = '\0';
    char* slash = std::strrchr(path, '/');
    if (!slash) return false;
    const size_t folderLength = size_t(slash - path) + 1;
    if (folderLength >= capacity) return false;
    std::memcpy(out, path, folderLength);
    out[folderLength] = '\0';
    return true;
}

}  // namespace qzo::platform
