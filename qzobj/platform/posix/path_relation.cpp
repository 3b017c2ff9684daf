// Path containment by file identity: the canonical form of each path (links and ".."
// resolved by the kernel), then a walk up the canonical ancestors comparing (device, inode).
#include "qzobj/platform/path_relation.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qzobj/platform/path.h"

namespace qzo::platform {
namespace {

struct Identity {
    dev_t device;
    ino_t inode;
    bool operator==(const Identity& other) const {
        return device == other.device && inode == other.inode;
    }
};

bool Canonical(const std::string& native, std::string& canonical) {
    char buffer[PATH_MAX];
    if (!realpath(native.c_str(), buffer)) return false;
    canonical = buffer;
    return true;
}

bool IdentityOf(const std::string& native, Identity& identity) {
    struct stat st;
    if (stat(native.c_str(), &st) != 0) return false;
    identity = Identity{st.st_dev, st.st_ino};
    return true;
}

std::string ParentOf(const std::string& canonical) {
    size_t slash = canonical.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return canonical.substr(0, slash);
}

// The identities of a canonical path and each of its ancestors up to the root.
std::vector<Identity> Chain(std::string canonical) {
    std::vector<Identity> chain;
    for (;;) {
        Identity identity;
        if (IdentityOf(canonical, identity)) chain.push_back(identity);
        if (canonical == "/") return chain;
        canonical = ParentOf(canonical);
    }
}

// The canonical form of the deepest existing ancestor of `native` (itself when it exists).
// A missing component followed by ".." could name anything once created: refused.
bool DeepestExisting(std::string native, std::string& canonical, bool& exists) {
    exists = true;
    while (!native.empty()) {
        if (Canonical(native, canonical)) return true;
        exists = false;
        while (native.size() > 1 && native.back() == '/') native.pop_back();
        size_t slash = native.find_last_of('/');
        std::string last = slash == std::string::npos ? native : native.substr(slash + 1);
        if (last == "..") return false;
        if (slash == std::string::npos) {
            native = ".";
        } else {
            native = slash == 0 ? "/" : native.substr(0, slash);
        }
    }
    return false;
}

}  // namespace

PathRelation RelatePaths(const WCHAR* path, const WCHAR* folder) {
    std::string nativePath, nativeFolder, canonicalFolder, canonicalPath;
    if (!path || !folder || !ResolvePath(path, nativePath) || !ResolvePath(folder, nativeFolder) ||
        !Canonical(nativeFolder, canonicalFolder))
        return PathRelation::kUnknown;
    bool exists = false;
    if (!DeepestExisting(nativePath, canonicalPath, exists)) return PathRelation::kUnknown;
    const std::vector<Identity> folderChain = Chain(canonicalFolder);
    if (folderChain.empty()) return PathRelation::kUnknown;
    const std::vector<Identity> pathChain = Chain(canonicalPath);
    if (pathChain.empty()) return PathRelation::kUnknown;
    const Identity& target = folderChain.front();
    if (exists) {
        if (pathChain.front() == target) return PathRelation::kSame;
        for (size_t i = 1; i < folderChain.size(); ++i)
            if (folderChain[i] == pathChain.front()) return PathRelation::kContains;
    }
    for (size_t i = exists ? 1 : 0; i < pathChain.size(); ++i)
        if (pathChain[i] == target) return PathRelation::kInside;
    return PathRelation::kUnrelated;
}

}  // namespace qzo::platform
