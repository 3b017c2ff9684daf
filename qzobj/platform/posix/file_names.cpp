// Deleting, moving and copying files by system path with Windows rules (open files stay put,
// read-only files are not deleted), and the free space of a volume.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <vector>

#include "qzobj/platform/file.h"
#include "qzobj/platform/fs.h"
#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/file_attributes.h"
#include "qzobj/platform/posix/fs_support.h"
#include "qzobj/platform/text.h"

namespace qzo::platform {
namespace {

using posix::Fail;

// The caller's spelling of the last name of a path, for a rename that changes only case (the
// resolved target would otherwise be the source itself).
std::string CallerSpelledTarget(const WCHAR* path, const std::string& resolved) {
    std::string spelled = text::ToUtf8(path);
    size_t cut = spelled.find_last_of("/\\");
    std::string name = cut == std::string::npos ? spelled : spelled.substr(cut + 1);
    std::string parent = posix::ParentOf(resolved);
    return parent.empty() ? name : (parent == "/" ? "/" + name : parent + "/" + name);
}

bool CopyContent(File& source, File& target) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        DWORD got = 0, put = 0;
        if (!source.Read(buffer.data(), static_cast<DWORD>(buffer.size()), got)) return false;
        if (got == 0) return true;
        if (!target.Write(buffer.data(), got, put)) return false;
    }
}

// The target takes the source's times and attribute word (read-only last, so that the copy
// could still be written).
void CopyMetadata(File& source, File& target) {
    FILETIME access{}, write{};
    if (source.GetTimes(nullptr, &access, &write)) target.SetTimes(nullptr, &access, &write);
    DWORD stored = posix::StoredAttributes(source.descriptor()) | FILE_ATTRIBUTE_ARCHIVE;
    posix::StoreAttributes(target.descriptor(), stored);
    struct stat st;
    if (fstat(source.descriptor(), &st) == 0) {
        bool readOnly = posix::IsReadOnly(stored, st);
        fchmod(target.descriptor(), posix::MirrorReadOnly(st.st_mode, readOnly) & 07777);
    }
}

}  // namespace

bool DeleteFileUnlessOpen(const WCHAR* path) {
    std::string native;
    if (!ResolveFilePath(path, native)) return false;
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return posix::FailOnPath(errno, native);
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    // The superuser may unlink anything; the attribute stops everybody, as on Windows.
    if (S_ISREG(st.st_mode) && posix::IsReadOnly(posix::StoredAttributesOfPath(native, false), st))
        return Fail(ERROR_ACCESS_DENIED);
    return DeleteFile(native);
}

bool MoveFileUnlessOpen(const WCHAR* from, const WCHAR* to) {
    std::string source, target;
    if (!ResolveFilePath(from, source) || !ResolveFilePath(to, target)) return false;
    if (target == source) target = CallerSpelledTarget(to, target);
    if (target == source) return true;  // the same name, spelled the same
    return MoveFile(source, target);
}

// The copy counts once for the crash seam, and its target's open, writes and times count too,
// so that a crash can also tear the copy.
bool CopyFileShared(const WCHAR* from, const WCHAR* to, bool failIfExists) {
    if (posix::CrashSeamActive()) {
        std::string source, target;
        if (ResolveFilePath(from, source) && ResolveFilePath(to, target))
            posix::CountMutatingCall(posix::MutatingCall::kCopy, source, target);
    }
    auto source =
        File::Open(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!source) return false;
    auto target = File::Open(to, GENERIC_WRITE, 0, failIfExists ? CREATE_NEW : CREATE_ALWAYS, 0);
    if (!target) return false;
    if (!CopyContent(*source, *target)) {
        DWORD error = GetLastError();
        target->Close();
        return Fail(error);
    }
    CopyMetadata(*source, *target);
    if (!target->Close()) return false;
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool GetDiskFreeSpace(const WCHAR* path, uint64_t& freeBytes) {
    std::string native;
    if (!ResolveFilePath(path, native)) return false;
    struct statvfs volume;
    if (statvfs(native.c_str(), &volume) != 0) return posix::FailOnPath(errno, native);
    freeBytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return true;
}

}  // namespace qzo::platform
