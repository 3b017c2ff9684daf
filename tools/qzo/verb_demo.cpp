// qzo demo: the road of one object, from a fresh project folder to a compacted history, each
// step printed with what changed on disk. The second reader is a real second process: this
// program again, run as `qzo demo --read FOLDER LOCATION`.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "demo_report.h"
#include "history_view.h"
#include "qzobj/hashid.h"
#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "sample_clip.h"
#include "verbs.h"

namespace qzo::tool {
namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "usage: qzo demo [--keep DIR] [--steps N] [--json]\n"
    "Walks one object of the sample driver's class CSampleClip through a project: registers a\n"
    "fresh project folder (a temporary one, removed at the end, unless --keep names a folder to\n"
    "create and keep), creates the clip, commits N edits (default 3, 2 to 60) with undo\n"
    "comments, lets a second qzo process restore it read-only, undoes two edits, redoes one,\n"
    "commits again and compacts the history. After each step it prints the history (slots,\n"
    "ModifyCnt, comments, sizes) and the object file's size; --json prints the same facts as\n"
    "one JSON object per line.\n"
    "Exit status: 0 the walk ended, 1 a library call failed, 2 bad usage.\n";

struct Options {
    std::string keep;
    int steps = 3;
    bool json = false;
};

std::u16string Wide(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) out += char16_t(c);
    return out;
}

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; *text; ++text) out += *text < 0x80 ? char(*text) : '?';
    return out;
}

bool OpenProject(const std::string& folder, DWORD& project) {
    project = PrjLocator::RegisterProject(Wide(folder).c_str(), TRUE);
    return project != PRJLOC_NO_PROJECT && PrjLocator::SetWorkingProject(project);
}

// The object file as this file system spells it: the library names files without regard to
// case (its own spelling of the path is upper-case), the folder keeps the case it was given.
std::string ObjectPath(const std::string& folder, const CQZObject& clip) {
    char name[32];
    std::snprintf(name, sizeof name, "OBJ/%08X/%08X.QZO", clip.GetLocator().GetHashID(),
                  clip.GetLocator().GetObjID());
    return folder + name;
}

std::string LocationText(const CQZObject& clip) {
    WCHAR text[LOCATION_TEXT_CHARS];
    return clip.GetLocator().GetLocationAsString(text, LOCATION_TEXT_CHARS) ? Narrow(text) : "";
}

ClipFacts Facts(CQZObject* clip) {
    return {clip->QueryVersion(), clip->ObjProc(SAMPLECLIP_FRAMES, 0, 0),
            clip->ObjProc(SAMPLECLIP_MARKERS, 0, 0)};
}

// The second process: restore read-only and print what it holds.
int ReadAsSecondProcess(const std::string& folder, const std::string& locationText, bool json) {
    DemoReport report(json);
    DWORD project = 0;
    if (!OpenProject(folder, project)) return report.Failure("open the project " + folder), 1;
    if (!CQZRuntimeClass::LoadClassLibrary(SAMPLECLIP_LIBRARY, TRUE))
        return report.Failure("load the sample driver"), 1;
    Location location;
    location = Wide(locationText).c_str();
    Locator locator(location);
    DWORD result = 0;
    CQZObject* clip = locator.RestoreObject(LOCATOR_ACCESS_READ, 5000, 0, &result);
    if (!clip) return report.Failure("restore the clip (result " + std::to_string(result) + ")"), 1;
    report.SecondProcess(long(getpid()), Facts(clip));
    clip->DelObject();
    return 0;
}

// Runs this program again as the second process and waits for it.
bool RunSecondProcess(const std::string& folder, const std::string& location, bool json) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        const char* args[] = {"qzo",          "demo",           "--read",
                              folder.c_str(), location.c_str(), json ? "--json" : nullptr,
                              nullptr};
        execv("/proc/self/exe", const_cast<char* const*>(args));
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

class Walk {
  public:
    Walk(const Options& options, DemoReport& report) : options_(options), report_(report) {}

    int Run() {
        if (!MakeFolder()) return 1;
        const bool ok = Steps();
        if (clip_) clip_->DelObject();
        Cleanup();
        return ok ? 0 : 1;
    }

  private:
    bool MakeFolder() {
        std::error_code error;
        if (!options_.keep.empty()) {
            folder_ = fs::absolute(options_.keep, error).string();
        } else {
            std::string pattern = (fs::temp_directory_path(error) / "qzo-demo-XXXXXX").string();
            if (!mkdtemp(pattern.data())) return report_.Failure("make a temporary folder"), false;
            temporary_ = pattern;
            folder_ = pattern + "/project";
        }
        if (!folder_.empty() && folder_.back() != '/') folder_ += '/';
        return true;
    }

    bool Steps() {
        report_.Intro(folder_, options_.steps);
        if (!OpenProject(folder_, project_)) return report_.Failure("register " + folder_), false;
        report_.Project(folder_, project_);

        if (!CQZRuntimeClass::LoadClassLibrary(SAMPLECLIP_LIBRARY, TRUE))
            return report_.Failure("load the sample driver from the driver folder"), false;
        CQZRuntimeClass* clipClass =
            CQZRuntimeClass::GetClassPtr(&kSampleClipGuid, GetHashID(SAMPLECLIP_CLASSNAME));
        if (!clipClass) return report_.Failure("find class CSampleClip"), false;
        report_.Driver(clipClass->szClassName, clipClass->dwHashID);

        Locator locator;
        clip_ = locator.CreateObject(clipClass, 0);
        if (!clip_) return report_.Failure("create the clip"), false;
        path_ = ObjectPath(folder_, *clip_);
        Show("create",
             "Create a clip: the object file holds its header, history index, NT block "
             "and version 1");

        for (int i = 1; i <= options_.steps; ++i) {
            const std::string comment = "Add shot " + std::to_string(i);
            if (!Edit(comment, 10 * DWORD(i))) return report_.Failure("commit " + comment), false;
            Show("commit", "Commit edit " + std::to_string(i) + " \"" + comment +
                               "\": frames and a marker added");
        }

        report_.Step("second-process",
                     "A second process restores the clip read-only (the file stays shared)");
        if (!RunSecondProcess(folder_, LocationText(*clip_), options_.json))
            return report_.Failure("run the second process"), false;

        if (!clip_->UnwindObject(-2, TRUE)) return report_.Failure("undo two steps"), false;
        Show("undo", "Undo two steps: the current slot moves back; nothing is deleted");
        if (!clip_->UnwindObject(1, TRUE)) return report_.Failure("redo one step"), false;
        Show("redo", "Redo one step");
        if (!Edit("Trim end", 5)) return report_.Failure("commit after undo"), false;
        Show("commit", "Commit a new edit: the version that could still be redone is dropped");
        if (!Compact()) return report_.Failure("compact the history"), false;
        Show("purge",
             "Compact the history: the current version moves to slot 0, the file "
             "shrinks");
        return true;
    }

    // Compacting needs the file to itself: the clip gives up its access, a locator of its own
    // compacts, and the clip takes write access back (its version is unchanged).
    bool Compact() {
        Locator compactor(clip_->GetLocator().GetLocation());
        clip_->ReleaseAccess();
        const bool compacted = compactor.Purge();
        DWORD result = 0;
        return clip_->RefreshObject(LOCATOR_ACCESS_RWE, 5000, &result) && compacted;
    }

    bool Edit(const std::string& comment, DWORD frames) {
        clip_->ObjProc(SAMPLECLIP_ADDFRAMES, frames, 0);
        clip_->ObjProc(SAMPLECLIP_ADDMARKER, clip_->ObjProc(SAMPLECLIP_FRAMES, 0, 0) - 1, 0);
        clip_->SetUndoComment(Wide(comment).c_str(), nullptr, 0);
        return clip_->Commit(0);
    }

    void Show(const char* kind, const std::string& title) {
        report_.Step(kind, title);
        HistoryView view;
        uint64_t length = 0;
        std::string error;
        if (!LoadHistoryView(path_.c_str(), view, length, error)) {
            report_.Failure("read " + path_ + ": " + error);
            return;
        }
        report_.State(path_, length, Facts(clip_), view);
    }

    void Cleanup() {
        if (!temporary_.empty()) {
            if (project_ != PRJLOC_NO_PROJECT) {
                PrjLocator::SetWorkingProject(PRJLOC_NO_PROJECT);
                PrjLocator::UnregisterProject(project_);
            }
            std::error_code error;
            fs::remove_all(temporary_, error);
        }
        report_.End(temporary_.empty() ? folder_ : std::string());
    }

    const Options& options_;
    DemoReport& report_;
    std::string folder_, temporary_, path_;
    DWORD project_ = PRJLOC_NO_PROJECT;
    CQZObject* clip_ = nullptr;
};

int Usage(FILE* out) {
    std::fputs(kUsage, out);
    return out == stdout ? 0 : 2;
}

}  // namespace

int RunDemo(int argc, char** argv) {
    Options options;
    bool json = false;
    if (argc >= 3 && std::strcmp(argv[0], "--read") == 0) {
        json = argc == 4 && std::strcmp(argv[3], "--json") == 0;
        if (argc > 4 || (argc == 4 && !json)) return Usage(stderr);
        QZOBJ_AppInitialize();
        const int status = ReadAsSecondProcess(argv[1], argv[2], json);
        QZOBJ_AppExit();
        return status;
    }
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 && argc == 1) return Usage(stdout);
        if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc) {
            options.keep = argv[++i];
        } else if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long steps = std::strtol(argv[++i], &end, 10);
            if (*end || steps < 2 || steps > 60) return Usage(stderr);
            options.steps = int(steps);
        } else if (std::strcmp(argv[i], "--json") == 0) {
            options.json = true;
        } else {
            return Usage(stderr);
        }
    }
    QZOBJ_AppInitialize();
    DemoReport report(options.json);
    const int status = Walk(options, report).Run();
    QZOBJ_AppExit();
    return status;
}

}  // namespace qzo::tool
