// Shared by the benchmark programs that write files: makes a fresh folder for them under $TMPDIR
// (or /tmp).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace qzo::bench {

// Makes <TMPDIR>/qzo-bench-<tag>-XXXXXX and returns its path; empty when that failed.
inline std::string MakeTempFolder(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    const std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/qzo-bench-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) return std::string();
    return buffer.data();
}

}  // namespace qzo::bench
