// Runs the crash child program from a copy of the application in a temporary folder: the child
// and the shared library in "App/Bin/", so that the crash record lands in "App/".
#pragma once

#include <string>
#include <vector>

namespace qzo::test {

struct ChildOutcome {
    bool exited = false;  // ended by exit: `code` holds the status
    int code = -1;
    int signal = 0;      // ended by this signal
    std::string output;  // what the child wrote to standard output
    int pid = 0;         // also the ID of its main thread
};

// Copies the child program and the library into <root>/App/Bin/. False when a copy failed.
bool InstallApplication(const std::string& root);
// The child copied by InstallApplication.
std::string ApplicationChild(const std::string& root);

// Runs `program mode` with the current environment plus `extraEnvironment` ("NAME=value";
// a later entry replaces an earlier one of the same name) and waits up to 30 s; a child still
// running then is killed.
ChildOutcome RunChild(const std::string& program, const std::string& mode,
                      const std::vector<std::string>& extraEnvironment = {});

}  // namespace qzo::test
