// The registry's classes root (file types and their shell commands), kept as an INI store in
// the Windows directory: one section per key path, "@" naming a key's default value.
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

// Failure injection for tests: the hook is asked before every change and fails it when it
// returns true. Null removes the hook.
enum class ClassesRootOperation { CreateKey, SetValue, DeleteKey };
using ClassesRootFailureHook = bool (*)(ClassesRootOperation operation, const WCHAR* keyPath);
void SetClassesRootFailureHook(ClassesRootFailureHook hook);

}  // namespace qzo::platform
