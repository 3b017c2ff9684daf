// The crash seam: a child started with QZO_CRASH_AT=N dies by SIGKILL at its N-th mutating file
// call. A write keeps exactly the bytes before the last 512-byte boundary it crosses, any other
// call never acts, and QZO_CRASH_TRACE lists every counted call up to the fatal one.
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/files/file_test_support.h"
#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/posix/crash_seam.h"

namespace {

using qzo::platform::File;
using qzo::test::FileExists;
using qzo::test::ReadFileBytes;
using qzo::test::WriteFileBytes;
using qzo::test::files::System;

// The script's steps, in the order of their counted calls.
const std::vector<std::string> kScriptKinds = {"open-truncate",
                                               "write",
                                               "write",
                                               "write",
                                               "set-end-of-file",
                                               "set-times",
                                               "create-directory",
                                               "move",
                                               "set-attributes",
                                               "replace-content",
                                               "delete",
                                               "remove-directory"};

bool WriteAt(File& file, uint64_t offset, char fill, DWORD length) {
    uint64_t position = 0;
    const std::string bytes(length, fill);
    DWORD done = 0;
    return file.Seek(static_cast<int64_t>(offset), FILE_BEGIN, position) &&
           file.Write(bytes.data(), length, done) && done == length;
}

// One call of each counted kind on files in `dir`; "DONE", or the step that failed.
std::string RunScript(const std::string& dir) {
    const std::string data = dir + "/data.bin", sub = dir + "/sub", moved = sub + "/moved.bin";
    auto file = File::Open(System(data).c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    if (!file) return "FAIL open";
    // The third write is a positioned one, so both kinds of write go through the seam.
    const std::string c(1100, 'c');
    DWORD done = 0;
    if (!WriteAt(*file, 0, 'a', 1000) || !WriteAt(*file, 1550, 'b', 50) ||
        !file->WriteAt(2000, c.data(), 1100, done) || done != 1100)
        return "FAIL write";
    uint64_t position = 0;
    if (!file->Seek(4000, FILE_BEGIN, position) || !file->SetEndOfFile()) return "FAIL end";
    const FILETIME time = qzo::platform::MakeFileTime(126000000000000000ull);
    if (!file->SetTimes(nullptr, nullptr, &time)) return "FAIL times";
    file.reset();
    if (!qzo::platform::CreateDirectory(sub)) return "FAIL directory";
    if (!qzo::platform::MoveFile(data, moved)) return "FAIL move";
    if (!qzo::platform::SetFileAttributes(System(moved).c_str(), FILE_ATTRIBUTE_NORMAL))
        return "FAIL attributes";
    if (!qzo::platform::ReplaceFileContent(dir + "/other.txt", "new")) return "FAIL replace";
    if (!qzo::platform::DeleteFile(moved)) return "FAIL delete";
    if (!qzo::platform::RemoveDirectory(sub)) return "FAIL remove";
    return "DONE";
}

}  // namespace

QZO_PEER_COMMAND(seam_script) {
    return RunScript(args.at(0));
}

namespace {

struct TraceLine {
    uint64_t number = 0;
    std::vector<std::string> fields;  // kind, path, then the extra fields
};

std::vector<TraceLine> ReadTrace(const std::string& path, const std::string& under) {
    std::vector<TraceLine> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        TraceLine parsed;
        std::string number;
        std::getline(fields, number, '\t');
        parsed.number = std::stoull(number);
        for (std::string field; std::getline(fields, field, '\t');) parsed.fields.push_back(field);
        if (parsed.fields.size() >= 2 && parsed.fields[1].rfind(under, 0) == 0)
            lines.push_back(parsed);
    }
    return lines;
}

class CrashSeam : public qzo::test::QzoTest {
  protected:
    // A fresh folder for one run of the script, with the file the script replaces.
    std::string FreshRunFolder(const std::string& name) {
        const std::string dir = TempPath(name);
        EXPECT_TRUE(qzo::platform::CreateDirectory(dir));
        WriteFileBytes(dir + "/other.txt", "old");
        return dir;
    }

    // Runs the script in a child with the given crash number (empty: none) and a trace.
    qzo::test::PeerExit RunChild(const std::string& dir, const std::string& crashAt,
                                 const std::string& trace, std::string* answer = nullptr,
                                 const std::string& onlyPaths = "") {
        qzo::test::Peer peer({{"QZO_CRASH_AT", crashAt},
                              {"QZO_CRASH_TRACE", trace},
                              {"QZO_CRASH_PATHS", onlyPaths}});
        EXPECT_TRUE(peer.Start());
        const std::string said = peer.Call("seam_script " + dir);
        if (answer) *answer = said;
        return peer.Wait();
    }

    // The numbers the child gives the script's calls, learned from a run with the trace only.
    // The first child of a test also writes the library's settings into the test's fresh
    // Windows directory, so the numbers come from a second run, which later children repeat.
    std::vector<TraceLine> LearnNumbers() {
        std::vector<TraceLine> lines;
        for (const std::string name : {"warm", "learn"}) {
            const std::string dir = FreshRunFolder(name);
            const std::string trace = TempPath(name + ".trace");
            std::string answer;
            const auto exit = RunChild(dir, "", trace, &answer);
            EXPECT_EQ(answer, "DONE");
            EXPECT_TRUE(exit.exited && exit.code == 0);
            lines = ReadTrace(trace, dir);
        }
        return lines;
    }
};

TEST(CrashSeamRule, WritesKeepWholeSectorsUpToTheLastBoundaryCrossed) {
    using qzo::platform::posix::BytesKeptByTornWrite;
    EXPECT_EQ(BytesKeptByTornWrite(0, 1000), 512u);
    EXPECT_EQ(BytesKeptByTornWrite(0, 512), 512u);  // ending on a boundary crosses it
    EXPECT_EQ(BytesKeptByTornWrite(0, 511), 0u);
    EXPECT_EQ(BytesKeptByTornWrite(512, 511), 0u);  // starting on one does not
    EXPECT_EQ(BytesKeptByTornWrite(1550, 50), 0u);
    EXPECT_EQ(BytesKeptByTornWrite(1500, 100), 36u);  // crosses 1536
    EXPECT_EQ(BytesKeptByTornWrite(2000, 1100), 1072u);
    EXPECT_EQ(BytesKeptByTornWrite(2236, 140), 0u);  // inside one sector: nothing
    EXPECT_EQ(BytesKeptByTornWrite(500, 24), 12u);
    EXPECT_EQ(BytesKeptByTornWrite(0, 0), 0u);
}

TEST_F(CrashSeam, WithoutTheVariablesNothingIsCountedOrKilled) {
    // This process never set QZO_CRASH_AT: the whole script runs here, to the end.
    EXPECT_FALSE(qzo::platform::posix::CrashSeamActive());
    EXPECT_EQ(RunScript(FreshRunFolder("here")), "DONE");
}

TEST_F(CrashSeam, TraceListsEveryCountedCallWithKindPathAndWriteRange) {
    const auto lines = LearnNumbers();
    ASSERT_EQ(lines.size(), kScriptKinds.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].fields[0], kScriptKinds[i]);
        if (i > 0) {
            EXPECT_EQ(lines[i].number, lines[i - 1].number + 1);
        }
    }
    const std::vector<std::string> writeRanges = {"0", "1000", "1550", "50", "2000", "1100"};
    for (size_t w = 0; w < 3; ++w) {
        ASSERT_EQ(lines[1 + w].fields.size(), 4u);
        EXPECT_EQ(lines[1 + w].fields[2], writeRanges[2 * w]);
        EXPECT_EQ(lines[1 + w].fields[3], writeRanges[2 * w + 1]);
    }
    ASSERT_EQ(lines[7].fields.size(), 3u);  // a move names its target
    EXPECT_NE(lines[7].fields[2].find("/sub/moved.bin"), std::string::npos);
}

TEST_F(CrashSeam, ChosenWriteKeepsOnlyTheBytesBeforeItsLastSectorBoundary) {
    const auto lines = LearnNumbers();
    ASSERT_EQ(lines.size(), kScriptKinds.size());
    const std::string a(1000, 'a'), gap1(550, '\0'), b(50, 'b'), gap2(400, '\0');
    struct Case {
        size_t step;
        std::string expected;
    };
    const Case cases[] = {
        {1, std::string(512, 'a')},                         // [0, 1000) keeps [0, 512)
        {2, a},                                             // [1550, 1600) crosses none: nothing
        {3, a + gap1 + b + gap2 + std::string(1072, 'c')},  // [2000, 3100) keeps [2000, 3072)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        const std::string dir = FreshRunFolder("write" + std::to_string(c.step));
        const std::string trace = dir + ".trace";
        const std::string number = std::to_string(lines[c.step].number);
        const auto exit = RunChild(dir, number, trace);
        EXPECT_TRUE(exit.signaled);
        EXPECT_EQ(exit.signal, SIGKILL);
        EXPECT_EQ(ReadFileBytes(dir + "/data.bin"), c.expected);
        const auto traced = ReadTrace(trace, dir);
        ASSERT_EQ(traced.size(), c.step + 1);  // the fatal call is the last line
        EXPECT_EQ(traced.back().number, lines[c.step].number);
        EXPECT_EQ(traced.back().fields[0], "write");
    }
}

TEST_F(CrashSeam, ChosenCallOtherThanAWriteDiesBeforeActing) {
    const auto lines = LearnNumbers();
    ASSERT_EQ(lines.size(), kScriptKinds.size());
    for (size_t step : {0u, 4u, 7u, 9u, 10u, 11u}) {
        SCOPED_TRACE(kScriptKinds[step]);
        const std::string dir = FreshRunFolder("call" + std::to_string(step));
        const auto exit = RunChild(dir, std::to_string(lines[step].number), "");
        EXPECT_TRUE(exit.signaled);
        EXPECT_EQ(exit.signal, SIGKILL);
        const std::string data = dir + "/data.bin", moved = dir + "/sub/moved.bin";
        switch (step) {
            case 0:
                EXPECT_FALSE(FileExists(data));
                break;  // never created
            case 4:
                EXPECT_EQ(ReadFileBytes(data).size(), 3100u);
                break;  // not extended
            case 7:
                EXPECT_TRUE(FileExists(data));
                EXPECT_FALSE(FileExists(moved));
                break;
            case 9:
                EXPECT_EQ(ReadFileBytes(dir + "/other.txt"), "old");
                break;
            case 10:
                EXPECT_TRUE(FileExists(moved));
                break;
            case 11:
                EXPECT_TRUE(qzo::platform::IsDirectory(dir + "/sub"));
                break;
        }
        if (step >= 9) {
            EXPECT_EQ(ReadFileBytes(dir + "/other.txt"), step == 9 ? "old" : "new");
        }
    }
}

TEST_F(CrashSeam, NumbersPastTheLastCallOrNotANumberNeverKill) {
    for (const std::string crashAt : {"1000000", "abc", "0", "-3"}) {
        SCOPED_TRACE(crashAt);
        std::string answer;
        const auto exit =
            RunChild(FreshRunFolder("none" + std::to_string(crashAt.size()) + crashAt.substr(0, 1)),
                     crashAt, "", &answer);
        EXPECT_EQ(answer, "DONE");
        EXPECT_TRUE(exit.exited);
        EXPECT_EQ(exit.code, 0);
    }
}

TEST_F(CrashSeam, PathPrefixLimitsCountingToTheChosenFiles) {
    // The first child of this test also writes the library's settings; with a prefix those
    // calls are not counted, so the script's calls are numbered from 1.
    const std::string dir = FreshRunFolder("only");
    const std::string trace = TempPath("only.trace");
    const auto exit = RunChild(dir, "3", trace, nullptr, dir + "/");
    EXPECT_TRUE(exit.signaled);
    EXPECT_EQ(exit.signal, SIGKILL);
    const auto traced = ReadTrace(trace, "");
    ASSERT_EQ(traced.size(), 3u);
    for (size_t i = 0; i < traced.size(); ++i) {
        EXPECT_EQ(traced[i].number, i + 1);
        EXPECT_EQ(traced[i].fields[0], kScriptKinds[i]);
    }
    // The third call wrote [1550, 1600), which crosses no boundary: the second write is lost.
    EXPECT_EQ(ReadFileBytes(dir + "/data.bin"), std::string(1000, 'a'));
}

}  // namespace
