// The string tables and other resources that modules register under their handles at static
// initialisation; portable bookkeeping for the module services.
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "qzobj/platform/module.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

struct ResourceData {
    const void* data;
    size_t size;
};

struct ModuleResources {
    std::unordered_map<UINT, std::u16string_view> strings;
    // Keyed by the upper-case type name ("#n" for numeric types) and number.
    std::map<std::pair<std::string, UINT>, ResourceData> resources;
};

// The registry of every module's resources. Registrations come from static constructors of
// several modules and from any thread; one mutex guards the map and everything in it. Created on
// first use and never destroyed, so registrations and lookups work in any static order.
class ResourceRegistry {
  public:
    static ResourceRegistry& Instance() {
        static auto& registry = *new ResourceRegistry;
        return registry;
    }

    void AddStrings(HMODULE module, const StringResource* entries, size_t count) {
        std::lock_guard lock(mutex_);
        auto& strings = modules_[module].strings;
        for (size_t i = 0; i < count; ++i)
            if (entries[i].text) strings[entries[i].id] = std::u16string_view(entries[i].text);
    }

    void RemoveStrings(HMODULE module) {
        std::lock_guard lock(mutex_);
        auto it = modules_.find(module);
        if (it != modules_.end()) it->second.strings.clear();
    }

    const WCHAR* FindString(HMODULE module, UINT id, size_t* length) {
        std::lock_guard lock(mutex_);
        auto it = modules_.find(module);
        if (it == modules_.end()) return nullptr;
        auto found = it->second.strings.find(id);
        if (found == it->second.strings.end()) return nullptr;
        if (length) *length = found->second.size();
        return found->second.data();
    }

    void AddResource(HMODULE module, std::string type, UINT id, ResourceData data) {
        std::lock_guard lock(mutex_);
        modules_[module].resources[{std::move(type), id}] = data;
    }

    const void* FindResource(HMODULE module, const std::string& type, UINT id, size_t* size) {
        std::lock_guard lock(mutex_);
        auto it = modules_.find(module);
        if (it == modules_.end()) return nullptr;
        auto found = it->second.resources.find({type, id});
        if (found == it->second.resources.end()) return nullptr;
        if (size) *size = found->second.size;
        return found->second.data;
    }

    void RemoveModule(HMODULE module) {
        std::lock_guard lock(mutex_);
        modules_.erase(module);
    }

  private:
    std::mutex mutex_;
    std::unordered_map<HMODULE, ModuleResources> modules_;
};

// The registry key of a resource type: "#n" for numbers, the upper-cased name otherwise.
std::string TypeKey(const char* type) {
    if (IsIntResource(type)) {
        std::string key(1, '#');
        key.append(std::to_string(reinterpret_cast<uintptr_t>(type)));
        return key;
    }
    std::string key(type);
    for (char& c : key) c = text::FoldUpper(c);
    return key;
}

HMODULE OrMainModule(HMODULE module) {
    return module ? module : MainModule();
}

}  // namespace

void RegisterStringTable(HMODULE module, const StringResource* entries, size_t count) {
    if (!entries || count == 0) return;
    ResourceRegistry::Instance().AddStrings(OrMainModule(module), entries, count);
}

void UnregisterStringTable(HMODULE module) {
    ResourceRegistry::Instance().RemoveStrings(OrMainModule(module));
}

const WCHAR* FindStringResource(HMODULE module, UINT id, size_t* length) {
    return ResourceRegistry::Instance().FindString(OrMainModule(module), id, length);
}

void RegisterResource(HMODULE module, const char* type, UINT id, const void* data, size_t size) {
    if (!type || !data) return;
    ResourceRegistry::Instance().AddResource(OrMainModule(module), TypeKey(type), id,
                                             ResourceData{data, size});
}

const void* FindResource(HMODULE module, const char* type, UINT id, size_t* size) {
    if (!type) return nullptr;
    return ResourceRegistry::Instance().FindResource(OrMainModule(module), TypeKey(type), id, size);
}

void UnregisterResources(HMODULE module) {
    ResourceRegistry::Instance().RemoveModule(OrMainModule(module));
}

}  // namespace qzo::platform
