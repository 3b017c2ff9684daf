// The registry's classes root (file types and their shell commands), kept as an INI store in
// the Windows directory: one section per key path, "@" naming a key's default value. Key paths
// take '\' or '/' and compare without case; a key exists while it or one of its subkeys does.
// Every call may come from any thread or process: changes go through the INI engine's lock.
#pragma once

#include <string>

#include "qzobj/types.h"

namespace qzo::platform {

// File name of the store inside the Windows directory.
inline constexpr char kClassesRootFile[] = "CLASSES.REG";

bool ClassesRootKeyExists(const WCHAR* keyPath);
// Creates the key (its parents need not exist). `created` tells whether it was new.
bool ClassesRootCreateKey(const WCHAR* keyPath, bool* created);
bool ClassesRootSetDefaultValue(const WCHAR* keyPath, const WCHAR* value);
bool ClassesRootGetDefaultValue(const WCHAR* keyPath, std::u16string& value);
// Deletes the key, its values and its subkeys.
bool ClassesRootDeleteKey(const WCHAR* keyPath);

// Failure injection for tests: the hook is asked before every change (create, set, delete,
// whether or not the change would alter anything) and fails it with ERROR_WRITE_FAULT when it
// returns true. Null removes the hook. The hook is held atomically: any thread may set it.
enum class ClassesRootOperation { CreateKey, SetValue, DeleteKey };
using ClassesRootFailureHook = bool (*)(ClassesRootOperation operation, const WCHAR* keyPath);
void SetClassesRootFailureHook(ClassesRootFailureHook hook);

}  // namespace qzo::platform
