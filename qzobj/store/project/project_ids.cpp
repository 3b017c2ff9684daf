// CProjUniID: object IDs from the project's "PRJ.IDS", unique across threads, processes and
// computers through the file's byte-range locks. The project-ID forms of Open and Create live
// with the project locator, which knows the project paths.
#include <algorithm>
#include <new>

#include "qzobj/diag.h"
#include "qzobj/file_modes.h"
#include "qzobj/project_ids.h"
#include "qzobj/store/project/project_ids_file.h"
#include "qzobj/store/project/project_ids_format.h"
#include "qzobj/uikit.h"

using qzo::store::ProjectIdFile;
using qzo::store::ProjectIdFilePath;
namespace format = qzo::store::project_ids_format;

namespace {

constexpr int kChannel = 3;
constexpr int kRefusalLevel = 4;
constexpr int kErrorLevel = 3;

ProjectIdFile* FileOf(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : static_cast<ProjectIdFile*>(handle);
}

template <typename... Args>
void Report(int level, const WCHAR* text, Args... args) {
    if (IsDebugOn()) wPrintf(kChannel, level, text, args...);
}

// Reads the counter with the floor applied; false when the read failed or came up short.
bool ReadFlooredCounter(ProjectIdFile& file, DWORD& counter) {
    if (file.ReadCounter(counter) != ProjectIdFile::ReadResult::kRead) return false;
    counter = std::max(counter, format::kFirstID);
    return true;
}

// Opens "<folder>PRJ.IDS" with `disposition` (never a truncating one): 0 with the file and its
// name, 1 when it cannot be opened, 2 on a sharing violation.
unsigned OpenIdFile(const WCHAR* folder, DWORD disposition, std::u16string& path,
                    std::unique_ptr<ProjectIdFile>& file) {
    ProjectIdFile::OpenError error = ProjectIdFile::OpenError::kNone;
    try {
        if (!ProjectIdFilePath(folder, path)) return 1;
        file = ProjectIdFile::Open(path, disposition, error);
    } catch (...) {
        return 1;
    }
    if (file) return 0;
    return error == ProjectIdFile::OpenError::kSharingViolation ? 2 : 1;
}

// Holds the counter lock of a file for one read-modify-write.
class CounterLock {
  public:
    explicit CounterLock(ProjectIdFile& file) : file_(file), held_(file.WaitCounterLock()) {}
    ~CounterLock() {
        if (held_) file_.ReleaseCounterLock();
    }
    CounterLock(const CounterLock&) = delete;
    CounterLock& operator=(const CounterLock&) = delete;
    bool held() const { return held_; }

  private:
    ProjectIdFile& file_;
    bool held_;
};

}  // namespace

CProjUniID::CProjUniID()
    : dwNextID(format::kFirstID),
      dwResEnd(format::kFirstID),
      dwResNext(format::kFirstID),
      uUserSlot(format::kNoSlot),
      uLockCnt(0),
      hFile(INVALID_HANDLE_VALUE) {}

CProjUniID::CProjUniID(const CProjUniID& other) : CProjUniID() {
    *this = other;
}

// A copy is a user of its own: it opens the file again, takes its own slot and starts with an
// empty reservation, so the two objects never close one handle twice or serve the same IDs.
CProjUniID& CProjUniID::operator=(const CProjUniID& other) {
    if (this == &other) return *this;
    Close();
    const ProjectIdFile* source = FileOf(other.hFile);
    if (!source) return *this;
    std::u16string path;
    try {
        path = source->path();
    } catch (...) {
        return *this;
    }
    // Open takes a folder: the path without its file name.
    path.resize(path.size() - (sizeof(format::kFileName) / sizeof(WCHAR) - 1));
    Open(path.c_str());
    return *this;
}

CProjUniID::~CProjUniID() {
    Close();
}

unsigned CProjUniID::Open(const WCHAR* folder) {
    Close();
    std::u16string path;
    std::unique_ptr<ProjectIdFile> file;
    if (const unsigned opened = OpenIdFile(folder, OPEN_EXISTING, path, file); opened != 0)
        return opened;

    unsigned slot = format::kNoSlot;
    {
        CounterLock lock(*file);
        if (!lock.held()) {
            Report(kRefusalLevel, u"\rCProjUniID::Open(%s): Sharing violation\r\n", path.c_str());
            return 2;
        }
        DWORD counter = 0;
        if (!ReadFlooredCounter(*file, counter)) {
            Report(kErrorLevel, u"\rCProjUniID::Open(%s): ID not retrievable\r\n", path.c_str());
            return 3;
        }
        dwNextID = dwResNext = dwResEnd = counter;
        for (unsigned i = 0; i < format::kSlotCount && slot == format::kNoSlot; ++i)
            if (file->LockSlot(i)) slot = i;
    }
    if (slot == format::kNoSlot) {
        Report(kRefusalLevel, u"\rCProjUniID::Open: All user locks expired...\r\n");
        dwNextID = dwResNext = dwResEnd = 0;
        return 2;
    }
    uUserSlot = slot;
    uLockCnt = 0;
    hFile = file.release();
    return 0;
}

// Never truncates: a live counter stays where it is unless `firstID` lies above it, so no ID
// that was handed out can come round again.
unsigned CProjUniID::Create(const WCHAR* folder, DWORD firstID) {
    Close();
    std::u16string path;
    std::unique_ptr<ProjectIdFile> file;
    if (const unsigned opened = OpenIdFile(folder, OPEN_ALWAYS, path, file); opened != 0)
        return opened;
    CounterLock lock(*file);
    if (!lock.held()) {
        Report(kRefusalLevel, u"\rCProjUniID::Create(%s): Sharing violation\r\n", path.c_str());
        return 2;
    }
    DWORD existing = 0;
    const ProjectIdFile::ReadResult read = file->ReadCounter(existing);
    if (read == ProjectIdFile::ReadResult::kFailed) return 1;
    if (read == ProjectIdFile::ReadResult::kShort) existing = 0;
    const DWORD wanted = std::max({existing, firstID, format::kFirstID});
    if (read == ProjectIdFile::ReadResult::kShort || wanted != existing) {
        if (!file->WriteCounter(wanted)) return 1;
    }
    return 0;
}

void CProjUniID::Close() {
    if (ProjectIdFile* file = FileOf(hFile)) {
        if (uLockCnt > 0)
            file->UnlockAllSlots();
        else if (uUserSlot < format::kSlotCount)
            file->UnlockSlot(uUserSlot);
        delete file;
    }
    hFile = INVALID_HANDLE_VALUE;
    dwNextID = dwResNext = dwResEnd = 0;
    uLockCnt = 0;
    uUserSlot = format::kNoSlot;
}

DWORD CProjUniID::GetNextID() {
    ProjectIdFile* file = FileOf(hFile);
    if (!file) {
        Report(kRefusalLevel, u"\rCProjUniID::GetNextID: No file\r\n");
        return format::kInvalidID;
    }
    if (dwResNext < dwResEnd) return dwResNext++;
    CounterLock lock(*file);
    if (!lock.held()) {
        Report(kRefusalLevel, u"\rCProjUniID::GetNextID: Lock timeout\r\n");
        return format::kInvalidID;
    }
    DWORD counter = 0;
    if (!ReadFlooredCounter(*file, counter)) {
        Report(kErrorLevel, u"\rCProjUniID::GetNextID: ID not retrievable\r\n");
        return format::kInvalidID;
    }
    if (counter >= format::kInvalidID) {
        Report(kErrorLevel, u"\rCProjUniID::GetNextID: IDs exhausted\r\n");
        dwNextID = counter;
        return format::kInvalidID;
    }
    const uint64_t next = uint64_t(counter) + 1;
    if (!file->WriteCounter(DWORD(next))) {
        Report(kErrorLevel, u"\rCProjUniID::GetNextID: ID not stored\r\n");
        return format::kInvalidID;
    }
    dwNextID = DWORD(next);
    return counter;
}

BOOL CProjUniID::ReserveIDs(unsigned count) {
    ProjectIdFile* file = FileOf(hFile);
    if (!file) return FALSE;
    CounterLock lock(*file);
    if (!lock.held()) return FALSE;
    DWORD counter = 0;
    if (!ReadFlooredCounter(*file, counter)) return FALSE;
    // The last reserved ID is counter + count - 1 and must stay below the invalid ID.
    const uint64_t end = uint64_t(counter) + count;
    if (end > format::kInvalidID) {
        dwNextID = counter;
        return FALSE;
    }
    if (!file->WriteCounter(DWORD(end))) return FALSE;
    dwNextID = DWORD(end);
    dwResNext = counter;
    dwResEnd = DWORD(end);
    return TRUE;
}

// Only raises: a lower start would hand out again the IDs of purged objects and of other
// users' reservations.
BOOL CProjUniID::SetStartID(DWORD id) {
    ProjectIdFile* file = FileOf(hFile);
    if (!file) return FALSE;
    CounterLock lock(*file);
    if (!lock.held()) return FALSE;
    DWORD stored = 0;
    if (file->ReadCounter(stored) != ProjectIdFile::ReadResult::kRead) return FALSE;
    const DWORD counter = std::max({stored, id, format::kFirstID});
    if (counter != stored && !file->WriteCounter(counter)) return FALSE;
    dwNextID = dwResNext = dwResEnd = counter;
    return TRUE;
}

BOOL CProjUniID::HasChanged() {
    ProjectIdFile* file = FileOf(hFile);
    if (!file) return FALSE;
    CounterLock lock(*file);
    if (!lock.held()) return TRUE;
    DWORD counter = 0;
    if (!ReadFlooredCounter(*file, counter)) return TRUE;
    const bool changed = counter != dwNextID;
    dwNextID = counter;
    return changed ? TRUE : FALSE;
}

unsigned CProjUniID::LockProject() {
    ProjectIdFile* file = FileOf(hFile);
    if (!file) return format::kSlotCount;
    if (uLockCnt > 0) {
        ++uLockCnt;
        return 0;
    }
    CounterLock lock(*file);
    if (!lock.held()) return 0xFFFFFFFE;
    if (uUserSlot < format::kSlotCount) file->UnlockSlot(uUserSlot);
    if (file->LockAllSlots()) {
        uLockCnt = 1;
        return 0;
    }
    unsigned others = 0;
    for (unsigned i = 0; i < format::kSlotCount; ++i) {
        if (file->LockSlot(i))
            file->UnlockSlot(i);
        else
            ++others;
    }
    // Nobody can take the slot meanwhile: slots are taken only under the counter lock we hold.
    if (uUserSlot < format::kSlotCount && !file->LockSlot(uUserSlot)) uUserSlot = format::kNoSlot;
    return others;
}

BOOL CProjUniID::UnlockProject() {
    ProjectIdFile* file = FileOf(hFile);
    if (!file || uLockCnt == 0) return FALSE;
    if (uLockCnt > 1) {
        --uLockCnt;
        return TRUE;
    }
    CounterLock lock(*file);
    if (!lock.held()) return FALSE;
    file->UnlockAllSlots();
    if (uUserSlot < format::kSlotCount && !file->LockSlot(uUserSlot)) uUserSlot = format::kNoSlot;
    uLockCnt = 0;
    return TRUE;
}
