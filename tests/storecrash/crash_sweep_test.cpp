// The crash sweep: a script of object-store steps run in a child process that dies by SIGKILL at
// its N-th mutating file call, for every N the script makes (every 7th in sanitizer builds), and
// what this process then checks: the object restores to the last finished or the in-flight
// version, every slot the index lists holds one of those versions, one writer's open and close
// leaves a file that keeps the history's invariants, and a further commit works. Two scripts: a
// long history (working project, create, 70 commits that wrap the ring, undo, commit, purge) and
// a short one whose purge moves a larger version down (create small, commit larger, purge). Each
// runs once traced to count its mutating file calls, then once per crash point; three children
// run at a time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "qzobj/project_locator.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/simulated_network.h"
#include "support/stopwatch.h"
#include "store/support/store_image.h"
#include "store/support/store_object.h"
#include "store/support/store_peer_commands.h"
#include "support/text.h"

namespace qzo::test::store {
namespace {

struct Step {
    enum Kind { kProject, kCreate, kCommit, kUndo, kPurge };
    Kind kind = kProject;
    DWORD tag = 0;
    DWORD size = 0;
    DWORD flags = 0;
};
using Script = std::vector<Step>;

// What the object holds after some steps: whether it exists, the current ModifyCnt and the
// version (tag) stored under each ModifyCnt that may still be listed.
struct ObjectModel {
    bool exists = false;
    DWORD current = 0;
    std::map<DWORD, DWORD> tagOf;

    DWORD CurrentTag() const;
    void Apply(const Step& step);
};

// How one child ran: the step a crash interrupted (-1 when every step finished) and a failure
// text when something else went wrong (a step answered FAIL, the child died otherwise ...).
struct ChildRun {
    int inFlight = -1;
    std::string failure;
};

// The folders of one run: the child's private root (the crash seam counts only calls below it),
// the project folder inside it (upper case, trailing '/') and the child's Windows directory.
struct RunFolders {
    std::string root;
    std::string project;
    std::string windir;
};
// `seed` (may be empty) is a Windows directory whose settings files the new one starts with, so
// that a child does not write (and flush) them all again at start-up.
RunFolders MakeRunFolders(const std::string& base, const std::string& name,
                          const std::string& seed = std::string());

std::string CommandOf(const Step& step, const std::string& project) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "%X", unsigned(step.flags));
    switch (step.kind) {
        case Step::kProject:
            return "store_project " + project;
        case Step::kCreate:
            return "store_create " + std::to_string(step.tag) + " " + std::to_string(step.size);
        case Step::kCommit:
            return "store_commit " + std::to_string(step.tag) + " " + std::to_string(step.size) +
                   " " + flags;
        case Step::kUndo:
            return "store_undo";
        case Step::kPurge:
            return "store_purge";
    }
    return "exit 3";
}

// The object files of a project: "<OBJ>/<class>/<object>.QZO" whatever the case, with the class
// folder's and the file's names read as hexadecimal.
struct FoundObject {
    std::string path;
    DWORD hashID = 0;
    DWORD objID = 0;
};

std::vector<FoundObject> ObjectFiles(const std::string& project) {
    std::vector<FoundObject> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(project, error)) {
        const std::filesystem::path& path = entry.path();
        std::string extension = path.extension().string();
        for (char& c : extension) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (extension != ".QZO" || path.parent_path().parent_path().parent_path() !=
                                       std::filesystem::path(project).parent_path())
            continue;
        found.push_back(FoundObject{
            path.string(), DWORD(std::strtoul(path.parent_path().filename().c_str(), nullptr, 16)),
            DWORD(std::strtoul(path.filename().c_str(), nullptr, 16))});
    }
    return found;
}

std::string Describe(const ChildRun& run) {
    return run.inFlight < 0 ? std::string("after the whole script")
                            : "in step " + std::to_string(run.inFlight);
}

bool OneOf(DWORD tag, const ObjectModel& before, const ObjectModel& after, DWORD modifyCnt) {
    auto has = [&](const ObjectModel& model) {
        auto it = model.tagOf.find(modifyCnt);
        return it != model.tagOf.end() && it->second == tag;
    };
    return has(before) || has(after);
}

ObjectRef RestoreAt(const Location& location, DWORD access, DWORD* result) {
    Locator locator(location);
    return ObjectRef(locator.RestoreObject(access, 2000, 0, result));
}

// Every slot the index lists holds a whole version stored under its ModifyCnt.
std::string CheckListedSlots(const std::string& path, const ObjectModel& before,
                             const ObjectModel& after) {
    const Bytes file = ReadFile(path);
    const ImageIndex index = ParseIndex(file);
    if (index.size != kIndexSize) return "no readable index";
    for (uint32_t i = 0; i < kSlotCount; ++i) {
        const ImageSlot& slot = index.slots[i];
        if (slot.modifyCnt == 0) continue;
        const auto content = ReadVersion(file, slot.offset, SlotEnd(index, i));
        if (!content)
            return "listed slot " + std::to_string(i) + " (ModifyCnt " +
                   std::to_string(slot.modifyCnt) + ") holds no whole version";
        if (!OneOf(content->tag, before, after, slot.modifyCnt))
            return "listed slot " + std::to_string(i) + " holds version " +
                   std::to_string(content->tag) + " under ModifyCnt " +
                   std::to_string(slot.modifyCnt);
    }
    return {};
}

// The checks on an object that exists: restore, listed slots, one writer's open and close, the
// closed file's invariants, a further commit.
std::string CheckObject(const Location& location, const std::string& path,
                        const ObjectModel& before, const ObjectModel& after) {
    DWORD result = 0;
    ObjectRef reader = RestoreAt(location, LOCATOR_ACCESS_READ, &result);
    if (!reader.test()) {
        if (!before.exists && result == LOCATOR_FAILED) return {};  // refused during creation
        return "restore failed with " + std::to_string(result);
    }
    const DWORD tag = reader.test()->tag;
    reader.reset();
    if ((!before.exists || tag != before.CurrentTag()) && tag != after.CurrentTag())
        return "restored version " + std::to_string(tag) + ", expected " +
               (before.exists ? std::to_string(before.CurrentTag()) + " or " : std::string()) +
               std::to_string(after.CurrentTag());
    if (std::string broken = CheckListedSlots(path, before, after); !broken.empty()) return broken;

    ObjectRef writer = RestoreAt(location, LOCATOR_ACCESS_RWE, &result);
    if (!writer.test()) return "writer could not open: " + std::to_string(result);
    if (writer.test()->tag != tag) return "the writer sees another version than the reader";
    writer.reset();
    if (std::string broken = CheckClosedFile(ReadFile(path)); !broken.empty())
        return "after one writer: " + broken;

    writer = RestoreAt(location, LOCATOR_ACCESS_RWE, &result);
    if (!writer.test()) return "second writer could not open: " + std::to_string(result);
    writer.test()->SetContent(9999, 1234);
    if (!writer->Commit(0)) return "a further commit failed";
    writer.reset();
    reader = RestoreAt(location, LOCATOR_ACCESS_READ, &result);
    if (!reader.test() || reader.test()->tag != 9999 || !reader.test()->Intact())
        return "the further commit does not restore";
    reader.reset();
    if (std::string broken = CheckClosedFile(ReadFile(path)); !broken.empty())
        return "after the further commit: " + broken;
    return {};
}

DWORD ObjectModel::CurrentTag() const {
    auto it = tagOf.find(current);
    return it == tagOf.end() ? 0xFFFFFFFFu : it->second;
}

void ObjectModel::Apply(const Step& step) {
    switch (step.kind) {
        case Step::kProject:
            break;
        case Step::kCreate:
            exists = true;
            current = 1;
            tagOf = {{1, step.tag}};
            break;
        case Step::kCommit:
            ++current;
            tagOf.erase(tagOf.upper_bound(current - 1), tagOf.end());  // redo versions go
            tagOf[current] = step.tag;
            if (step.flags & LOCATOR_COMMIT_PURGE) tagOf = {{current, step.tag}};
            break;
        case Step::kUndo:
            --current;
            break;
        case Step::kPurge:
            tagOf = {{current, CurrentTag()}};
            break;
    }
}

ObjectModel ModelAfter(const Script& script, size_t count) {
    ObjectModel model;
    for (size_t i = 0; i < count && i < script.size(); ++i) model.Apply(script[i]);
    return model;
}

RunFolders MakeRunFolders(const std::string& base, const std::string& name,
                          const std::string& seed) {
    RunFolders folders;
    folders.root = base + "/" + name;
    folders.project = folders.root + "/PROJ/";
    folders.windir = base + "/W" + name;
    mkdir(folders.root.c_str(), 0777);
    mkdir(folders.windir.c_str(), 0777);
    std::error_code error;
    if (!seed.empty())
        for (const auto& file : std::filesystem::directory_iterator(seed, error))
            if (file.path().extension() != ".lck" && file.path().filename().c_str()[0] != '.')
                std::filesystem::copy_file(
                    file.path(), std::filesystem::path(folders.windir) / file.path().filename(),
                    error);
    return folders;
}

// The number of counted calls a trace file lists.
unsigned long TracedCalls(const std::string& trace) {
    std::ifstream in(trace);
    unsigned long last = 0;
    for (std::string line; std::getline(in, line);) last = std::strtoul(line.c_str(), nullptr, 10);
    return last;
}

ChildRun RunChild(const Script& script, const RunFolders& folders, unsigned long crashAt,
                  const std::string& trace, std::vector<unsigned long>* counts) {
    std::map<std::string, std::string> environment{{"QZO_WINDIR", folders.windir},
                                                   {"QZO_CRASH_PATHS", folders.root},
                                                   {"QZO_COMPUTERNAME", "SWEEPCHILD"}};
    if (crashAt) environment["QZO_CRASH_AT"] = std::to_string(crashAt);
    if (!trace.empty()) environment["QZO_CRASH_TRACE"] = trace;
    Peer child(environment);
    child.SetTimeLimit(std::chrono::seconds(30));
    ChildRun run;
    if (!child.Start()) {
        run.failure = "the child did not start";
        return run;
    }
    for (size_t i = 0; i < script.size(); ++i) {
        const std::string answer = child.Call(CommandOf(script[i], folders.project));
        if (answer.empty()) {
            run.inFlight = int(i);
            break;
        }
        if (answer != "OK") {
            run.failure = "step " + std::to_string(i) + " answered \"" + answer + "\"";
            return run;
        }
        if (counts) counts->push_back(TracedCalls(trace));
    }
    if (run.inFlight < 0) child.Send("exit 0");
    const PeerExit exit = child.Wait();
    if (run.inFlight >= 0 && !(exit.signaled && exit.signal == SIGKILL))
        run.failure = "the child died in step " + std::to_string(run.inFlight) +
                      (exit.signaled ? " by signal " + std::to_string(exit.signal)
                                     : " with status " + std::to_string(exit.code));
    return run;
}

std::string CheckAfterCrash(const Script& script, const ChildRun& run, const RunFolders& folders) {
    if (!run.failure.empty()) return run.failure;
    const size_t finished = run.inFlight < 0 ? script.size() : size_t(run.inFlight);
    const ObjectModel before = ModelAfter(script, finished);
    const ObjectModel after = ModelAfter(script, run.inFlight < 0 ? finished : finished + 1);
    if (!after.exists) {
        // The project step was cut short: no object may exist yet.
        return ObjectFiles(folders.project).empty() ? std::string() : "an object before create";
    }
    const DWORD id = PrjLocator::RegisterProject(Wide(folders.project).c_str(), FALSE);
    if (id == PRJLOC_NO_PROJECT) return "the project does not register " + Describe(run);
    std::string broken;
    if (!PrjLocator::SetWorkingProject(id)) broken = "the project does not become working";
    const std::vector<FoundObject> objects = ObjectFiles(folders.project);
    if (broken.empty() && objects.size() > 1) broken = "more than one object file";
    if (broken.empty() && objects.empty() && before.exists) broken = "the object file is gone";
    if (broken.empty() && objects.size() == 1) {
        Location location;
        location.dwHashID = objects[0].hashID;
        location.dwObjID = objects[0].objID;
        location.dwProjID = id;
        location.dwDataID = classCStoreTestObject.dwDataID;
        location.dwFlags = 0;
        broken = CheckObject(location, objects[0].path, before, after);
    }
    PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
    PrjLocator::UnregisterProject(id);
    return broken.empty() ? broken : broken + " (" + Describe(run) + ")";
}

bool BuiltWithSanitizers() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(undefined_behavior_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

std::vector<unsigned long> CrashPoints(unsigned long total, unsigned salt) {
    const unsigned long stride = BuiltWithSanitizers() ? 7 : 1;
    std::vector<unsigned long> points;
    for (unsigned long n = 1 + salt % stride; n <= total; n += stride) points.push_back(n);
    return points;
}

// Before the library caches the computer's name.
const bool kComputerNamed = [] {
    setenv("QZO_COMPUTERNAME", "SWEEPHOST", 0);
    return true;
}();

// Children mostly wait for process start-up and the project's flushes, so three at a time keep
// two cores busy.
constexpr size_t kChildrenAtOnce = 3;

Script LongHistory() {
    Script script{{Step::kProject}, {Step::kCreate, 1, 300, 0}};
    for (DWORD tag = 2; tag <= 71; ++tag)
        script.push_back({Step::kCommit, tag, 200 + (tag * 733) % 2600, 0});
    script.push_back({Step::kUndo});
    script.push_back({Step::kCommit, 72, 1500, 0});
    script.push_back({Step::kPurge});
    return script;
}

Script GrowThenPurge() {
    return Script{
        {Step::kProject}, {Step::kCreate, 1, 60, 0}, {Step::kCommit, 2, 20000, 0}, {Step::kPurge}};
}

class CrashSweepTest : public QzoTest {
  protected:
    void SetUp() override {
        QzoTest::SetUp();
        ASSERT_TRUE(kComputerNamed);
        ASSERT_TRUE(RegisterStoreTestClass());
        static int counter = 0;
        const unsigned port =
            1024 + (unsigned(getpid()) * 37u + unsigned(++counter) * 211u) % 23000u;
        setenv("QZO_MAILSLOT_PORT", std::to_string(port).c_str(), 1);
        WriteHostsMap(TempPath("hosts"),
                      {{"SWEEPHOST", TestAddress(2)}, {"SWEEPCHILD", TestAddress(3)}});
        // An upper-case root: project paths are stored upper case and then resolve by their
        // exact names.
        const char* tmp = std::getenv("TMPDIR");
        char name[64];
        std::snprintf(name, sizeof name, "/QZOSWEEP-%X-%X", unsigned(getpid()), unsigned(counter));
        base_ = std::string(tmp && *tmp ? tmp : "/tmp") + name;
        ASSERT_EQ(mkdir(base_.c_str(), 0777), 0) << base_;
    }
    void TearDown() override {
        if (!base_.empty()) RemoveTree(base_);
        QzoTest::TearDown();
    }

    void Sweep(const Script& script, unsigned salt) {
        const Stopwatch watch;
        const RunFolders traced = MakeRunFolders(base_, "TRACE");
        const std::string trace = base_ + "/trace.txt";
        std::vector<unsigned long> counts;
        const ChildRun whole = RunChild(script, traced, 0, trace, &counts);
        ASSERT_EQ(whole.failure, "");
        ASSERT_EQ(whole.inFlight, -1);
        ASSERT_EQ(counts.size(), script.size());
        EXPECT_EQ(CheckAfterCrash(script, whole, traced), "") << "the run without a crash";
        const unsigned long total = counts.back();
        ASSERT_GT(total, counts[0]) << "the object steps made no counted calls";

        const std::vector<unsigned long> points = CrashPoints(total, salt);
        int failures = 0;
        long long childMs = 0, checkMs = 0;
        for (size_t i = 0; i < points.size(); i += kChildrenAtOnce) {
            Stopwatch batch;
            const size_t count = std::min<size_t>(kChildrenAtOnce, points.size() - i);
            RunFolders folders[kChildrenAtOnce];
            ChildRun runs[kChildrenAtOnce];
            std::thread children[kChildrenAtOnce];
            for (size_t k = 0; k < count; ++k) {
                folders[k] =
                    MakeRunFolders(base_, "N" + std::to_string(points[i + k]), traced.windir);
                children[k] = std::thread([&, k] {
                    runs[k] = RunChild(script, folders[k], points[i + k], std::string(), nullptr);
                });
            }
            for (size_t k = 0; k < count; ++k) children[k].join();
            childMs += batch.Ms();
            batch.Restart();
            for (size_t k = 0; k < count; ++k) {
                const std::string broken = CheckAfterCrash(script, runs[k], folders[k]);
                if (!broken.empty() && ++failures <= 25)
                    ADD_FAILURE() << "crash at call " << points[i + k] << ": " << broken;
                RemoveTree(folders[k].root);
                RemoveTree(folders[k].windir);
            }
            checkMs += batch.Ms();
        }
        EXPECT_EQ(failures, 0);
        std::printf(
            "crash sweep: %lu counted calls (%lu before create), %zu crash points, %lld ms "
            "(children %lld ms, checks %lld ms)\n",
            total, counts[0], points.size(), watch.Ms(), childMs, checkMs);
    }

    std::string base_;
};

TEST_F(CrashSweepTest, LongHistoryRestoresToAFinishedOrTheInFlightVersion) {
    Sweep(LongHistory(), 0);
}

TEST_F(CrashSweepTest, GrowThenPurgeRestoresToAFinishedOrTheInFlightVersion) {
    Sweep(GrowThenPurge(), 3);
}

}  // namespace
}  // namespace qzo::test::store
