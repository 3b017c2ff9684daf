// What the folder verbs read from a project folder without changing it: entries found without
// case, the counter and the lock state of "PRJ.IDS" (probed, never taken), folder sums.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qzo::tool {

namespace fs = std::filesystem;

bool EqualNoCase(std::string_view a, std::string_view b);
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

// The entry `name` of `folder`: the exact spelling first, then any spelling (the library finds
// names without case). Nothing when absent.
std::optional<fs::path> FindEntry(const fs::path& folder, std::string_view name);

// An existing folder, or false with the one-line reason in `error`.
bool CheckFolder(const char* folder, fs::path& path, std::string& error);

// The state of "PRJ.IDS" as other users see it.
struct IdsState {
    uint64_t fileSize = 0;
    uint32_t counter = 0;              // as stored
    bool counterLocked = false;        // someone is in a read-modify-write (bytes 0-3)
    bool projectLocked = false;        // one user holds all 256 slot bytes at once
    std::vector<unsigned> slotsInUse;  // slot indices whose byte another handle holds
};
// Reads the counter and probes the locks (F_OFD_GETLK: nothing is taken); false with the
// reason, naming the file, in `error`.
bool ReadIdsState(const fs::path& idsPath, IdsState& state, std::string& error);
// "1030 (0x00000406)", with a note for counters below the floor or at the end of the IDs.
std::string DescribeCounter(uint32_t counter);
// "2 of 256: 0 1" or "256 of 256 (project locked)".
std::string DescribeSlots(const IdsState& state);

// The total size and count of regular files below a folder (links are not followed).
struct FolderSum {
    uint64_t bytes = 0;
    uint64_t files = 0;
};
FolderSum SumFolder(const fs::path& folder);

}  // namespace qzo::tool
