// The library reaches the operating system only through qzobj/platform/posix/: no other library
// source or public header includes a POSIX or Linux header. This keeps a Windows build one
// folder away.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Headers that belong to the platform layer only.
const std::regex& PlatformInclude() {
    static const std::regex pattern(
        R"(^\s*#\s*include\s*<(unistd\.h|fcntl\.h|dirent\.h|dlfcn\.h|pthread\.h|semaphore\.h|)"
        R"(signal\.h|csignal|setjmp\.h|csetjmp|ucontext\.h|execinfo\.h|link\.h|poll\.h|)"
        R"(pwd\.h|grp\.h|netdb\.h|termios\.h|sched\.h|syslog\.h|spawn\.h|glob\.h|fnmatch\.h|)"
        R"(sys/[^>]+|linux/[^>]+|netinet/[^>]+|arpa/[^>]+|asm/[^>]+|bits/[^>]+)>)");
    return pattern;
}

// Lines of `text` that include a platform header, as "line: text".
std::vector<std::string> PlatformIncludes(const std::string& text) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number)
        if (std::regex_search(line, PlatformInclude()))
            found.push_back(std::to_string(number) + ": " + line);
    return found;
}

TEST(Layering, DetectorFindsPlatformIncludes) {
    EXPECT_EQ(PlatformIncludes("#include <unistd.h>\n").size(), 1u);
    EXPECT_EQ(PlatformIncludes("  #  include <sys/stat.h>\n").size(), 1u);
    EXPECT_EQ(PlatformIncludes("#include <csignal>\n#include <dlfcn.h>\n").size(), 2u);
    EXPECT_TRUE(PlatformIncludes("#include <cstdio>\n#include <string>\n").empty());
    EXPECT_TRUE(PlatformIncludes("// see <unistd.h>\n").empty());
}

TEST(Layering, OnlyThePosixPlatformIncludesPlatformHeaders) {
    namespace fs = std::filesystem;
    const fs::path root = QZO_SOURCE_DIR;
    const fs::path allowed = root / "qzobj" / "platform" / "posix";
    std::vector<std::string> offences;
    size_t scanned = 0;
    for (const char* top : {"qzobj", "include"}) {
        for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
            if (!entry.is_regular_file()) continue;
            const auto ext = entry.path().extension();
            if (ext != ".h" && ext != ".cpp") continue;
            const auto relative = entry.path().lexically_relative(allowed);
            if (!relative.empty() && *relative.begin() != "..") continue;
            ++scanned;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            for (const auto& hit : PlatformIncludes(text.str()))
                offences.push_back(entry.path().lexically_relative(root).string() + ":" + hit);
        }
    }
    EXPECT_GT(scanned, 0u);
    for (const auto& offence : offences) ADD_FAILURE() << offence;
}

}  // namespace
