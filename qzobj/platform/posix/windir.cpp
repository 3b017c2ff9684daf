// The Windows directory, chosen from the environment on every call.
#include "qzobj/platform/windir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The account's home folder from the password database, for processes without $HOME.
std::string PasswordHome() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir)
        return "";
    return found->pw_dir;
}

}  // namespace

std::string WindowsDirectoryNative() {
    std::string explicitFolder = Environment("QZO_WINDIR");
    if (!explicitFolder.empty()) return WithoutTrailingSeparators(explicitFolder);
    // A relative configuration home is invalid by the XDG rules and is ignored.
    std::string config = Environment("XDG_CONFIG_HOME");
    if (!config.empty() && config.front() == '/')
        return WithoutTrailingSeparators(config) + "/qzobju";
    std::string home = Environment("HOME");
    if (home.empty()) home = PasswordHome();
    if (home.empty()) return "";
    return WithoutTrailingSeparators(home) + "/.config/qzobju";
}

UINT GetWindowsDirectory(WCHAR* buffer, UINT size) {
    std::string native = WindowsDirectoryNative();
    if (native.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    std::u16string path = FromNativePath(native);
    if (path.size() + 1 > size) return static_cast<UINT>(path.size() + 1);
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    text::Copy(buffer, size, path);
    return static_cast<UINT>(path.size());
}

bool EnsureWindowsDirectory() {
    std::string native = WindowsDirectoryNative();
    if (native.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return CreateDirectories(native);
}

std::string WindowsDirectoryFile(const std::string& name) {
    std::string native = WindowsDirectoryNative();
    if (native.empty()) return "";
    return ResolveNameInFolder(native, name);
}

}  // namespace qzo::platform
