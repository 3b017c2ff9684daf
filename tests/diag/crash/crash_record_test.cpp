// The crash record, produced by child processes that really fault: the record's file, texts and
// order, appending, one record per process, and the guard, foreign-handler and ReInit cases; and
// the computer's identity as separate processes derive it. The child program links the shared
// library; the tests copy both into "App/Bin/" of a temporary folder and run the copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag/exceptions/diag_fixture.h"
#include "qzobj/hashid.h"
#include "qzobj/platform/guard.h"
#include "support/fixture.h"
#include "support/stopwatch.h"
#include "support/text.h"

extern char** environ;

namespace qzo::test {
namespace {

struct ChildOutcome {
    bool exited = false;  // ended by exit: `code` holds the status
    int code = -1;
    int signal = 0;      // ended by this signal
    std::string output;  // what the child wrote to standard output
    int pid = 0;         // also the ID of its main thread
};

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

// Copies the child program and the library into <root>/App/Bin/, so that the crash record lands
// in <root>/App/; the child finds the library beside itself. False when a copy failed.
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

// The child copied by InstallApplication.
std::string ApplicationChild(const std::string& root) {
    return root + "/App/Bin/qzo_crash_child";
}

// Runs `program mode` with the current environment plus `extraEnvironment` ("NAME=value"; it
// replaces an entry of the same name) and waits up to 30 s; a child still running then is killed.
ChildOutcome RunChild(const std::string& program, const std::string& mode,
                      const std::vector<std::string>& extraEnvironment = {}) {
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

class CrashRecord : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        if (!qzo::platform::SignalGuardEnabled()) GTEST_SKIP() << "faults are not caught here";
        ASSERT_TRUE(InstallApplication(TempDir()));
    }

    void WriteBuildFile(const std::string& build) {
        std::filesystem::create_directories(TempPath("App/Bin/resource"));
        WriteFileBytes(TempPath("App/Bin/resource/x.sc"), "[Version]\r\nBuild=" + build + "\r\n");
    }

    ChildOutcome Run(const std::string& mode) {
        return RunChild(ApplicationChild(TempDir()), mode);
    }
    std::string Record() const { return ReadFileBytes(TempPath("App/CrashRecord.txt")); }
    bool HasRecord() const { return FileExists(TempPath("App/CrashRecord.txt")); }
};

TEST_F(CrashRecord, NullWriteOnTheMainThreadRecordsAndDiesBySegmentationFault) {
    WriteBuildFile("4.2.17");
    const ChildOutcome outcome = Run("null-main");
    EXPECT_EQ(outcome.signal, SIGSEGV);
    ASSERT_TRUE(HasRecord());
    const std::string record = Record();
    // The head: "\r\n\nCrash record\r\n" then weekday,day.month.year hh:mm:ss.
    const std::regex head(
        "^\r\n\nCrash record\r\n(Sunday|Monday|Tuesday|Wednesday|Thursday|Friday|Saturday),"
        "[0-9]{1,2}\\.(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)\\.[0-9]{4} "
        "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\r\n");
    EXPECT_TRUE(std::regex_search(record, head)) << record.substr(0, 80);
    // The reporting steps, in this order.
    const std::string steps[] = {"\rThread: Main (0x" + Hex8(unsigned(outcome.pid)) + ")\r\n",
                                 "Build 4.2.17\r\n",
                                 "\r\nException 0xC0000005 @ 0x",
                                 "\r\nACCESS_VIOLATION @ 0x",
                                 "RAX=",
                                 "Call stack:"};
    size_t previous = 0;
    for (const std::string& step : steps) {
        const size_t at = record.find(step);
        EXPECT_NE(at, std::string::npos) << step;
        EXPECT_LT(previous, at) << step;  // the head comes first
        previous = at;
    }
    EXPECT_EQ(CountOf(record, "Crash record"), 1u);

    // A second run appends its own record.
    EXPECT_EQ(Run("null-main").signal, SIGSEGV);
    const std::string twice = Record();
    EXPECT_EQ(twice.rfind(record, 0), 0u);
    EXPECT_EQ(CountOf(twice, "\r\n\nCrash record\r\n"), 2u);
}

TEST_F(CrashRecord, DivisionByZeroOnAWorkerRecordsAndDiesByFloatingPointSignal) {
    const ChildOutcome outcome = Run("div-worker");
    EXPECT_EQ(outcome.signal, SIGFPE);
    const std::string record = Record();
    for (const char* part :
         {"\rThread: Unspecified worker thread (0x", "\r\nException 0xC0000094 @ 0x",
          "\r\nINT_DIVIDE_BY_ZERO @ 0x", "Call stack:"})
        EXPECT_NE(record.find(part), std::string::npos) << part;
    EXPECT_EQ(record.find("Thread: Main"), std::string::npos);
    // Without a build file there is no build line.
    EXPECT_EQ(record.find("Build "), std::string::npos);
}

TEST_F(CrashRecord, TwoThreadsFaultingAtOnceLeaveOneCompleteRecord) {
    const ChildOutcome outcome = Run("two-threads");
    EXPECT_EQ(outcome.signal, SIGSEGV);
    const std::string record = Record();
    for (const char* part :
         {"Crash record", "Thread: ", "\r\nACCESS_VIOLATION @ 0x", "RAX=", "Call stack:"})
        EXPECT_EQ(CountOf(record, part), 1u) << part;
}

TEST_F(CrashRecord, AGuardedFaultLeavesNoRecord) {
    const ChildOutcome outcome = Run("guarded");
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.code, 0) << outcome.output;
    EXPECT_FALSE(HasRecord());
}

TEST_F(CrashRecord, AForeignHandlerTakesFaultsUntilReInit) {
    const ChildOutcome foreign = Run("foreign");
    EXPECT_TRUE(foreign.exited);
    EXPECT_EQ(foreign.code, 3);
    EXPECT_FALSE(HasRecord());

    const ChildOutcome restored = Run("foreign-reinit");
    EXPECT_EQ(restored.signal, SIGSEGV);
    EXPECT_NE(Record().find("\r\nACCESS_VIOLATION @ 0x"), std::string::npos);
}

TEST_F(CrashRecord, AnUncaughtExceptionIsRecordedUnderItsOwnCode) {
    const ChildOutcome outcome = Run("uncaught");
    EXPECT_EQ(outcome.signal, SIGABRT);
    const std::string record = Record();
    EXPECT_EQ(CountOf(record, "Crash record"), 1u);
    EXPECT_NE(record.find("\r\nException 0xE0515A43 @ 0x"), std::string::npos);
}

TEST_F(CrashRecord, ASecondExceptionAfterTheFirstReturnsAtOnceWithoutWriting) {
    const ChildOutcome outcome = Run("filter-twice");
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.output, "1 1\n");
    EXPECT_EQ(CountOf(Record(), "Crash record"), 1u);
}

class ComputerIdentity : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        ASSERT_TRUE(InstallApplication(TempDir()));
    }
    ChildOutcome Run(const std::string& name) {
        return RunChild(ApplicationChild(TempDir()), "computer", {"QZO_COMPUTERNAME=" + name});
    }
};

TEST_F(ComputerIdentity, TwoProcessesOfOneComputerNameDeriveOneID) {
    const ChildOutcome first = Run("alpha");
    const ChildOutcome second = Run("alpha");
    ASSERT_TRUE(first.exited);
    EXPECT_EQ(first.code, 0);
    const std::string expected =
        "ALPHA " + Hex8(GetHashIDW(u"ALPHA")) + " " + Hex8(GetHashIDW(u"ALPHA")) + "\n";
    EXPECT_EQ(first.output, expected);
    EXPECT_EQ(second.output, expected);
    EXPECT_NE(Run("BETA").output, expected);
}

TEST_F(ComputerIdentity, AComputerWithoutNameGetsAMadeUpOne) {
    const ChildOutcome outcome = Run("");
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.code, 0);
    // "ZORB", years since 1996, month, day, seconds since midnight; ID = hash of that name.
    std::smatch match;
    ASSERT_TRUE(std::regex_match(outcome.output, match,
                                 std::regex("(ZORB[0-9]{6}[0-9]{1,5}) ([0-9A-F]{8}) \\2\n")))
        << outcome.output;
    EXPECT_LE(match[1].length(), 15);
    std::u16string wide;
    for (char c : match[1].str()) wide += char16_t(c);
    EXPECT_EQ(match[2].str(), Hex8(GetHashIDW(wide.c_str())));
}

}  // namespace
}  // namespace qzo::test
