// The crash sweep: a script of object-store steps run in a child process that dies by SIGKILL at
// its N-th mutating file call, for every N the script makes (every 7th in sanitizer builds), and
// what this process then checks: the object restores to the last finished or the in-flight
// version, every slot the index lists holds one of those versions, one writer's open and close
// leaves a file that keeps the history's invariants, and a further commit works.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "qzobj/types.h"

namespace qzo::test::store {

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

// The model after the first `count` steps of `script`.
ObjectModel ModelAfter(const Script& script, size_t count);

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

// Runs `script` in a child with `crashAt` (0: none) and, when `trace` is not empty, the trace
// file; `counts` (may be null) gets the number of counted calls after each finished step.
ChildRun RunChild(const Script& script, const RunFolders& folders, unsigned long crashAt,
                  const std::string& trace, std::vector<unsigned long>* counts);

// The number of counted calls a trace file lists.
unsigned long TracedCalls(const std::string& trace);

// Checks what a child left behind (see the top of this file); an empty answer when all holds,
// else what broke. Registers the project in this process for the checks and unregisters it.
std::string CheckAfterCrash(const Script& script, const ChildRun& run, const RunFolders& folders);

// Every N from 1 to `total`, or every 7th (starting at a different residue per script) when
// built with sanitizers.
std::vector<unsigned long> CrashPoints(unsigned long total, unsigned salt);
bool BuiltWithSanitizers();

}  // namespace qzo::test::store
