// Copies the crash child into a temporary application folder and runs it with a bounded wait.
#include "child_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/stopwatch.h"

extern char** environ;

namespace qzo::test {
namespace {

namespace fs = std::filesystem;

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** p = environ; *p; ++p) {
        const std::string entry = *p;
        bool replaced = false;
        for (const std::string& e : extra) replaced = replaced || NameOf(e) == NameOf(entry);
        if (!replaced) merged.push_back(entry);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::string ReadAll(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
    return out;
}

}  // namespace

bool InstallApplication(const std::string& root) {
    std::error_code error;
    const fs::path bin = fs::path(root) / "App" / "Bin";
    fs::create_directories(bin, error);
    if (error) return false;
    const auto options = fs::copy_options::overwrite_existing;
    fs::copy_file(QZO_CRASH_CHILD, bin / "qzo_crash_child", options, error);
    if (error) return false;
    fs::copy_file(QZO_SHARED_LIBRARY, bin / QZO_SHARED_LIBRARY_SONAME, options, error);
    return !error;
}

std::string ApplicationChild(const std::string& root) {
    return root + "/App/Bin/qzo_crash_child";
}

ChildOutcome RunChild(const std::string& program, const std::string& mode,
                      const std::vector<std::string>& extraEnvironment) {
    ChildOutcome outcome;
    const std::vector<std::string> environment = MergedEnvironment(extraEnvironment);
    std::vector<char*> envp;
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(mode.c_str()), nullptr};
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return outcome;
    const pid_t child = fork();
    if (child < 0) return outcome;
    if (child == 0) {
        // The faults are deliberate: no core files.
        struct rlimit noCore {};
        setrlimit(RLIMIT_CORE, &noCore);
        dup2(pipeFds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    outcome.pid = int(child);
    int status = 0;
    const Stopwatch waited;
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0) {
        if (waited.Ms() > 30000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            done = child;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    outcome.output = ReadAll(pipeFds[0]);
    close(pipeFds[0]);
    if (done != child) return outcome;
    outcome.exited = WIFEXITED(status);
    outcome.code = outcome.exited ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return outcome;
}

}  // namespace qzo::test
