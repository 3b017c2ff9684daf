// GetAddressInfo and GetAddressInfoString: module, enclosing symbol and next symbol of a code
// address, from the dynamic loader, demangled and cached per address.
#include "qzobj/suitelibs/qzoplatu/address_info.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "qzobj/platform/guard.h"
#include "qzobj/platform/symbols.h"
#include "qzobj/platform/text.h"

namespace qzo::platu {
namespace {

std::atomic<AddressResolver> g_resolver{nullptr};

// Results per address. Any thread may look up; `lock` guards `entries`. Never destroyed, so a
// lookup during static destruction stays valid.
struct AddressCache {
    struct Entry {
        BOOL resolved;
        tagADDRESSINFO info;
    };
    static constexpr size_t kLimit = 2048;  // then it starts over
    std::mutex lock;
    std::unordered_map<uintptr_t, Entry> entries;
};

AddressCache& Cache() {
    static auto* cache = new AddressCache;
    return *cache;
}

void CopyText(char* out, size_t capacity, const char* text) {
    const size_t length = text ? std::min(std::strlen(text), capacity - 1) : 0;
    if (length) std::memcpy(out, text, length);
    out[length] = '\0';
}

void CopyName(char* out, size_t capacity, const char* name, bool readable) {
    if (readable)
        qzo::platform::DemangleName(name, out, capacity);
    else
        CopyText(out, capacity, name);
}

DWORD Clamp32(uintptr_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(value);
}

// First name: the exported symbol whose extent holds the address (an extent the loader does not
// know counts as holding it). Second name: the next exported function above the address.
BOOL ResolveWithLoader(const void* address, tagADDRESSINFO* info, bool readable) {
    qzo::platform::SymbolLookup lookup;
    if (!qzo::platform::LookupAddress(address, lookup)) return FALSE;
    const auto target = reinterpret_cast<uintptr_t>(address);
    info->uModuleBase = lookup.moduleBase;
    CopyText(info->szModule, sizeof info->szModule, FileNamePart(lookup.modulePath));
    if (lookup.symbolName && target >= lookup.symbolAddress &&
        (lookup.symbolSize == 0 || target < lookup.symbolAddress + lookup.symbolSize)) {
        CopyName(info->szFunction, sizeof info->szFunction, lookup.symbolName, readable);
        info->dwDisplacement = Clamp32(target - lookup.symbolAddress);
    }
    const char* next = nullptr;
    uintptr_t nextAddress = 0;
    if (qzo::platform::FindSymbolAbove(address, &next, &nextAddress)) {
        CopyName(info->szFunction2, sizeof info->szFunction2, next, readable);
        info->dwDistance = Clamp32(nextAddress - target);
    }
    return TRUE;
}

BOOL Resolve(const void* address, tagADDRESSINFO* info, bool readable) {
    if (AddressResolver resolver = g_resolver.load()) return resolver(address, info);
    return ResolveWithLoader(address, info, readable);
}

}  // namespace

AddressResolver SetAddressResolver(AddressResolver resolver) {
    AddressResolver previous = g_resolver.exchange(resolver);
    ClearAddressInfoCache();
    return previous;
}

void ClearAddressInfoCache() {
    AddressCache& cache = Cache();
    std::lock_guard<std::mutex> hold(cache.lock);
    cache.entries.clear();
}

bool ModuleFileName(const void* address, char* out, size_t capacity) {
    if (!out || capacity == 0) return false;
    out[0] = '\0';
    qzo::platform::SymbolLookup lookup;
    if (!qzo::platform::LookupAddress(address, lookup)) return false;
    CopyText(out, capacity, FileNamePart(lookup.modulePath));
    return true;
}

void AppendFrameName(const void* address, TextLine& line) {
    tagADDRESSINFO info{};
    const auto target = reinterpret_cast<uintptr_t>(address);
    const BOOL known = qzo::platform::InFaultHandler() ? Resolve(address, &info, false)
                                                       : GetAddressInfo(address, &info);
    if (!known) {
        line.Append("?");
        return;
    }
    line.Append(info.szModule[0] ? info.szModule : "?").Append("+0x");
    line.AppendHex(target - info.uModuleBase);
    if (info.szFunction[0])
        line.Append(" ").Append(info.szFunction).Append("+0x").AppendHex(info.dwDisplacement);
    else if (info.szFunction2[0])
        line.Append(" ").Append(info.szFunction2).Append("-0x").AppendHex(info.dwDistance);
}

}  // namespace qzo::platu

BOOL GetAddressInfo(const void* address, tagADDRESSINFO* info) {
    using qzo::platu::AddressCache;
    if (!info) return FALSE;
    std::memset(info, 0, sizeof *info);
    if (!address) return FALSE;
    // In the fault handler the cache's lock and allocations are off limits: resolve directly.
    if (qzo::platform::InFaultHandler()) return qzo::platu::Resolve(address, info, false);
    const auto key = reinterpret_cast<uintptr_t>(address);
    AddressCache& cache = qzo::platu::Cache();
    {
        std::lock_guard<std::mutex> hold(cache.lock);
        auto found = cache.entries.find(key);
        if (found != cache.entries.end()) {
            *info = found->second.info;
            return found->second.resolved;
        }
    }
    tagADDRESSINFO fresh{};
    const BOOL resolved = qzo::platu::Resolve(address, &fresh, true);
    {
        std::lock_guard<std::mutex> hold(cache.lock);
        if (cache.entries.size() >= AddressCache::kLimit) cache.entries.clear();
        cache.entries[key] = AddressCache::Entry{resolved, fresh};
    }
    *info = fresh;
    return resolved;
}

int GetAddressInfoString(const void* address, WCHAR* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    char text[sizeof(tagADDRESSINFO) + 64];
    qzo::platu::TextLine line(text, sizeof text);
    tagADDRESSINFO info{};
    if (address && GetAddressInfo(address, &info))
        qzo::platu::AppendFrameName(address, line);
    else
        line.Append("0x").AppendAddress(reinterpret_cast<uintptr_t>(address));
    const std::u16string wide = qzo::text::ToUtf16(std::string_view(line.c_str(), line.size()));
    return static_cast<int>(qzo::text::Copy(buffer, static_cast<size_t>(size), wide));
}
