// qzo ids <folder>: the counter of a project's "PRJ.IDS", the user slots in use and whether the
// counter lock or the project lock is held. Reads and probes only; takes no lock.
#include <cstdio>

#include "project_folder.h"
#include "verbs.h"

namespace qzo::tool {

namespace {

constexpr char kUsage[] =
    "usage: qzo ids <project folder>\n"
    "Shows the project's PRJ.IDS: the next free object ID, which of the 256 user slots are in\n"
    "use, and whether the counter lock or the project lock is held. Nothing is changed.\n"
    "Exit status: 0 shown, 1 the folder or its PRJ.IDS cannot be read, 2 bad usage.\n";

}  // namespace

int RunIds(int argc, char** argv) {
    const char* folder = nullptr;
    fs::path path;
    if (const int status = ParseFolderArguments(argc, argv, kUsage, "ids", folder, path);
        status >= 0)
        return status;
    const fs::path ids = FindEntry(path, "PRJ.IDS").value_or(path / "PRJ.IDS");
    IdsState state;
    std::string error;
    if (!ReadIdsState(ids, state, error)) {
        std::fprintf(stderr, "qzo ids: %s\n", error.c_str());
        return 1;
    }
    std::printf("file:          %s (%llu bytes)\n", ids.string().c_str(),
                static_cast<unsigned long long>(state.fileSize));
    std::printf("counter:       %s\n", DescribeCounter(state.counter).c_str());
    std::printf("slots in use:  %s\n", DescribeSlots(state).c_str());
    std::printf("counter lock:  %s\n", state.counterLocked ? "held" : "free");
    std::printf("project lock:  %s\n", state.projectLocked ? "held" : "free");
    return 0;
}

}  // namespace qzo::tool
