// Recursive deletion that never follows a link, walking folders by descriptor so that a folder
// replaced by a link during the walk is not entered either.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {
namespace {

// Keeps the first errno met while the walk goes on.
struct FirstError {
    int error = 0;
    void note(int e) {
        if (!error) error = e;
    }
};

void RemoveContents(int folder, FirstError& failure);

// Removes the entry `name` of the open folder `parent`.
void RemoveEntry(int parent, const char* name, FirstError& failure) {
    struct stat st;
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        failure.note(errno);
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlinkat(parent, name, 0) != 0) failure.note(errno);
        return;
    }
    // The owner needs write and search permission to empty the folder.
    if ((st.st_mode & S_IRWXU) != S_IRWXU) fchmodat(parent, name, st.st_mode | S_IRWXU, 0);
    int child = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
        failure.note(errno);
        return;
    }
    RemoveContents(child, failure);  // takes ownership of `child`
    if (unlinkat(parent, name, AT_REMOVEDIR) != 0) failure.note(errno);
}

void RemoveContents(int folder, FirstError& failure) {
    DIR* dir = fdopendir(folder);
    if (!dir) {
        failure.note(errno);
        close(folder);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    for (const auto& name : names) RemoveEntry(dirfd(dir), name.c_str(), failure);
    closedir(dir);
}

}  // namespace

bool RemoveTree(const std::string& native) {
    FirstError failure;
    std::string parent = posix::ParentOf(native);
    std::string trimmed = native;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::string name =
        trimmed.substr(trimmed.rfind('/') == std::string::npos ? 0 : trimmed.rfind('/') + 1);
    if (name.empty() || name == "/" || name == "." || name == "..") {
        return posix::Fail(ERROR_ACCESS_DENIED);  // never the root or a folder named by dots
    }
    if (posix::CrashSeamActive())
        posix::CountMutatingCall(posix::MutatingCall::kRemoveTree, native);
    posix::Descriptor folder(
        open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return posix::FailOnPath(errno, native);
    RemoveEntry(folder.get(), name.c_str(), failure);
    if (failure.error) return posix::FailOnPath(failure.error, native);
    return true;
}

}  // namespace qzo::platform
