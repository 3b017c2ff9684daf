// Opening and closing file handles: names, creation dispositions, the access the layer
// enforces itself, the sharing check, and attributes of new files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "qzobj/platform/file.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/path.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/file_attributes.h"
#include "qzobj/platform/posix/file_share.h"
#include "qzobj/platform/posix/fs_support.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

using posix::Descriptor;
using posix::Fail;

constexpr DWORD kGenericAll = 0x10000000u;
constexpr DWORD kReadRights = GENERIC_READ | kGenericAll | 0x0001u;              // FILE_READ_DATA
constexpr DWORD kWriteRights = GENERIC_WRITE | kGenericAll | 0x0002u | 0x0004u;  // + append
constexpr int kOpenAttempts = 16;  // retries when the name changed hands during an open

bool ForbiddenInName(WCHAR c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' ||
           c == u'*';
}

// Windows refuses these characters in any name of a path (a drive's ':' aside, which path
// resolution refuses on its own).
bool HasForbiddenCharacter(std::u16string_view path) {
    if (HasDrivePrefix(path)) path.remove_prefix(2);
    for (WCHAR c : path)
        if (ForbiddenInName(c)) return true;
    return false;
}

bool TruncatingDisposition(DWORD disposition) {
    return disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
}

// Write-through handles write synchronously: each write returns once its data (and the size
// needed to read them back) are on the device, as an unbuffered Windows write would.
int ExtraOpenFlags(DWORD flagsAndAttributes) {
    return (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH) ? O_DSYNC : 0;
}

// Opens that may create or empty a file count for the crash seam before they act.
void CountMutatingOpen(const std::string& native, DWORD disposition) {
    if (!posix::CrashSeamActive() || disposition == OPEN_EXISTING) return;
    posix::CountMutatingCall(TruncatingDisposition(disposition) ? posix::MutatingCall::kOpenTruncate
                                                                : posix::MutatingCall::kOpenCreate,
                             native);
}

// What the open found and did.
struct OpenedDescriptor {
    Descriptor file;
    bool writable = false;  // opened read-write
    bool created = false;   // this open made the file
};

// Opens without truncating: read-write where the permissions allow (exclusive locks need it),
// else read-only when no write access is wanted. Creation is exclusive, so `created` is exact.
// `extra` adds open flags such as O_DSYNC.
bool OpenDescriptor(const std::string& native, bool wantsWrite, DWORD disposition, int extra,
                    OpenedDescriptor& opened) {
    const int base = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extra;
    const bool mayCreate =
        disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (disposition != CREATE_NEW) {
            opened.file = Descriptor(open(native.c_str(), O_RDWR | base));
            opened.writable = opened.file.valid();
            if (!opened.file.valid() && (errno == EACCES || errno == EROFS || errno == ETXTBSY) &&
                !wantsWrite)
                opened.file = Descriptor(open(native.c_str(), O_RDONLY | base));
            if (opened.file.valid()) return true;
            if (errno == EISDIR) return Fail(ERROR_ACCESS_DENIED);
            if (errno != ENOENT || !mayCreate) return posix::FailOnPath(errno, native);
        }
        opened.file = Descriptor(open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | base, 0666));
        if (opened.file.valid()) {
            opened.writable = opened.created = true;
            return true;
        }
        if (errno == EEXIST && disposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
        if (errno != EEXIST) return posix::FailOnPath(errno, native);
        // Another opener created it between our two calls: open what is there.
    }
    return Fail(ERROR_SHARING_VIOLATION);
}

// A new file carries the archive bit and the attributes its creator asked for.
void ApplyNewFileAttributes(int fd, DWORD flagsAndAttributes) {
    DWORD word = (flagsAndAttributes & posix::kStoredAttributeMask) | FILE_ATTRIBUTE_ARCHIVE;
    posix::StoreAttributes(fd, word);  // without extended attributes only read-only stays
    struct stat st;
    if ((word & FILE_ATTRIBUTE_READONLY) && fstat(fd, &st) == 0)
        fchmod(fd, posix::MirrorReadOnly(st.st_mode, true) & 07777);
}

// Refuses what the attributes forbid: writing or truncating a read-only file (the superuser
// included, whom permission bits do not stop) and opening a folder.
bool CheckOpenable(int fd, bool wantsWrite, DWORD disposition) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if ((wantsWrite || TruncatingDisposition(disposition)) &&
        posix::IsReadOnly(posix::StoredAttributes(fd), st))
        return Fail(ERROR_ACCESS_DENIED);
    return true;
}

}  // namespace

bool ResolveFilePath(const WCHAR* path, std::string& native) {
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    const size_t length = text::BoundedLength(path, MAX_PATH);
    if (length >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (HasForbiddenCharacter(std::u16string_view(path, length))) return Fail(ERROR_INVALID_NAME);
    return ResolvePath(std::u16string_view(path, length), native);
}

File::File(int fd, bool writableDescriptor, DWORD access, DWORD share, std::string native)
    : fd_(fd),
      writableDescriptor_(writableDescriptor),
      access_(access),
      share_(share),
      native_(std::move(native)) {}

File::~File() {
    Close();
}

bool File::canRead() const {
    return (access_ & kReadRights) != 0;
}
bool File::canWrite() const {
    return (access_ & kWriteRights) != 0;
}

std::unique_ptr<File> File::Open(const WCHAR* path, DWORD access, DWORD share, DWORD disposition,
                                 DWORD flagsAndAttributes) {
    std::string native;
    if (!ResolveFilePath(path, native)) return nullptr;
    return OpenNative(std::move(native), access, share, disposition, flagsAndAttributes);
}

std::unique_ptr<File> File::OpenNative(std::string native, DWORD access, DWORD share,
                                       DWORD disposition, DWORD flagsAndAttributes) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool wantsRead = (access & kReadRights) != 0;
    const bool wantsWrite = (access & kWriteRights) != 0;
    if (disposition == TRUNCATE_EXISTING && !wantsWrite) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    CountMutatingOpen(native, disposition);
    const int extra = ExtraOpenFlags(flagsAndAttributes);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        OpenedDescriptor opened;
        if (!OpenDescriptor(native, wantsWrite, disposition, extra, opened)) return nullptr;
        const int fd = opened.file.get();
        if (!opened.created && !CheckOpenable(fd, wantsWrite, disposition)) return nullptr;
        posix::ShareGate gate(fd, opened.writable);
        if (!posix::RecordSharing(fd, wantsRead, wantsWrite, share)) return nullptr;
        // A delete or move between our open and the gate left us a file nobody can name.
        if (!posix::SameFileAsPath(fd, native)) continue;
        const bool truncate = TruncatingDisposition(disposition) && !opened.created;
        if (truncate && ftruncate(fd, 0) != 0) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
        if (opened.created) ApplyNewFileAttributes(fd, flagsAndAttributes);
        std::unique_ptr<File> file(
            new File(opened.file.release(), opened.writable, access, share, std::move(native)));
        if (opened.created) file->modified_ = true;  // the archive bit is set already
        if (truncate) file->MarkModified();
        const bool found =
            !opened.created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
        SetLastError(found ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return file;
    }
    Fail(ERROR_SHARING_VIOLATION);
    return nullptr;
}

bool File::Close() {
    if (fd_ < 0) return true;
    {
        std::lock_guard<std::mutex> hold(rangesGuard_);
        ranges_.clear();
    }
    // Closing the description releases its sharing records and byte-range locks together.
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

void File::MarkModified() {
    if (modified_.exchange(true)) return;
    DWORD stored = posix::StoredAttributes(fd_);
    if (!(stored & FILE_ATTRIBUTE_ARCHIVE))
        posix::StoreAttributes(fd_, stored | FILE_ATTRIBUTE_ARCHIVE);
}

}  // namespace qzo::platform
