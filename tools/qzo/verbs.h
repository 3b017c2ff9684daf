// The verbs of the qzo companion. Each takes the arguments after its name and returns the
// process's exit status: 0 success, 1 the input is not what the verb reads, 2 bad usage.
#pragma once

#include <filesystem>

namespace qzo::tool {

int RunChunks(int argc, char** argv);
int RunDemo(int argc, char** argv);
int RunHash(int argc, char** argv);
int RunIds(int argc, char** argv);
int RunLocation(int argc, char** argv);
int RunObject(int argc, char** argv);
int RunProject(int argc, char** argv);

// Shared argument handling of the folder verbs: "--help" prints `usage` to standard output and
// gives 0; anything but one folder argument prints it to standard error and gives 2; a folder
// that does not exist is reported as "qzo <verb>: <reason>" and gives 1. Returns -1 and sets
// `folder` (as given) and `path` when the arguments are good.
int ParseFolderArguments(int argc, char** argv, const char* usage, const char* verb,
                         const char*& folder, std::filesystem::path& path);

}  // namespace qzo::tool
