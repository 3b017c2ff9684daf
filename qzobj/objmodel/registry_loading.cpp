// Loading driver libraries on demand: finding a module that is already there, the registry's own
// loader with its four candidate paths, and keeping what it loaded for freeing at shutdown.
// Libraries are loaded and freed only with the registry lock held (see objmodel.h).
#include <string>
#include <vector>

#include "qzobj/objmodel/registry_internal.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"

namespace qzo::objmodel {
namespace {

const WCHAR* FileNameOf(const WCHAR* path) {
    const WCHAR* name = path ? FU_FindFilenameC(path) : nullptr;
    return name && *name ? name : nullptr;
}

// The candidates in the order they are tried; a candidate that does not fit a path buffer is
// left out rather than cut.
std::vector<std::u16string> Candidates(const WCHAR* path, const WCHAR* name) {
    const std::u16string folder = Registry().szWorkPath;
    std::vector<std::u16string> all{folder + u"driver/" + name, folder + name, path, name};
    std::vector<std::u16string> usable;
    for (auto& candidate : all)
        if (candidate.size() < MAX_PATH) usable.push_back(std::move(candidate));
    return usable;
}

}  // namespace
}  // namespace qzo::objmodel

using namespace qzo::objmodel;

CQZRuntimeClass* CQZRuntimeClass::IsClassLibraryLoaded(const WCHAR* path) {
    const WCHAR* name = FileNameOf(path);
    if (!name) return nullptr;
    RegistryLock hold;
    for (DWORD bucket = 0; bucket < QZRTC_BUCKETS; ++bucket) {
        for (CQZRuntimeClass* at = LoadHead(bucket); at; at = LoadNext(at)) {
            const WCHAR* recorded = FileNameOf(at->szDLLPath);
            if (recorded && qzo::text::CompareNoCase(recorded, name) == 0) return at;
        }
    }
    return nullptr;
}

BOOL CQZRuntimeClass::LoadClassLibrary(const WCHAR* path, BOOL sanitize) {
    RegistryLock hold;
    CQZRuntimeClass* present = IsClassLibraryLoaded(path);
    if (!present) return LoadLibrary(path, sanitize) != nullptr;
    if (LoadFlags(present) & QZRTC_DIRECTLOAD) return TRUE;
    // Present as another library's dependency: take a reference of our own, so that the
    // library is ours to free at shutdown.
    if (!qzo::platform::LoadLibrary(present->szDLLPath)) return FALSE;
    MarkDirectLoad(present->hInstance);
    return TRUE;
}

HINSTANCE CQZRuntimeClass::LoadLibrary(const WCHAR* path, BOOL sanitize) {
    if (!path || !*path) {
        Report(3, u"\rCQZRuntimeClass::LoadLibrary: No path\r\n");
        return nullptr;
    }
    RegistryLock hold;
    RegistryState& state = Registry();
    // Read under the lock: only registrations made by the library being loaded can move it.
    const DWORD sequenceBefore = state.nextOrder.load();
    const WCHAR* name = FileNameOf(path);
    if (!name) {
        Report(3, u"\rCQZRuntimeClass::LoadLibrary(%s): No filename\r\n", path);
        return nullptr;
    }
    if (LoadFail_Check(name)) return nullptr;

    HINSTANCE instance = nullptr;
    for (const std::u16string& candidate : Candidates(path, name)) {
        instance = qzo::platform::LoadLibrary(candidate.c_str());
        if (instance) break;
    }
    if (!instance) {
        Report(4, u"\rCQZRuntimeClass::LoadLibrary(%s): Failure to load, no instance\r\n", path);
        LoadFail_Add(name);
        return nullptr;
    }
    if (state.nextOrder.load() == sequenceBefore) {
        Report(4, u"\rCQZRuntimeClass::LoadLibrary(%s) loaded, but no classes registered\r\n",
               path);
        qzo::platform::FreeLibrary(instance);
        LoadFail_Add(name);
        return nullptr;
    }
    if (!MarkDirectLoad(instance)) {
        Report(5,
               u"\rCQZRuntimeClass::LoadLibrary(%s): Loaded but no DIRECT classes registered\r\n",
               path);
        qzo::platform::FreeLibrary(instance);
        LoadFail_Add(name);
        return nullptr;
    }
    Report(9, u"\rCQZRuntimeClass::LoadLibrary(%s): Loaded\r\n", path);
    if (sanitize) SanitizeLoads();
    return instance;
}
