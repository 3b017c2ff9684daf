// How `qzo demo` tells its steps: numbered paragraphs for people, or one JSON object per line
// for scripts, with the same facts in both.
#pragma once

#include <string>

#include "history_view.h"
#include "qzobj/types.h"

namespace qzo::tool {

// What the demo's clip holds at a step.
struct ClipFacts {
    DWORD version = 0;
    DWORD frames = 0;
    DWORD markers = 0;
};

class DemoReport {
  public:
    explicit DemoReport(bool json) : json_(json) {}

    void Intro(const std::string& folder, int steps);
    void Project(const std::string& folder, DWORD projectID);
    void Driver(const char* className, DWORD hashID);
    // Starts a numbered step.
    void Step(const char* kind, const std::string& title);
    // The clip and its file after a step.
    void State(const std::string& path, uint64_t fileLength, const ClipFacts& clip,
               const HistoryView& history);
    void SecondProcess(long pid, const ClipFacts& clip);
    // A library call that failed; printed on standard error as well.
    void Failure(const std::string& what);
    // `kept` names the folder left behind, empty when it was removed.
    void End(const std::string& kept);

  private:
    bool json_;
    int step_ = 0;
    std::string folder_;
    std::string kind_;
};

}  // namespace qzo::tool
