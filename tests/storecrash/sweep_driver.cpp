// The crash sweep's driver: the children that run a script and die, and the checks afterwards.
#include "storecrash/sweep_driver.h"

#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "qzobj/project_locator.h"
#include "support/fixture.h"
#include "support/peer.h"
#include "support/store_image.h"
#include "support/store_object.h"
#include "support/text.h"

namespace qzo::test::store {
namespace {

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

}  // namespace

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

unsigned long TracedCalls(const std::string& trace) {
    std::ifstream in(trace);
    unsigned long last = 0;
    for (std::string line; std::getline(in, line);) last = std::strtoul(line.c_str(), nullptr, 10);
    return last;
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

}  // namespace qzo::test::store
