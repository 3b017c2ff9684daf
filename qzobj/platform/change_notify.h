// Change notifications: a kernel handle that is signalled when entries of one folder change in
// one of the ways a filter names, and stays signalled until it is re-armed.
#pragma once

#include "qzobj/platform/kernel_objects.h"
#include "qzobj/types.h"

namespace qzo::platform {

// Filter bits and what each reacts to in the folder's entries (not its subtree):
//   0x1, 0x2  names: an entry is created, deleted or renamed
//   0x4       attributes
//   0x8, 0x10 size and last-write time: data written (and attributes, which the system
//             updates along with them)
// Other bits are ignored.
inline constexpr DWORD kChangeFileName = 0x1;
inline constexpr DWORD kChangeDirectoryName = 0x2;
inline constexpr DWORD kChangeAttributes = 0x4;
inline constexpr DWORD kChangeSize = 0x8;
inline constexpr DWORD kChangeLastWrite = 0x10;

// Starts watching the folder `folder` (system path). Returns a handle of kind
// ChangeNotification, not signalled; 0 with the last error on failure (87 for a null path or a
// filter without a known bit, 3 for a missing folder, 267 for a path that is not a folder).
KernelHandle FindFirstChangeNotification(const WCHAR* folder, DWORD filter);
// Re-arms the handle: it is no longer signalled until the next change. False with 6 for a bad
// handle.
bool FindNextChangeNotification(KernelHandle handle);
// Stops watching and closes the handle.
bool FindCloseChangeNotification(KernelHandle handle);

}  // namespace qzo::platform
