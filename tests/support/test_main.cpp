// Main program of every test binary. It never lets a test touch the user's configuration: when
// QZO_WINDIR is not set, it creates a temporary one and runs itself again, so that even what the
// library writes while loading lands there. With --qzo-peer it serves as a peer process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/peer.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--qzo-peer") == 0) return qzo::test::RunPeerLoop();
    const char* windir = std::getenv("QZO_WINDIR");
    if (!windir || !*windir) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/qzo-windir-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) && setenv("QZO_WINDIR", buffer.data(), 1) == 0) {
            execv("/proc/self/exe", argv);
        }
        std::fputs("test main: cannot set up a temporary QZO_WINDIR\n", stderr);
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
