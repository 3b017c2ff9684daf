// Main program of every test binary. It never lets a test touch the user's configuration: when
// QZO_WINDIR is not set, it creates a temporary one and runs itself again before the library's
// own start-up runs, so that even what the library writes while loading lands there; the folder
// is removed when the run ends. With --qzo-peer it serves as a peer process.
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/peer.h"

namespace {

// Removes the private Windows directory once the test run that used it has ended.
void RemoveTree(const char* path) {
    nftw(
        path,
        [](const char* entry, const struct stat*, int, struct FTW*) { return ::remove(entry); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// Runs before every default-priority static initialiser of the program, the library's
// start-up included (glibc hands constructors the program's arguments). The run itself happens
// in a child started afresh with QZO_WINDIR set; this process only waits for it, removes the
// folder and ends with the child's status, without ever running the library's start-up.
__attribute__((constructor(101))) void RunUnderPrivateWindowsDirectory(int /*argc*/, char** argv,
                                                                       char** /*envp*/) {
    const char* windir = std::getenv("QZO_WINDIR");
    if (windir && *windir) return;
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qzo-windir-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()) || setenv("QZO_WINDIR", buffer.data(), 1) != 0) {
        std::fputs("test main: cannot set up a temporary QZO_WINDIR\n", stderr);
        std::_Exit(1);
    }
    const pid_t child = fork();
    if (child == 0) {
        execv("/proc/self/exe", argv);
        std::_Exit(127);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    RemoveTree(buffer.data());
    if (child < 0) std::_Exit(1);
    if (WIFSIGNALED(status)) {
        // End the way the run ended, so that a crash is reported as one.
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
        std::_Exit(128 + WTERMSIG(status));
    }
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--qzo-peer") == 0) return qzo::test::RunPeerLoop();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
