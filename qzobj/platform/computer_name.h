// The process-wide computer name. Processes pose as computers: the name comes from the process,
// never from the host, and setting it changes only this process's view.
#pragma once

#include <string>

namespace qzo::platform {

// The name this process goes by: the one set with SetProcessComputerName; else $QZO_COMPUTERNAME
// when that variable exists (an empty value means the computer has no name, and an empty string
// is returned); else ComputerName(). Any thread.
std::u16string ProcessComputerName();

// Sets the process-wide name (upper-cased by the caller). Refuses an empty name or one longer
// than 15 characters. Never touches the host name. Any thread.
bool SetProcessComputerName(const std::u16string& name);

}  // namespace qzo::platform
