// Main program of every test binary. It never lets a test touch the user's configuration: when
// QZO_WINDIR is not set, it creates a temporary one and runs itself again before the library's
// own start-up runs, so that even what the library writes while loading lands there. With
// --qzo-peer it serves as a peer process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/peer.h"

namespace {

// Runs before every default-priority static initialiser of the program, the library's
// start-up included (glibc hands constructors the program's arguments).
__attribute__((constructor(101))) void RunUnderPrivateWindowsDirectory(int /*argc*/, char** argv,
                                                                        char** /*envp*/) {
    const char* windir = std::getenv("QZO_WINDIR");
    if (windir && *windir) return;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qzo-windir-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) && setenv("QZO_WINDIR", buffer.data(), 1) == 0)
        execv("/proc/self/exe", argv);
    std::fputs("test main: cannot set up a temporary QZO_WINDIR\n", stderr);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--qzo-peer") == 0) return qzo::test::RunPeerLoop();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
