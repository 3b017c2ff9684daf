// The open "PRJ.IDS" of one generator: the platform file handle with its name, the counter lock
// with its bounded wait, counter transfers and the user-slot locks.
#pragma once

#include <memory>
#include <string>

#include "qzobj/platform/file.h"
#include "qzobj/types.h"

namespace qzo::store {

// One handle of "PRJ.IDS". Its byte-range locks are open-file-description locks: they conflict
// with every other handle (in this process or another), and the system drops them when the
// process dies. Used by one thread at a time, like the generator that owns it.
class ProjectIdFile {
  public:
    // How an open failed.
    enum class OpenError { kNone, kCannotOpen, kSharingViolation };

    // Opens `path` for reading and writing, sharing reading and writing, random access, with
    // OPEN_EXISTING or OPEN_ALWAYS (never a truncating disposition). Null on failure.
    static std::unique_ptr<ProjectIdFile> Open(const std::u16string& path, DWORD disposition,
                                               OpenError& error);

    // Takes the counter lock: tries, yields about 50 microseconds, then retries every
    // millisecond until 2,000 ms after the first try (monotonic clock). False on timeout or
    // when the lock fails for another reason than a conflict.
    bool WaitCounterLock();
    void ReleaseCounterLock();

    enum class ReadResult { kRead, kShort, kFailed };
    // Reads the raw counter at offset 0. kShort: the file holds fewer than 4 bytes.
    ReadResult ReadCounter(DWORD& value);
    // Writes the counter at offset 0. A failed or short write is tried once more, so that a
    // passing fault leaves no half-written counter behind; the result is false all the same.
    bool WriteCounter(DWORD value);

    bool LockSlot(unsigned slot);
    bool UnlockSlot(unsigned slot);
    // All 256 slot bytes as one range: the project lock.
    bool LockAllSlots();
    bool UnlockAllSlots();

    const std::u16string& path() const { return path_; }

  private:
    ProjectIdFile(std::unique_ptr<platform::File> file, std::u16string path);
    bool TryCounterLock();
    bool WriteOnce(DWORD value);

    std::unique_ptr<platform::File> file_;
    std::u16string path_;
};

// "<folder formatted with '/'>PRJ.IDS"; false for a null, empty or over-long folder.
bool ProjectIdFilePath(const WCHAR* folder, std::u16string& path);

}  // namespace qzo::store
