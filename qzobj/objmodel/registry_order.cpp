// Registration order: the ordered class list, first control calls in order, and shutdown calls
// in reverse order followed by freeing the driver libraries the registry loaded.
#include <algorithm>
#include <new>
#include <vector>

#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/platform/driver_modules.h"
#include "qzobj/platform/module.h"

namespace qzo::objmodel {
namespace {

// Visits every record (hidden ones too); lock held by the caller.
template <class Visit>
void WalkAll(Visit&& visit) {
    for (DWORD bucket = 0; bucket < QZRTC_BUCKETS; ++bucket)
        for (CQZRuntimeClass* at = LoadHead(bucket); at; at = LoadNext(at)) visit(at);
}

// Each module once, in the order of its first record; without this library's own module,
// modules outside library images, modules the registry did not load and modules already freed.
void KeepModulesToFree(CQZRuntimeClass** list, DWORD count) {
    const HINSTANCE self = platform::ThisModule();
    for (DWORD i = 0; i < count; ++i) {
        CQZRuntimeClass* entry = list[i];
        if (!entry) continue;
        for (DWORD later = i + 1; later < count; ++later)
            if (list[later] && list[later]->hInstance == entry->hInstance) list[later] = nullptr;
        const DWORD flags = LoadFlags(entry);
        if (entry->hInstance == self || (flags & QZRTC_NOTLIBRARY) || !(flags & QZRTC_DIRECTLOAD) ||
            LoadStatus(entry) == QZRTC_FREED)
            list[i] = nullptr;
    }
}

// Frees one module the registry loaded. Its records leave the directory first: a library that
// is unmapped without unregistering would otherwise leave records nobody may touch. When the
// module stays mapped (other references), its records that were not unregistered come back.
void FreeModule(HINSTANCE module) {
    std::vector<CQZRuntimeClass*> records;
    WalkAll([&](CQZRuntimeClass* at) {
        if (at->hInstance != module) return;
        StoreStatus(at, QZRTC_FREED);
        records.push_back(at);
    });
    RegistryState& state = Registry();
    for (CQZRuntimeClass* record : records)
        if (UnlinkRecord(record)) --state.count;
    platform::FreeLibrary(module);
    if (!platform::IsModuleMapped(module)) return;
    for (CQZRuntimeClass* record : records)
        if (LoadStatus(record) == QZRTC_FREED && LinkRecord(record)) ++state.count;
}

}  // namespace
}  // namespace qzo::objmodel

using namespace qzo::objmodel;

CQZRuntimeClass** CQZRuntimeClass::GetOrderedClassList(DWORD* count) {
    if (count) *count = 0;
    RegistryLock hold;
    const DWORD room = Registry().count.load();
    // Aligned for pointers (the process heap places blocks for its own headers).
    auto** list = new (std::nothrow) CQZRuntimeClass*[size_t(room) + 1];
    if (!list) return nullptr;
    DWORD used = 0;
    bool overflow = false;
    WalkAll([&](CQZRuntimeClass* at) {
        if (used < room)
            list[used++] = at;
        else
            overflow = true;
    });
    if (overflow) {
        Report(1, u"\rClassDir: Bad integrity!\r\n");
        delete[] list;
        return nullptr;
    }
    list[used] = nullptr;
    std::sort(list, list + used, [](const CQZRuntimeClass* a, const CQZRuntimeClass* b) {
        return a->dwOrder < b->dwOrder;
    });
    if (count) *count = used;
    return list;
}

void CQZRuntimeClass::FreeOrderedClassList(CQZRuntimeClass** list) {
    delete[] list;
}

void CQZRuntimeClass::SanitizeLoads() {
    RegistryLock hold;
    DWORD count = 0;
    CQZRuntimeClass** list = GetOrderedClassList(&count);
    if (!list) {
        Report(4, u"SanitizeLoads: No ordered list available...");
        return;
    }
    for (DWORD i = 0; i < count; ++i) {
        CQZRuntimeClass* record = list[i];
        const DWORD flags = LoadFlags(record);
        if (!(flags & QZRTC_FIRSTCALL)) continue;
        StoreFlags(record, flags & ~QZRTC_FIRSTCALL);
        if (record->pfnClassCtrlProc) record->CallClassCtrlProc(QZRTC_CTRL_INIT, 0);
    }
    FreeOrderedClassList(list);
}

void CQZRuntimeClass::UnloadClassLibs() {
    RegistryLock hold;
    if (Registry().count.load() == 0) return;
    DWORD count = 0;
    CQZRuntimeClass** list = GetOrderedClassList(&count);
    if (!list) {
        Report(4, u"NotifyUnloads: No ordered list available...");
        return;
    }
    Report(9, u"\rCQZRuntimeClass: Begin Shutdown\r\n");
    for (DWORD i = count; i-- > 0;) {
        Report(9, u"\rShutdown [%d] %hs...\r\n", static_cast<int>(i), list[i]->szClassName);
        list[i]->CallClassCtrlProc(QZRTC_CTRL_SHUTDOWN, 0);
    }
    Report(9, u"\rCQZRuntimeClass: Shutdown complete\r\n");
    KeepModulesToFree(list, count);
    for (DWORD i = count; i-- > 0;)
        if (list[i]) FreeModule(list[i]->hInstance);
    FreeOrderedClassList(list);
}

BOOL CQZRuntimeClass::MarkDirectLoad(HINSTANCE instance) {
    RegistryLock hold;
    bool marked = false;
    WalkAll([&](CQZRuntimeClass* at) {
        if (at->hInstance != instance) return;
        StoreFlags(at, LoadFlags(at) | QZRTC_DIRECTLOAD);
        marked = true;
    });
    return marked;
}

void CQZRuntimeClass::MarkFreed(HINSTANCE instance) {
    RegistryLock hold;
    WalkAll([&](CQZRuntimeClass* at) {
        if (at->hInstance == instance) StoreStatus(at, QZRTC_FREED);
    });
}
