// Modules on the dynamic loader: a module handle is the base address at which the loader mapped
// the program or library, found with dladdr; LoadLibrary keeps the loader's handle beside it.
#include "qzobj/platform/module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

// An address inside this library's code, kept out of the export table.
__attribute__((visibility("hidden"), noinline)) void ModuleAnchor() {}

HMODULE BaseOf(const void* address) {
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0) return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

// The libraries loaded through LoadLibrary, by base address, with the loader's handle and the
// number of loads not yet freed. Used from any thread; the mutex guards the map.
class LoadedLibraries {
  public:
    static LoadedLibraries& Instance() {
        static auto& loaded = *new LoadedLibraries;
        return loaded;
    }

    void Add(HMODULE module, void* handle) {
        std::lock_guard lock(mutex_);
        auto& entry = entries_[module];
        entry.handle = handle;
        ++entry.loads;
    }

    // Takes one load away; returns the loader handle to close, or null when `module` was not
    // loaded here.
    void* Release(HMODULE module, bool* last) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(module);
        if (it == entries_.end()) return nullptr;
        void* handle = it->second.handle;
        *last = --it->second.loads == 0;
        if (*last) entries_.erase(it);
        return handle;
    }

    void* HandleOf(HMODULE module) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(module);
        return it == entries_.end() ? nullptr : it->second.handle;
    }

  private:
    struct Entry {
        void* handle = nullptr;
        int loads = 0;
    };
    std::mutex mutex_;
    std::unordered_map<HMODULE, Entry> entries_;
};

std::string MainProgramPath() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    return n > 0 && static_cast<size_t>(n) < sizeof buffer ? std::string(buffer, n) : std::string();
}

// The file mapped at `base`, from the kernel's map of this process (always an absolute path).
std::string MappedFileAt(HMODULE base) {
    FILE* maps = std::fopen("/proc/self/maps", "re");
    if (!maps) return {};
    std::string path;
    char line[4096 + 128];
    const auto wanted = reinterpret_cast<uintptr_t>(base);
    while (std::fgets(line, sizeof line, maps)) {
        unsigned long start = 0, end = 0;
        int pathOffset = 0;
        if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &pathOffset) < 2)
            continue;
        if (wanted < start || wanted >= end || pathOffset <= 0 || line[pathOffset] != '/') continue;
        path = line + pathOffset;
        while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
        break;
    }
    std::fclose(maps);
    return path;
}

std::string ModulePath(HMODULE module) {
    if (module == MainModule()) return MainProgramPath();
    Dl_info info{};
    if (dladdr(module, &info) == 0 || info.dli_fbase != module) return {};
    // The loader keeps the name a library was opened by, which may be relative to a working
    // folder that has changed since; the kernel's map has the absolute path.
    if (info.dli_fname && info.dli_fname[0] == '/') return info.dli_fname;
    return MappedFileAt(module);
}

}  // namespace

HMODULE ThisModule() {
    static const HMODULE self = BaseOf(reinterpret_cast<const void*>(&ModuleAnchor));
    return self;
}

HMODULE MainModule() {
    // The program headers of the main program lie inside its first mapped segment.
    static const HMODULE main = BaseOf(reinterpret_cast<const void*>(getauxval(AT_PHDR)));
    return main;
}

HMODULE ModuleFromAddress(const void* address) {
    return BaseOf(address);
}

DWORD GetModuleFileName(HMODULE module, WCHAR* buffer, DWORD size) {
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    buffer[0] = 0;
    std::string path = ModulePath(module ? module : MainModule());
    if (path.empty()) {
        SetLastError(kErrorModuleNotFound);
        return 0;
    }
    std::u16string name = text::ToUtf16(path);
    text::Copy(buffer, size, name);
    if (name.size() >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<DWORD>(name.size());
}

HMODULE LoadLibrary(const WCHAR* path) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string native;
    if (!ResolvePath(path, native)) return nullptr;
    void* handle = dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(kErrorModuleNotFound);
        return nullptr;
    }
    link_map* map = nullptr;
    HMODULE module = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map) module = BaseOf(map->l_ld);
    if (!module) {
        dlclose(handle);
        SetLastError(kErrorModuleNotFound);
        return nullptr;
    }
    LoadedLibraries::Instance().Add(module, handle);
    return module;
}

BOOL FreeLibrary(HMODULE module) {
    bool last = false;
    void* handle = module ? LoadedLibraries::Instance().Release(module, &last) : nullptr;
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    dlclose(handle);
    // The library's resources were registered by its static constructors; they go with it
    // when it is really unmapped (another dependency may keep it loaded).
    if (last && BaseOf(module) != module) UnregisterResources(module);
    return TRUE;
}

void* GetProcAddress(HMODULE module, const char* name) {
    if (!name || IsIntResource(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!module) module = MainModule();
    void* handle = LoadedLibraries::Instance().HandleOf(module);
    bool opened = false;
    if (!handle) {
        if (module == MainModule()) {
            handle = dlopen(nullptr, RTLD_NOW);
        } else {
            std::string path = ModulePath(module);
            if (!path.empty()) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        }
        opened = handle != nullptr;
    }
    void* symbol = handle ? dlsym(handle, name) : nullptr;
    if (opened) dlclose(handle);
    // The loader also searches the libraries a module depends on; a module's own export is
    // what the caller asked for.
    if (!symbol || BaseOf(symbol) != module) {
        SetLastError(kErrorProcedureNotFound);
        return nullptr;
    }
    return symbol;
}

}  // namespace qzo::platform
