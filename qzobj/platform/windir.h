// The Windows directory: where "QZO.INI", "QZO.VST" and the classes-root store live.
// $QZO_WINDIR if set, else $XDG_CONFIG_HOME/qzobju (when absolute), else $HOME/.config/qzobju,
// else the account's home folder from the password database; read on every call.
#pragma once

#include <string>

#include "qzobj/types.h"

namespace qzo::platform {

// Native path without a trailing separator; empty when no location can be named.
std::string WindowsDirectoryNative();

// As GetWindowsDirectoryW: the path in system form without a trailing separator. Returns its
// length, or the size needed (terminator included) when the buffer is too small, or 0 on failure.
UINT GetWindowsDirectory(WCHAR* buffer, UINT size);

// Creates the folder and its parents when missing (done before the first write into it).
bool EnsureWindowsDirectory();

// Native path of a file in the Windows directory: an existing entry whose name equals `name`
// without case, else `name` as given; empty when the directory cannot be named.
std::string WindowsDirectoryFile(const std::string& name);

}  // namespace qzo::platform
