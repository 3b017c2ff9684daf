// Case-insensitive mapping of system paths onto the native, case-sensitive file system.
#include "qzobj/platform/path.h"

#include <dirent.h>
#include <sys/stat.h>

#include <mutex>
#include <unordered_map>
#include <vector>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

bool EntryExists(const std::string& native) {
    struct stat st;
    return lstat(native.c_str(), &st) == 0;
}

// The entry of `folder` whose name equals `name` without case. Several candidates ("Obj" and
// "obj") resolve to the byte-wise smallest, so every caller lands on the same one.
bool ScanNoCase(const std::string& folder, std::string_view name, std::string& found) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return false;
    bool any = false;
    while (dirent* entry = readdir(dir)) {
        std::string_view candidate = entry->d_name;
        if (candidate == "." || candidate == "..") continue;
        if (!text::PathNameEqualNoCase(candidate, name)) continue;
        if (!any || candidate < found) found.assign(candidate);
        any = true;
    }
    closedir(dir);
    return any;
}

// Spellings found by earlier scans. Paths are stored upper-case by the callers, so the same
// components are looked up without case again and again, and a scan of a large folder (a busy
// temporary folder holds tens of thousands of entries) costs milliseconds each time. A spelling
// is served only after lstat confirms that it still exists, so a renamed or deleted entry is
// scanned for afresh; a case twin created after the first scan is found once the remembered
// spelling is gone. Bounded: the map is emptied when it is full.
//
// Thread safety: every member takes the guard.
class SpellingCache {
  public:
    bool Find(const std::string& key, std::string& spelling) {
        std::lock_guard<std::mutex> lock(guard_);
        auto found = spellings_.find(key);
        if (found == spellings_.end()) return false;
        spelling = found->second;
        return true;
    }
    void Remember(std::string key, std::string spelling) {
        std::lock_guard<std::mutex> lock(guard_);
        if (spellings_.size() >= kCapacity) spellings_.clear();
        spellings_[std::move(key)] = std::move(spelling);
    }

  private:
    static constexpr size_t kCapacity = 4096;
    std::mutex guard_;
    std::unordered_map<std::string, std::string> spellings_;
};

SpellingCache& Spellings() {
    static SpellingCache* cache = new SpellingCache;  // used by file calls until process exit
    return *cache;
}

bool FindNoCase(const std::string& folder, std::string_view name, std::string& found) {
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    std::string key = prefix;
    key += '\0';
    key += text::PathNameKey(name);
    if (Spellings().Find(key, found) && EntryExists(prefix + found)) return true;
    if (!ScanNoCase(folder, name, found)) return false;
    Spellings().Remember(std::move(key), found);
    return true;
}

std::vector<std::string_view> SplitComponents(std::string_view path) {
    std::vector<std::string_view> components;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || IsSeparator(path[i])) {
            if (i > start) components.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return components;
}

std::string Join(bool absolute, const std::vector<std::string_view>& components, bool trailing) {
    std::string joined = absolute ? "/" : "";
    for (size_t i = 0; i < components.size(); ++i) {
        if (i) joined += '/';
        joined += components[i];
    }
    if (trailing && !components.empty()) joined += '/';
    return joined;
}

// Walks the components, replacing each existing one by its on-disk spelling; from the first
// missing component on, the caller's spelling is kept.
std::string ResolveComponents(bool absolute, const std::vector<std::string_view>& components,
                              bool trailing) {
    std::string current = absolute ? "/" : "";
    bool missing = false;
    for (size_t i = 0; i < components.size(); ++i) {
        std::string_view component = components[i];
        std::string candidate = current + std::string(component);
        if (!missing && !EntryExists(candidate)) {
            std::string found;
            bool special = component == "." || component == "..";
            if (!special && FindNoCase(current, component, found)) {
                candidate = current + found;
            } else {
                missing = true;
            }
        }
        current = std::move(candidate);
        if (i + 1 < components.size() || trailing) current += '/';
    }
    return current;
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

}  // namespace

bool ResolvePath(const WCHAR* path, std::string& native) {
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    return ResolvePath(std::u16string_view(path, text::BoundedLength(path, MAX_PATH)), native);
}

bool ResolvePath(std::u16string_view path, std::string& native) {
    if (path.empty()) return Fail(ERROR_INVALID_PARAMETER);
    if (path.size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (path.find(u'\0') != std::u16string_view::npos) return Fail(ERROR_INVALID_NAME);
    if (HasDrivePrefix(path)) return Fail(ERROR_PATH_NOT_FOUND);

    const std::string utf8 = text::ToUtf8(path);
    const bool absolute = IsSeparator(utf8.front());
    const bool trailing = IsSeparator(utf8.back());
    const auto components = SplitComponents(utf8);
    if (components.empty()) {
        native = absolute ? "/" : ".";
        return true;
    }
    std::string exact = Join(absolute, components, trailing);
    native =
        EntryExists(exact) ? std::move(exact) : ResolveComponents(absolute, components, trailing);
    return true;
}

std::string ResolveNameInFolder(const std::string& folder, std::string_view name) {
    std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    std::string exact = prefix + std::string(name);
    if (EntryExists(exact)) return exact;
    std::string found;
    if (FindNoCase(folder, name, found)) return prefix + found;
    return exact;
}

std::u16string FromNativePath(std::string_view native) {
    return text::ToUtf16(native);
}

}  // namespace qzo::platform
