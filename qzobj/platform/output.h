// Raw byte outputs for the debug output and progress lines: standard error and files opened for
// appending, written with as few system calls as possible so that whole messages stay whole.
#pragma once

#include <cstddef>

namespace qzo::platform {

// A small integer naming an open output; kNoOutput names none.
using OutputHandle = int;
inline constexpr OutputHandle kNoOutput = -1;

// The process's standard error. It is never closed through this interface.
OutputHandle StandardErrorOutput();

// Opens (creating it when missing) a file for appending. Every write lands at the file's end at
// the moment of the write, even when other handles and processes append to it at the same time.
// Returns kNoOutput on failure.
OutputHandle OpenAppendOutput(const char* nativePath);

// Writes all bytes: one system call for the whole buffer, continued only after an interruption
// or a short write. Safe in signal handlers. False when the output failed.
bool WriteOutput(OutputHandle output, const void* data, size_t size);

void CloseOutput(OutputHandle output);

// True when the output is a terminal.
bool IsTerminal(OutputHandle output);

}  // namespace qzo::platform
