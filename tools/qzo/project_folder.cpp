// Reading a project folder for the folder verbs: case-free lookups, "PRJ.IDS" probes and sums.
#include "project_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "verbs.h"

namespace qzo::tool {

namespace {

constexpr unsigned kSlotCount = 256;
constexpr off_t kSlotsOffset = 4;
constexpr uint32_t kFirstID = 1024;

char Fold(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 32) : c;
}

// The lock another handle holds over [start, start + length), if any.
bool ProbeLock(int fd, off_t start, off_t length, struct flock& found) {
    found = {};
    found.l_type = F_WRLCK;
    found.l_whence = SEEK_SET;
    found.l_start = start;
    found.l_len = length;
    return fcntl(fd, F_OFD_GETLK, &found) == 0 && found.l_type != F_UNLCK;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::optional<fs::path> FindEntry(const fs::path& folder, std::string_view name) {
    std::error_code error;
    const fs::path exact = folder / name;
    if (fs::exists(fs::symlink_status(exact, error))) return exact;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (EqualNoCase(it->path().filename().string(), name)) return it->path();
    return std::nullopt;
}

bool CheckFolder(const char* folder, fs::path& path, std::string& error) {
    path = fs::path(folder);
    std::error_code code;
    const fs::file_status status = fs::status(path, code);
    if (!fs::exists(status)) {
        error = std::string(folder) + ": no such folder";
        return false;
    }
    if (!fs::is_directory(status)) {
        error = std::string(folder) + ": not a folder";
        return false;
    }
    return true;
}

bool ReadIdsState(const fs::path& idsPath, IdsState& state, std::string& error) {
    const std::string name = idsPath.string();
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = name + ": " + (errno == ENOENT ? std::string("missing") : std::strerror(errno));
        return false;
    }
    uint8_t bytes[4] = {};
    const ssize_t got = pread(fd, bytes, sizeof bytes, 0);
    const off_t size = lseek(fd, 0, SEEK_END);
    if (got < 0) {
        error = name + ": cannot be read (" + std::strerror(errno) + ")";
        close(fd);
        return false;
    }
    state.fileSize = size < 0 ? 0 : uint64_t(size);
    if (got < 4) {
        error = name + ": " + std::to_string(got) + " bytes, too short for the 4-byte counter";
        close(fd);
        return false;
    }
    state.counter = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                    uint32_t(bytes[3]) << 24;
    struct flock found;
    state.counterLocked = ProbeLock(fd, 0, 4, found);
    state.projectLocked = ProbeLock(fd, kSlotsOffset, kSlotCount, found) &&
                          found.l_start == kSlotsOffset && found.l_len == off_t(kSlotCount);
    for (unsigned slot = 0; slot < kSlotCount; ++slot)
        if (ProbeLock(fd, kSlotsOffset + off_t(slot), 1, found)) state.slotsInUse.push_back(slot);
    close(fd);
    return true;
}

std::string DescribeCounter(uint32_t counter) {
    char text[64];
    std::snprintf(text, sizeof text, "%u (0x%08X)", counter, counter);
    std::string description = text;
    if (counter < kFirstID) description += ", read as 1024";
    if (counter == 0xFFFFFFFFu) description += ", exhausted: no IDs left";
    return description;
}

std::string DescribeSlots(const IdsState& state) {
    std::string text =
        std::to_string(state.slotsInUse.size()) + " of " + std::to_string(kSlotCount);
    if (state.projectLocked) return text + " (project locked)";
    if (!state.slotsInUse.empty()) {
        text += ":";
        for (unsigned slot : state.slotsInUse) text += " " + std::to_string(slot);
    }
    return text;
}

FolderSum SumFolder(const fs::path& folder) {
    FolderSum sum;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code statusError;
        if (!fs::is_regular_file(it->symlink_status(statusError))) continue;
        const uintmax_t size = it->file_size(statusError);
        if (statusError) continue;
        sum.bytes += size;
        ++sum.files;
    }
    return sum;
}

int ParseFolderArguments(int argc, char** argv, const char* usage, const char* verb,
                         const char*& folder, fs::path& path) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 1 || argv[0][0] == '-' || argv[0][0] == '\0') {
        std::fputs(usage, stderr);
        return 2;
    }
    folder = argv[0];
    std::string error;
    if (!CheckFolder(folder, path, error)) {
        std::fprintf(stderr, "qzo %s: %s\n", verb, error.c_str());
        return 1;
    }
    return -1;
}

}  // namespace qzo::tool
