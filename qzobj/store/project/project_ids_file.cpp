// The open "PRJ.IDS" of one generator: opening without truncation, the counter lock's bounded
// wait, counter transfers at offset 0 and the slot locks.
#include "qzobj/store/project/project_ids_file.h"

#include <chrono>
#include <thread>

#include "qzobj/file_modes.h"
#include "qzobj/pathkit.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/text.h"
#include "qzobj/store/project/project_ids_format.h"

namespace qzo::store {

namespace format = project_ids_format;
using platform::GetLastError;

namespace {

using Clock = std::chrono::steady_clock;
// A peer holds the counter lock for a few microseconds; the first retry comes soon, later ones
// once a millisecond, and nobody waits longer than the counter's time-out.
constexpr auto kFirstRetryDelay = std::chrono::microseconds(50);
constexpr auto kRetryInterval = std::chrono::milliseconds(1);
constexpr auto kCounterLockTimeout = std::chrono::milliseconds(2000);

}  // namespace

bool ProjectIdFilePath(const WCHAR* folder, std::u16string& path) {
    if (!folder || !*folder) return false;
    WCHAR formatted[MAX_PATH];
    if (text::BoundedLength(folder, MAX_PATH) >= MAX_PATH) return false;
    text::Copy(formatted, MAX_PATH, folder);
    if (!FU_FormatPath(formatted, u'/')) return false;
    path.assign(formatted);
    path += format::kFileName;
    return path.size() < MAX_PATH;
}

ProjectIdFile::ProjectIdFile(std::unique_ptr<platform::File> file, std::u16string path)
    : file_(std::move(file)), path_(std::move(path)) {}

std::unique_ptr<ProjectIdFile> ProjectIdFile::Open(const std::u16string& path, DWORD disposition,
                                                   OpenError& error) {
    error = OpenError::kNone;
    std::unique_ptr<platform::File> file = platform::File::Open(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS);
    if (!file) {
        error = GetLastError() == ERROR_SHARING_VIOLATION ? OpenError::kSharingViolation
                                                          : OpenError::kCannotOpen;
        return nullptr;
    }
    return std::unique_ptr<ProjectIdFile>(new ProjectIdFile(std::move(file), path));
}

bool ProjectIdFile::TryCounterLock() {
    return file_->Lock(format::kCounterLockOffset, format::kCounterLockBytes);
}

bool ProjectIdFile::WaitCounterLock() {
    const Clock::time_point start = Clock::now();
    if (TryCounterLock()) return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return false;
    std::this_thread::sleep_for(kFirstRetryDelay);
    for (;;) {
        if (TryCounterLock()) return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION) return false;
        if (Clock::now() - start >= kCounterLockTimeout) return false;
        std::this_thread::sleep_for(kRetryInterval);
    }
}

void ProjectIdFile::ReleaseCounterLock() {
    file_->Unlock(format::kCounterLockOffset, format::kCounterLockBytes);
}

ProjectIdFile::ReadResult ProjectIdFile::ReadCounter(DWORD& value) {
    uint8_t bytes[format::kCounterBytes] = {};
    DWORD done = 0;
    if (!file_->ReadAt(format::kCounterOffset, bytes, format::kCounterBytes, done))
        return ReadResult::kFailed;
    if (done < format::kCounterBytes) return ReadResult::kShort;
    value = format::DecodeCounter(bytes);
    return ReadResult::kRead;
}

bool ProjectIdFile::WriteOnce(DWORD value) {
    uint8_t bytes[format::kCounterBytes];
    format::EncodeCounter(value, bytes);
    DWORD done = 0;
    return file_->WriteAt(format::kCounterOffset, bytes, format::kCounterBytes, done) &&
           done == format::kCounterBytes;
}

bool ProjectIdFile::WriteCounter(DWORD value) {
    if (WriteOnce(value)) return true;
    const DWORD error = GetLastError();
    WriteOnce(value);
    platform::SetLastError(error);
    return false;
}

bool ProjectIdFile::LockSlot(unsigned slot) {
    return file_->Lock(format::SlotOffset(slot), 1);
}

bool ProjectIdFile::UnlockSlot(unsigned slot) {
    return file_->Unlock(format::SlotOffset(slot), 1);
}

bool ProjectIdFile::LockAllSlots() {
    return file_->Lock(format::kSlotsOffset, format::kSlotCount);
}

bool ProjectIdFile::UnlockAllSlots() {
    return file_->Unlock(format::kSlotsOffset, format::kSlotCount);
}

}  // namespace qzo::store
