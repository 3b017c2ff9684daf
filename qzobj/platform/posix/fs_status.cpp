// File status, folder listings and file times on the native file system.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>

#include "qzobj/platform/fs.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/file_attributes.h"
#include "qzobj/platform/posix/fs_support.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

using posix::Fail;
using posix::FailOnPath;

constexpr int64_t kUnitsPerSecond = 10000000;  // FILETIME counts 100 ns units

FILETIME FromTimespec(const timespec& time) {
    return FileTimeFromUnix(time.tv_sec, time.tv_nsec);
}

timespec ToTimespec(const FILETIME& time) {
    int64_t seconds = 0, nanoseconds = 0;
    UnixFromFileTime(time, seconds, nanoseconds);
    timespec result{};
    result.tv_sec = static_cast<time_t>(seconds);
    result.tv_nsec = static_cast<long>(nanoseconds);
    return result;
}

// The birth time where the file system keeps one, else the last-write time.
FILETIME CreationTimeOf(const std::string& native, const struct stat& st, bool followLinks) {
    struct statx birth {};
    int flags = followLinks ? 0 : AT_SYMLINK_NOFOLLOW;
    if (statx(AT_FDCWD, native.c_str(), flags, STATX_BTIME, &birth) == 0 &&
        (birth.stx_mask & STATX_BTIME))
        return FileTimeFromUnix(birth.stx_btime.tv_sec, birth.stx_btime.tv_nsec);
    return FromTimespec(st.st_mtim);
}

bool NameLess(const DirectoryEntry& a, const DirectoryEntry& b) {
    int order = text::CompareNoCase(a.name, b.name);
    return order != 0 ? order < 0 : a.name < b.name;
}

// Fills in what kind of object an entry reaches, asking the file system when the listing did
// not say (or when the entry is a link, whose target decides).
void DescribeEntry(const std::string& folder, const dirent& raw, DirectoryEntry& entry) {
    unsigned char type = raw.d_type;
    std::string full = folder + "/" + entry.name;
    struct stat st;
    if (type == DT_UNKNOWN) {
        if (lstat(full.c_str(), &st) != 0) return;
        type = S_ISLNK(st.st_mode) ? DT_LNK : (S_ISDIR(st.st_mode) ? DT_DIR : DT_REG);
    }
    entry.isSymlink = type == DT_LNK;
    if (type == DT_DIR) entry.isDirectory = true;
    if (type == DT_LNK) entry.isDirectory = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kMaxSeconds =
        (std::numeric_limits<int64_t>::max() - kFileTimeUnixEpoch) / kUnitsPerSecond - 1;
    constexpr int64_t kMinSeconds = -kFileTimeUnixEpoch / kUnitsPerSecond;
    if (seconds < kMinSeconds) return FILETIME{0, 0};
    seconds = std::min(seconds, kMaxSeconds);
    int64_t value = kFileTimeUnixEpoch + seconds * kUnitsPerSecond + nanoseconds / 100;
    return MakeFileTime(static_cast<uint64_t>(std::max<int64_t>(value, 0)));
}

void UnixFromFileTime(const FILETIME& time, int64_t& seconds, int64_t& nanoseconds) {
    uint64_t value = FileTimeValue(time);
    // Split the unsigned value before subtracting the epoch, so that no value overflows.
    int64_t wholeSeconds = static_cast<int64_t>(value / kUnitsPerSecond);
    int64_t units = static_cast<int64_t>(value % kUnitsPerSecond);
    seconds = wholeSeconds - kFileTimeUnixEpoch / kUnitsPerSecond;
    nanoseconds = units * 100;
}

bool FileTimeToLocalTime(const FILETIME& time, SYSTEMTIME& local) {
    int64_t seconds = 0, nanoseconds = 0;
    UnixFromFileTime(time, seconds, nanoseconds);
    time_t clock = static_cast<time_t>(seconds);
    std::tm fields{};
    if (!localtime_r(&clock, &fields)) return Fail(ERROR_INVALID_PARAMETER);
    int year = fields.tm_year + 1900;
    if (year < 1601 || year > 30827) return Fail(ERROR_INVALID_PARAMETER);
    local.wYear = static_cast<WORD>(year);
    local.wMonth = static_cast<WORD>(fields.tm_mon + 1);
    local.wDayOfWeek = static_cast<WORD>(fields.tm_wday);
    local.wDay = static_cast<WORD>(fields.tm_mday);
    local.wHour = static_cast<WORD>(fields.tm_hour);
    local.wMinute = static_cast<WORD>(fields.tm_min);
    local.wSecond = static_cast<WORD>(std::min(fields.tm_sec, 59));  // no leap seconds here
    local.wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
    return true;
}

bool GetFileStatus(const std::string& native, FileStatus& status, bool followLinks) {
    struct stat link;
    if (lstat(native.c_str(), &link) != 0) return FailOnPath(errno, native);
    struct stat st = link;
    if (followLinks && S_ISLNK(link.st_mode) && stat(native.c_str(), &st) != 0)
        return FailOnPath(errno, native);
    status.isSymlink = S_ISLNK(link.st_mode);
    status.isDirectory = S_ISDIR(st.st_mode);
    status.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    status.device = static_cast<uint64_t>(st.st_dev);
    status.inode = static_cast<uint64_t>(st.st_ino);
    status.lastWrite = FromTimespec(st.st_mtim);
    status.lastAccess = FromTimespec(st.st_atim);
    const bool followed = followLinks || !S_ISLNK(link.st_mode);
    status.creation = CreationTimeOf(native, st, followed);
    status.attributes = posix::AttributesOfPath(native, st, followed);
    return true;
}

bool PathExists(const std::string& native) {
    struct stat st;
    return lstat(native.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& native) {
    struct stat st;
    return stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ListDirectory(const std::string& native, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    DIR* dir = opendir(native.c_str());
    if (!dir) {
        // A folder that cannot be listed because it is missing is a missing path.
        int error = errno;
        return error == ENOENT ? Fail(ERROR_PATH_NOT_FOUND) : FailOnPath(error, native);
    }
    std::string folder =
        native.size() > 1 && native.back() == '/' ? native.substr(0, native.size() - 1) : native;
    while (dirent* raw = readdir(dir)) {
        std::string_view name = raw->d_name;
        if (name == "." || name == "..") continue;
        DirectoryEntry entry;
        entry.name.assign(name);
        DescribeEntry(folder, *raw, entry);
        entries.push_back(std::move(entry));
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), NameLess);
    return true;
}

bool SetFileTimes(const std::string& native, const FILETIME* lastAccess,
                  const FILETIME* lastWrite) {
    if (posix::CrashSeamActive()) posix::CountMutatingCall(posix::MutatingCall::kSetTimes, native);
    timespec times[2];
    times[0] = lastAccess ? ToTimespec(*lastAccess) : timespec{0, UTIME_OMIT};
    times[1] = lastWrite ? ToTimespec(*lastWrite) : timespec{0, UTIME_OMIT};
    if (utimensat(AT_FDCWD, native.c_str(), times, 0) != 0) return FailOnPath(errno, native);
    return true;
}

FILETIME CurrentFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FromTimespec(now);
}

}  // namespace qzo::platform
