// Address lookups through the dynamic loader (dladdr1) and the modules' dynamic symbol tables.
#include "qzobj/platform/symbols.h"

#include "qzobj/platform/posix/elf_symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace qzo::platform {
namespace {

// Where the dynamic section puts a table. The loader relocates these entries in place on most
// targets; where it does not, the value is still relative to the load address.
uintptr_t TableAddress(const link_map* module, ElfW(Addr) value) {
    const auto address = static_cast<uintptr_t>(value);
    return address < module->l_addr ? address + module->l_addr : address;
}

struct DynamicTables {
    const ElfW(Sym) * symbols = nullptr;
    const char* strings = nullptr;
    size_t count = 0;
};

bool ReadDynamicTables(const link_map* module, DynamicTables& tables) {
    uintptr_t hash = 0, gnuHash = 0;
    for (const ElfW(Dyn)* entry = module->l_ld; entry && entry->d_tag != DT_NULL; ++entry) {
        switch (entry->d_tag) {
            case DT_SYMTAB:
                tables.symbols =
                    reinterpret_cast<const ElfW(Sym)*>(TableAddress(module, entry->d_un.d_ptr));
                break;
            case DT_STRTAB:
                tables.strings =
                    reinterpret_cast<const char*>(TableAddress(module, entry->d_un.d_ptr));
                break;
            case DT_HASH:
                hash = TableAddress(module, entry->d_un.d_ptr);
                break;
            case DT_GNU_HASH:
                gnuHash = TableAddress(module, entry->d_un.d_ptr);
                break;
            default:
                break;
        }
    }
    if (!tables.symbols || !tables.strings) return false;
    tables.count = CountDynamicSymbols(hash, gnuHash);
    return tables.count > 0;
}

}  // namespace

bool LookupAddress(const void* address, SymbolLookup& lookup) {
    lookup = SymbolLookup{};
    if (!address) return false;
    Dl_info info{};
    void* symbolEntry = nullptr;
    if (dladdr1(address, &info, &symbolEntry, RTLD_DL_SYMENT) == 0) return false;
    const auto* symbol = static_cast<const ElfW(Sym)*>(symbolEntry);
    lookup.moduleBase = reinterpret_cast<uintptr_t>(info.dli_fbase);
    lookup.modulePath = info.dli_fname;
    if (info.dli_sname && info.dli_saddr) {
        lookup.symbolName = info.dli_sname;
        lookup.symbolAddress = reinterpret_cast<uintptr_t>(info.dli_saddr);
        lookup.symbolSize = symbol ? static_cast<size_t>(symbol->st_size) : 0;
    }
    return true;
}

bool FindSymbolAbove(const void* address, const char** name, uintptr_t* symbolAddress) {
    Dl_info info{};
    link_map* module = nullptr;
    if (!address ||
        dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 || !module)
        return false;
    DynamicTables tables;
    if (!ReadDynamicTables(module, tables)) return false;
    const auto target = reinterpret_cast<uintptr_t>(address);
    const ElfW(Sym)* best = nullptr;
    uintptr_t bestAddress = 0;
    for (size_t i = 0; i < tables.count; ++i) {
        const ElfW(Sym)& symbol = tables.symbols[i];
        if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(symbol.st_info) != STT_FUNC) continue;
        const uintptr_t start = module->l_addr + symbol.st_value;
        if (start > target && (!best || start < bestAddress)) {
            best = &symbol;
            bestAddress = start;
        }
    }
    if (!best) return false;
    // The symbol must lie in the same module's image, not merely above the address.
    Dl_info check{};
    if (dladdr(reinterpret_cast<void*>(bestAddress), &check) == 0 ||
        check.dli_fbase != info.dli_fbase)
        return false;
    if (name) *name = tables.strings + best->st_name;
    if (symbolAddress) *symbolAddress = bestAddress;
    return true;
}

void DemangleName(const char* name, char* out, size_t capacity) {
    if (!out || capacity == 0) return;
    out[0] = '\0';
    if (!name) return;
    int status = -1;
    char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    const char* text = (status == 0 && readable) ? readable : name;
    const size_t length = std::min(std::strlen(text), capacity - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
    std::free(readable);
}

size_t CountDynamicSymbols(uintptr_t hash, uintptr_t gnuHash) {
    if (hash) return reinterpret_cast<const uint32_t*>(hash)[1];  // nchain
    if (!gnuHash) return 0;
    const auto* header = reinterpret_cast<const uint32_t*>(gnuHash);
    const uint32_t bucketCount = header[0];
    const uint32_t symbolOffset = header[1];
    const uint32_t bloomWords = header[2];
    const auto* buckets = reinterpret_cast<const uint32_t*>(gnuHash + 4 * sizeof(uint32_t) +
                                                            bloomWords * sizeof(ElfW(Addr)));
    const uint32_t* chains = buckets + bucketCount;
    uint32_t last = 0;
    for (uint32_t i = 0; i < bucketCount; ++i)
        if (buckets[i] > last) last = buckets[i];
    if (last < symbolOffset) return symbolOffset;
    while ((chains[last - symbolOffset] & 1u) == 0) ++last;
    return last + 1;
}

}  // namespace qzo::platform
