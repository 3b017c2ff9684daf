// Image tests on the dynamic loader: dladdr1 with the link map tells a library from the main
// program (whose link-map entry has an empty name).
#include "qzobj/platform/driver_modules.h"

#include <dlfcn.h>
#include <link.h>

namespace qzo::platform {

bool IsLibraryImage(const void* address) {
    if (!address) return false;
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map)
        return false;
    // The main program is the link map's first entry and carries no name.
    return map->l_name && map->l_name[0] != '\0' && map->l_prev != nullptr;
}

bool IsModuleMapped(HMODULE module) {
    if (!module) return false;
    Dl_info info{};
    return dladdr(module, &info) != 0 && info.dli_fbase == module;
}

}  // namespace qzo::platform
