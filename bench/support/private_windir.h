// Shared by the benchmark programs that load the library's settings: runs the program again
// with a private Windows directory (QZO_WINDIR) in a fresh temporary folder, so that nothing the
// library reads or writes touches the user's configuration, and removes that folder at the end.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace qzo::bench {

// When the caller chose no QZO_WINDIR, makes /tmp/qzo-bench-<tag>-XXXXXX, calls `prepare` (to
// set further variables for the new run) and re-executes the program there; does not return
// then unless that failed. Returns true to go on in this process, false on failure.
template <class Prepare>
bool UsePrivateWindir(char** argv, const char* tag, Prepare prepare) {
    if (std::getenv("QZO_WINDIR")) return true;
    const std::string pattern = std::string("/tmp/qzo-bench-") + tag + "-XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (!mkdtemp(folder.data()) || setenv("QZO_WINDIR", folder.data(), 1) != 0) return false;
    setenv("QZO_BENCH_OWNS_WINDIR", "1", 1);
    prepare();
    execv("/proc/self/exe", argv);
    return false;
}

inline bool UsePrivateWindir(char** argv, const char* tag) {
    return UsePrivateWindir(argv, tag, [] {});
}

// Removes the private Windows directory when this run made it.
inline void RemovePrivateWindir() {
    if (!std::getenv("QZO_BENCH_OWNS_WINDIR")) return;
    std::error_code ignored;
    std::filesystem::remove_all(std::getenv("QZO_WINDIR"), ignored);
}

}  // namespace qzo::bench
