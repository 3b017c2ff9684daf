// qzo project <folder>: a project folder as the library sees it: the ID from its
// "*.ProjectID" name, display name, format version, the layout files and folders, the ID
// counter and slots in use, object files per class folder and the recycle bin's size.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "project_folder.h"
#include "verbs.h"

namespace qzo::tool {

namespace {

constexpr char kUsage[] =
    "usage: qzo project <project folder>\n"
    "Shows the project's ID (from its *.ProjectID file), display name, format version\n"
    "(version.ini), which layout files and folders are present, the PRJ.IDS counter and user\n"
    "slots in use, the object files per class folder under OBJ/ and the recycle bin's size.\n"
    "Nothing is changed.\n"
    "Exit status: 0 shown, 1 the folder is not a readable project, 2 bad usage.\n";

constexpr uint32_t kNoProjectBits = 0x0000FC00;
constexpr uint32_t kCurrentVersion = 0x30000;
constexpr uint32_t kOldVersion = 0x10000;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The "*.ProjectID" files of the folder in name order without case; the first one counts.
std::vector<fs::path> ProjectIdFiles(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code statusError;
        if (!fs::is_regular_file(it->symlink_status(statusError))) continue;
        if (EndsWithNoCase(it->path().filename().string(), ".ProjectID"))
            found.push_back(it->path());
    }
    std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
        std::string x = a.filename().string(), y = b.filename().string();
        for (auto* s : {&x, &y})
            for (char& c : *s) c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
        return x < y;
    });
    return found;
}

// The project ID of a "*.ProjectID" name: 1 to 8 hex digits, no bit of 0x0000FC00.
bool ParseProjectId(const fs::path& file, uint32_t& id, std::string& error) {
    const std::string name = file.filename().string();
    const std::string digits = name.substr(0, name.size() - std::string(".ProjectID").size());
    if (digits.empty() || digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(), IsHexDigit)) {
        error = file.string() + ": the name is not a project ID (1 to 8 hex digits)";
        return false;
    }
    id = uint32_t(std::stoul(digits, nullptr, 16));
    if (id & kNoProjectBits) {
        error = file.string() + ": not a valid project ID (bits 0x0000FC00 set)";
        return false;
    }
    return true;
}

std::string Trim(std::string text) {
    const char* blanks = " \t\r\n";
    text.erase(0, text.find_first_not_of(blanks));
    const size_t last = text.find_last_not_of(blanks);
    text.erase(last == std::string::npos ? 0 : last + 1);
    return text;
}

// [VersionInfo] Version of "version.ini" as the library reads it: at most 8 characters parsed
// as hex; 0x10000 when missing or unparseable. `source` says where the value came from.
uint32_t ReadVersion(const fs::path& folder, std::string& source) {
    const std::optional<fs::path> ini = FindEntry(folder, "version.ini");
    if (!ini) {
        source = "no version.ini: old format";
        return kOldVersion;
    }
    std::ifstream in(*ini);
    std::string line, value;
    bool inSection = false, found = false;
    while (!found && std::getline(in, line)) {
        line = Trim(line);
        if (!line.empty() && line.front() == '[') {
            inSection = EqualNoCase(line, "[VersionInfo]");
        } else if (inSection) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos &&
                EqualNoCase(Trim(line.substr(0, equals)), "Version")) {
                value = Trim(line.substr(equals + 1)).substr(0, 8);
                found = true;
            }
        }
    }
    if (!found) {
        source = "version.ini without [VersionInfo] Version: old format";
        return kOldVersion;
    }
    size_t used = 0;
    try {
        const unsigned long parsed = std::stoul(value, &used, 16);
        source = "version.ini";
        return uint32_t(parsed);
    } catch (...) {
        source = "version.ini holds \"" + value + "\": read as old format";
        return kOldVersion;
    }
}

std::string VersionNote(uint32_t version) {
    if (version == kCurrentVersion) return "current";
    if (version < kCurrentVersion) return "older; raised when it becomes the working project";
    return "newer than this library: objects are read-only";
}

void ShowEntry(const fs::path& folder, const std::string& name, bool isFolder) {
    std::optional<fs::path> entry;
    // "Obj/storage/" lies one level down.
    const size_t slash = name.find('/');
    if (slash != std::string::npos && slash + 1 < name.size() - 1) {
        if (auto parent = FindEntry(folder, name.substr(0, slash)))
            entry = FindEntry(*parent, name.substr(slash + 1, name.size() - slash - 2));
    } else {
        entry = FindEntry(folder, isFolder ? name.substr(0, name.size() - 1) : name);
    }
    std::error_code error;
    const char* state = "missing";
    if (entry) {
        const bool directory = fs::is_directory(fs::symlink_status(*entry, error));
        state = directory == isFolder ? "present" : (isFolder ? "not a folder" : "not a file");
    }
    std::printf("  %-22s %s\n", name.c_str(), state);
}

void ShowIds(const fs::path& folder) {
    const std::optional<fs::path> ids = FindEntry(folder, "PRJ.IDS");
    if (!ids) {
        std::puts("PRJ.IDS:         missing (created when the project becomes the working one)");
        return;
    }
    IdsState state;
    std::string error;
    if (!ReadIdsState(*ids, state, error)) {
        std::printf("PRJ.IDS:         damaged: %s\n", error.c_str());
        return;
    }
    std::printf("ID counter:      %s\n", DescribeCounter(state.counter).c_str());
    std::printf("slots in use:    %s\n", DescribeSlots(state).c_str());
}

// The deletion mark of an object file is its read-only attribute: the write permission taken
// away, or the read-only bit of the library's attribute word ("user.qzo.attr").
bool IsMarkedDeleted(const fs::path& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) return true;
    unsigned char word[4] = {};
    return getxattr(file.c_str(), "user.qzo.attr", word, sizeof word) == 4 && (word[0] & 0x01);
}

void ShowObjects(const fs::path& folder) {
    const std::optional<fs::path> objects = FindEntry(folder, "OBJ");
    std::error_code error;
    if (!objects || !fs::is_directory(fs::symlink_status(*objects, error))) {
        std::puts("object files:    none (no OBJ/ folder)");
        return;
    }
    struct ClassFolder {
        std::string name;
        uint64_t objects = 0, deleted = 0;
    };
    std::vector<ClassFolder> classes;
    uint64_t total = 0, deleted = 0, classNameFiles = 0;
    for (fs::directory_iterator it(*objects, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code statusError;
        const fs::file_status status = it->symlink_status(statusError);
        const std::string name = it->path().filename().string();
        // Class reference files live in the class folders; older projects kept them in OBJ/.
        if (fs::is_regular_file(status) && EndsWithNoCase(name, ".Classname")) ++classNameFiles;
        if (!fs::is_directory(status) || EqualNoCase(name, "storage")) continue;
        ClassFolder folderCount{name};
        for (fs::directory_iterator file(it->path(), statusError), last;
             !statusError && file != last; file.increment(statusError)) {
            std::error_code fileError;
            if (!fs::is_regular_file(file->symlink_status(fileError))) continue;
            const std::string fileName = file->path().filename().string();
            if (EndsWithNoCase(fileName, ".Classname")) ++classNameFiles;
            if (!EndsWithNoCase(fileName, ".QZO")) continue;
            ++folderCount.objects;
            if (IsMarkedDeleted(file->path())) ++folderCount.deleted;
        }
        total += folderCount.objects;
        deleted += folderCount.deleted;
        classes.push_back(folderCount);
    }
    std::sort(classes.begin(), classes.end(),
              [](const ClassFolder& a, const ClassFolder& b) { return a.name < b.name; });
    std::printf(
        "object files:    %llu in %zu class folders (%llu marked deleted), %llu class-name "
        "files\n",
        static_cast<unsigned long long>(total), classes.size(),
        static_cast<unsigned long long>(deleted), static_cast<unsigned long long>(classNameFiles));
    for (const ClassFolder& entry : classes)
        std::printf("  OBJ/%s/  %llu objects, %llu deleted\n", entry.name.c_str(),
                    static_cast<unsigned long long>(entry.objects),
                    static_cast<unsigned long long>(entry.deleted));
}

void ShowRecycleBin(const fs::path& folder) {
    const std::optional<fs::path> recycle = FindEntry(folder, "Recycle");
    if (!recycle) {
        std::puts("recycle bin:     empty (no Recycle/ folder)");
        return;
    }
    const FolderSum sum = SumFolder(*recycle);
    std::printf("recycle bin:     %llu bytes in %llu files\n",
                static_cast<unsigned long long>(sum.bytes),
                static_cast<unsigned long long>(sum.files));
}

// The display name as the project directory shows it: the folder's last component, in the
// upper case in which the directory stores project paths.
std::string DisplayName(const fs::path& folder) {
    std::string text = folder.string();
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
    std::string name = fs::path(text).filename().string();
    for (char& c : name) c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    return name;
}

}  // namespace

int RunProject(int argc, char** argv) {
    const char* folder = nullptr;
    fs::path path;
    if (const int status = ParseFolderArguments(argc, argv, kUsage, "project", folder, path);
        status >= 0)
        return status;
    const std::vector<fs::path> idFiles = ProjectIdFiles(path);
    if (idFiles.empty()) {
        std::fprintf(stderr, "qzo project: %s: no *.ProjectID file: not a project folder\n",
                     folder);
        return 1;
    }
    uint32_t id = 0;
    std::string error;
    if (!ParseProjectId(idFiles.front(), id, error)) {
        std::fprintf(stderr, "qzo project: %s\n", error.c_str());
        return 1;
    }
    std::string versionSource;
    const uint32_t version = ReadVersion(path, versionSource);
    char idText[16];
    std::snprintf(idText, sizeof idText, "%08X", id);

    std::printf("folder:          %s\n", path.string().c_str());
    std::printf("name:            %s\n", DisplayName(path).c_str());
    std::printf("project ID:      %s (from %s)\n", idText,
                idFiles.front().filename().string().c_str());
    if (idFiles.size() > 1)
        std::printf("                 %zu more *.ProjectID files are ignored\n",
                    idFiles.size() - 1);
    std::printf("format version:  %08X (%s; %s)\n", version, VersionNote(version).c_str(),
                versionSource.c_str());
    std::puts("layout:");
    ShowEntry(path, "README.TXT", false);
    ShowEntry(path, "desktop.ini", false);
    ShowEntry(path, std::string(idText) + ".ProjectID", false);
    ShowEntry(path, "version.ini", false);
    ShowEntry(path, "PRJ.IDS", false);
    ShowEntry(path, "OBJ/", true);
    ShowEntry(path, "Obj/storage/", true);
    ShowEntry(path, "workgroup/", true);
    ShowEntry(path, "Recycle/", true);
    ShowIds(path);
    ShowObjects(path);
    ShowRecycleBin(path);
    return 0;
}

}  // namespace qzo::tool
