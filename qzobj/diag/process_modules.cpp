// Module inspection: which loaded image holds an address, the list of images, their exported
// symbols and resources, and the module dump.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "qzobj/diag/debug_switches.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/images.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"
#include "qzobj/process.h"
#include "qzobj/uikit.h"

namespace {

struct ImageEntry {
    uintptr_t base;
    bool isMain;
};

std::vector<ImageEntry> LoadedImages() {
    std::vector<ImageEntry> images;
    qzo::platform::ForEachImage(
        [](const qzo::platform::ImageInfo& image, void* context) {
            static_cast<std::vector<ImageEntry>*>(context)->push_back({image.base, image.isMain});
            return true;
        },
        &images);
    return images;
}

HMODULE AsModule(uintptr_t base) {
    return reinterpret_cast<HMODULE>(base);
}

std::atomic<HMODULE> g_mainInstance{nullptr};

}  // namespace

WCHAR* GetModuleFilenameFromAddress(const void* address, WCHAR* path, DWORD capacity) {
    if (!path || capacity == 0) return nullptr;
    path[0] = 0;
    const HMODULE module = qzo::platform::ModuleFromAddress(address);
    if (!module) return nullptr;
    WCHAR full[4096];
    if (qzo::platform::GetModuleFileName(module, full, 4096) == 0) return nullptr;
    qzo::text::Copy(path, capacity, full);
    return path;
}

WCHAR* GetModuleFilenameFromAddress(const void* address, WCHAR* path) {
    return GetModuleFilenameFromAddress(address, path, MAX_PATH);
}

HMODULE GetModuleInstanceFromAddress(const void* address) {
    return qzo::platform::ModuleFromAddress(address);
}

BOOL GetProcessStartupDir(WCHAR* path, DWORD capacity) {
    if (!path || capacity == 0) return FALSE;
    path[0] = 0;
    char folder[4096];
    if (!qzo::platform::ExecutableFolder(folder, sizeof folder)) return FALSE;
    const std::u16string wide = qzo::text::ToUtf16(folder);
    qzo::text::Copy(path, capacity, wide);
    return wide.size() < capacity ? TRUE : FALSE;
}

BOOL GetProcessStartupDir(WCHAR* path) {
    return GetProcessStartupDir(path, MAX_PATH);
}

void DumpAppDLLs() {
    wPrintf(0, 9, u"\r ********** Module dump ********** \r\n");
    for (const ImageEntry& image : LoadedImages()) {
        WCHAR path[4096] = {};
        qzo::platform::GetModuleFileName(AsModule(image.base), path, 4096);
        WCHAR modified[64] = {};
        FILETIME time{};
        if (path[0] && FU_GetLastModifyTime(path, &time)) FU_TranslateFileTime(&time, modified);
        wPrintf(0, 9, u"\r@" QZO_ADDRESS_FORMAT u" : %s %s%s",
                static_cast<unsigned long long>(image.base), modified, path,
                image.isMain ? u" (APP)\r\n" : u" (DLL)\r\n");
    }
    wPrintf(0, 9, u"\r ********** End -- dump ********** \r\n");
}

DWORD GetDLLFootprint(HMODULE* bases, DWORD capacity) {
    const std::vector<ImageEntry> images = LoadedImages();
    if (bases)
        for (size_t i = 0; i < images.size() && i < capacity; ++i)
            bases[i] = AsModule(images[i].base);
    return DWORD(images.size());
}

HMODULE GetMainInstance() {
    HMODULE main = g_mainInstance.load(std::memory_order_acquire);
    if (main) return main;
    for (const ImageEntry& image : LoadedImages())
        if (image.isMain) main = AsModule(image.base);
    if (!main) main = qzo::platform::MainModule();
    if (main) g_mainInstance.store(main, std::memory_order_release);
    return main;
}

void* DirectGetProcAddress(HMODULE module, const char* name) {
    return qzo::platform::FindImageSymbolNoCase(reinterpret_cast<uintptr_t>(module), name);
}

int IsApp(const void* address) {
    qzo::platform::MappingInfo mapping;
    if (!qzo::platform::FindMapping(address, mapping)) return 0;
    const HMODULE module = qzo::platform::ModuleFromAddress(address);
    return (module && module != GetMainInstance()) ? 0 : 1;
}

int IsStaticArea(const void* address) {
    return qzo::platform::ModuleFromAddress(address) ? 1 : 0;
}

size_t GetAllocSize(const void* address) {
    qzo::platform::MappingInfo mapping;
    if (!qzo::platform::FindMapping(address, mapping)) return 0;
    return mapping.end - mapping.start;
}

const void* GetResourcePtr(HMODULE module, UINT typeId, UINT nameId, DWORD* size) {
    size_t found = 0;
    const void* data =
        qzo::platform::FindResource(module, qzo::platform::MakeIntResource(typeId), nameId, &found);
    if (!data) return nullptr;
    if (size) *size = DWORD(found);
    return data;
}
