// A minimal host of the object library, written to be copied: it registers a project folder,
// makes it the working project, loads the sample driver, creates a clip, commits three edits with
// undo comments, lets a second process read the clip, undoes two edits, redoes one, commits again
// and compacts the history.
//
//   qzo_example_host PROJECT_FOLDER            the whole walk
//   qzo_example_host --read PROJECT_FOLDER LOC  (the second process) print the stored clip
//
// Paths are taken as plain ASCII here to keep the example short.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qzobj/hashid.h"
#include "qzobj/locator.h"
#include "qzobj/persistent.h"
#include "qzobj/project_locator.h"
#include "sample_clip.h"

namespace {

std::u16string Wide(const char* text) {
    std::u16string out;
    while (*text) out += char16_t(static_cast<unsigned char>(*text++));
    return out;
}

std::string Narrow(const WCHAR* text, size_t max) {
    std::string out;
    for (size_t i = 0; i < max && text[i]; ++i) out += text[i] < 0x80 ? char(text[i]) : '?';
    return out;
}

// Registers the folder (made when missing) and makes it the working project.
bool OpenProject(const char* folder) {
    const DWORD project = PrjLocator::RegisterProject(Wide(folder).c_str(), TRUE);
    return project != PRJLOC_NO_PROJECT && PrjLocator::SetWorkingProject(project);
}

CQZRuntimeClass* SampleClipClass() {
    if (!CQZRuntimeClass::LoadClassLibrary(SAMPLECLIP_LIBRARY, TRUE)) return nullptr;
    return CQZRuntimeClass::GetClassPtr(&kSampleClipGuid, GetHashID(SAMPLECLIP_CLASSNAME));
}

void PrintHistory(CQZObject* clip) {
    tagUNDOLIST versions[64];
    const unsigned count = clip->GetUndoRedoList(versions, 64);
    for (unsigned i = 0; i < count; ++i)
        std::printf("    %s version %u  %-12s %u KB\n",
                    versions[i].dwModifyCnt == clip->QueryVersion() ? "*" : " ",
                    versions[i].dwModifyCnt, Narrow(versions[i].szComment, 32).c_str(),
                    versions[i].dwSizeKB);
}

bool Edit(CQZObject* clip, const char16_t* comment, DWORD frames) {
    clip->ObjProc(SAMPLECLIP_ADDFRAMES, frames, 0);
    clip->ObjProc(SAMPLECLIP_ADDMARKER, clip->ObjProc(SAMPLECLIP_FRAMES, 0, 0) - 1, 0);
    clip->SetUndoComment(comment, nullptr, 0);
    return clip->Commit(0);
}

void Show(const char* what, CQZObject* clip) {
    std::printf("%s: %u frames, %u markers\n", what, clip->ObjProc(SAMPLECLIP_FRAMES, 0, 0),
                clip->ObjProc(SAMPLECLIP_MARKERS, 0, 0));
    PrintHistory(clip);
}

// The second process: restore the clip for reading only and print it.
int ReadClip(const char* folder, const char* locationText) {
    if (!OpenProject(folder)) return 1;
    Location location;
    location = Wide(locationText).c_str();
    Locator locator(location);
    DWORD result = 0;
    CQZObject* clip = locator.RestoreObject(LOCATOR_ACCESS_READ, 2000, 0, &result);
    if (!clip) {
        std::fprintf(stderr, "restore failed with %u\n", result);
        return 1;
    }
    Show("  second process reads", clip);
    clip->DelObject();
    return 0;
}

// Runs this program again as the second process (a real process, not a thread).
int RunReader(const char* folder, CQZObject* clip) {
    WCHAR text[LOCATION_TEXT_CHARS];
    clip->GetLocator().GetLocationAsString(text, LOCATION_TEXT_CHARS);
    const std::string location = Narrow(text, LOCATION_TEXT_CHARS);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        execl("/proc/self/exe", "qzo_example_host", "--read", folder, location.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
               ? WEXITSTATUS(status)
               : 1;
}

int Walk(const char* folder) {
    if (!OpenProject(folder)) return std::fprintf(stderr, "cannot open project %s\n", folder), 1;
    CQZRuntimeClass* clipClass = SampleClipClass();
    if (!clipClass) return std::fprintf(stderr, "the sample driver did not load\n"), 1;

    Locator locator;
    CQZObject* clip = locator.CreateObject(clipClass, 0);
    if (!clip) return std::fprintf(stderr, "cannot create the clip\n"), 1;
    Show("created", clip);

    const bool edited = Edit(clip, u"Add intro", 25) && Edit(clip, u"Add scene", 250) &&
                        Edit(clip, u"Add credits", 50);
    if (edited) Show("after three edits", clip);
    if (edited && RunReader(folder, clip) != 0) std::puts("  second process failed");

    const bool undone = edited && clip->UnwindObject(-2, TRUE);
    if (undone) Show("undo two steps", clip);
    const bool redone = undone && clip->UnwindObject(1, TRUE);
    if (redone) Show("redo one step", clip);
    const bool again = redone && Edit(clip, u"Trim end", 10);
    if (again) Show("new edit drops the redo version", clip);
    // A commit with the purge flag stores the clip once more and compacts the history into it.
    clip->SetUndoComment(u"Compact", nullptr, 0);
    const bool purged = again && clip->Commit(LOCATOR_COMMIT_PURGE);
    if (purged) Show("history compacted", clip);

    clip->DelObject();
    return purged ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int status = 2;
    QZOBJ_AppInitialize();
    if (argc == 4 && std::strcmp(argv[1], "--read") == 0)
        status = ReadClip(argv[2], argv[3]);
    else if (argc == 2)
        status = Walk(argv[1]);
    else
        std::fprintf(stderr, "usage: %s PROJECT_FOLDER\n", argv[0]);
    QZOBJ_AppExit();
    return status;
}
