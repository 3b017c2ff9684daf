// StoreLifeCrash: a writer killed at every counted file call of a short script (create, commits
// of growing and shrinking sizes, undo, commit over redo versions, compaction, flushed commit)
// leaves an object that restores to one of the script's contents, and one writer open and close
// leaves the history consistent for a further commit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "qzobj/project_locator.h"
#include "storelife/storelife_support.h"

extern char** environ;

namespace qzo::test::storelife {
namespace {

namespace fs = std::filesystem;
namespace fmt = qzo::store::object_file_format;

constexpr char kScriptDirVariable[] = "QZO_STORELIFE_CRASH_DIR";

std::vector<std::string> ScriptContents() {
    return {"",
            std::string(100, 'a'),
            std::string(3000, 'b'),
            std::string(50, 'c'),
            std::string(5000, 'd'),
            "e",
            std::string(700, 'f'),
            std::string(20, 'g')};
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// The script the child runs against the project at $QZO_STORELIFE_CRASH_DIR.
TEST(StoreLifeCrashChild, Script) {
    const char* dir = std::getenv(kScriptDirVariable);
    if (!dir) GTEST_SKIP() << "runs only as the crash test's child";
    const DWORD project = PrjLocator::RegisterProject(Wide(dir).c_str(), TRUE);
    ASSERT_NE(project, PRJLOC_NO_PROJECT);
    ASSERT_TRUE(PrjLocator::SetWorkingProject(project));
    ASSERT_TRUE(RegisterPayloadClass());
    const std::vector<std::string> contents = ScriptContents();
    Locator creator;
    ObjectHolder held(creator.CreateObject(&classCPayloadObject, 0));
    ASSERT_NE(held.object, nullptr);
    for (size_t i = 1; i <= 4; ++i) {
        held.payload()->payload = contents[i];
        ASSERT_TRUE(held.object->Commit(0));
    }
    ASSERT_TRUE(held.object->UnwindObject(-2, TRUE));
    held.payload()->payload = contents[5];
    ASSERT_TRUE(held.object->Commit(0));
    ASSERT_TRUE(const_cast<Locator&>(held.object->GetLocator()).Purge());
    held.payload()->payload = contents[6];
    ASSERT_TRUE(held.object->Commit(0));
    held.payload()->payload = contents[7];
    ASSERT_TRUE(held.object->Commit(LOCATOR_COMMIT_PURGE | LOCATOR_COMMIT_FLUSH));
}

class StoreLifeCrash : public LifeTest {
  protected:
    // Runs the script in a child with the extra environment; its wait status.
    int RunChild(const std::vector<std::string>& extra) {
        std::vector<std::string> variables;
        for (char** at = environ; *at; ++at) variables.push_back(*at);
        variables.push_back(std::string(kScriptDirVariable) + "=" + TempPath("proj"));
        for (const std::string& variable : extra) variables.push_back(variable);
        std::vector<char*> envp;
        for (std::string& variable : variables) envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::string self = fs::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=StoreLifeCrashChild.Script";
        char* argv[] = {self.data(), filter.data(), nullptr};
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            execve(self.c_str(), argv, envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return status;
    }

    std::string ObjectFolder() const { return TempPath("proj/OBJ"); }

    // The object file the script made, if any.
    bool FindObject(Location& where) const {
        if (!fs::exists(ObjectFolder())) return false;
        for (const auto& entry : fs::recursive_directory_iterator(ObjectFolder())) {
            if (entry.path().extension() != ".QZO") continue;
            where.Init();
            where.dwHashID =
                DWORD(std::stoul(entry.path().parent_path().filename().string(), nullptr, 16));
            where.dwObjID = DWORD(std::stoul(entry.path().stem().string(), nullptr, 16));
            where.dwProjID = projectID_;
            return true;
        }
        return false;
    }

    void CheckInvariants(const Location& where) const {
        const std::string bytes = FileBytes(where);
        const fmt::HistoryIndex index = Index(where);
        EXPECT_EQ(bytes.size(), index.header.dwDataEnd);
        std::set<DWORD> stamps;
        std::vector<std::pair<DWORD, DWORD>> ranges;
        for (DWORD slot = 0; slot < 64; ++slot) {
            const fmt::HistorySlot& record = index.slots[slot];
            if (record.dwModifyCnt == 0) continue;
            EXPECT_TRUE(stamps.insert(record.dwModifyCnt).second) << "slot " << slot;
            EXPECT_GE(record.dwOffset, 10240u);
            EXPECT_LE(record.dwOffset, record.dwEnd);
            EXPECT_LE(record.dwEnd, index.header.dwDataEnd);
            for (const auto& other : ranges)
                EXPECT_FALSE(record.dwOffset < other.second && other.first < record.dwEnd)
                    << "slot " << slot;
            ranges.emplace_back(record.dwOffset, record.dwEnd);
        }
    }

    void CheckAfterCrash(int call) {
        SCOPED_TRACE("crash at call " + std::to_string(call));
        Location where;
        if (!FindObject(where)) return;
        const std::vector<std::string> contents = ScriptContents();
        DWORD result = 0;
        const std::string restored = RestoredPayload(where, &result);
        if (result != 0) {
            // Only a creation that never reached its first commit point is refused.
            EXPECT_EQ(result, 128u);
            const fmt::HistoryIndex index = Index(where);
            EXPECT_TRUE(FileBytes(where).size() < 7920 || index.header.dwCurrent == 0xFFFFFFFFu);
            return;
        }
        EXPECT_NE(std::find(contents.begin(), contents.end(), restored), contents.end());
        {
            Locator writer(where);
            ObjectHolder edited(writer.RestoreObject(LOCATOR_ACCESS_RWE, 2000, 0, nullptr));
            ASSERT_NE(edited.object, nullptr);
            EXPECT_EQ(edited.payload()->payload, restored);
        }
        CheckInvariants(where);
        Locator writer(where);
        ObjectHolder edited(writer.RestoreObject(LOCATOR_ACCESS_RWE, 2000, 0, nullptr));
        ASSERT_NE(edited.object, nullptr);
        edited.payload()->payload = "after";
        ASSERT_TRUE(edited.object->Commit(0));
        edited.Reset();
        EXPECT_EQ(RestoredPayload(where), "after");
        CheckInvariants(where);
    }
};

TEST_F(StoreLifeCrash, EveryCallLeavesARestorableObject) {
    const std::string trace = TempPath("trace.txt");
    fs::create_directories(ObjectFolder());
    const std::string only = "QZO_CRASH_PATHS=" + ObjectFolder();
    const int clean = RunChild({"QZO_CRASH_TRACE=" + trace, only});
    ASSERT_TRUE(WIFEXITED(clean) && WEXITSTATUS(clean) == 0);
    std::ifstream lines(trace);
    int calls = 0;
    for (std::string line; std::getline(lines, line);) ++calls;
    ASSERT_GT(calls, 20);
    // A sample of about 30 calls keeps the program short; QZO_STORELIFE_CRASH_ALL=1 takes every
    // call.
    const int stride = std::getenv("QZO_STORELIFE_CRASH_ALL") ? 1 : std::max(1, calls / 30);
    std::cout << "[          ] " << calls << " counted calls, stride " << stride << "\n";
    for (int call = 1; call <= calls; call += stride) {
        fs::remove_all(ObjectFolder());
        fs::create_directories(ObjectFolder());
        const int status = RunChild({"QZO_CRASH_AT=" + std::to_string(call), only});
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "call " << call;
        CheckAfterCrash(call);
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace qzo::test::storelife
