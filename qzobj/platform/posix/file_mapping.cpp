// File mappings and views on shared memory maps of the file's descriptor.
#include "qzobj/platform/file_mapping.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "qzobj/platform/last_error.h"
#include "qzobj/platform/posix/crash_seam.h"
#include "qzobj/platform/posix/fs_support.h"

namespace qzo::platform {
namespace {

using posix::Fail;

uintptr_t PageSize() {
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

FileMapping::FileMapping(File& file, bool writable, uint64_t size)
    : file_(file), writable_(writable), size_(size) {
    file_.AddMapping();
}

FileMapping::~FileMapping() {
    file_.RemoveMapping();
}

std::unique_ptr<FileMapping> FileMapping::Create(File& file, DWORD protect, uint64_t maximumSize,
                                                 const WCHAR* /*name*/) {
    if (protect != PAGE_READONLY && protect != PAGE_READWRITE) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const bool writable = protect == PAGE_READWRITE;
    if (!file.canRead() || (writable && !file.canWrite())) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uint64_t fileSize = 0;
    if (!file.GetSize(fileSize)) return nullptr;
    if (maximumSize == 0) {
        if (fileSize == 0) {
            Fail(ERROR_FILE_INVALID);
            return nullptr;
        }
        maximumSize = fileSize;
    } else if (maximumSize > fileSize) {
        // Windows grows the file to a read-write mapping's size; a read-only one cannot.
        if (!writable) {
            Fail(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (posix::CrashSeamActive())
            posix::CountMutatingCall(posix::MutatingCall::kSetEndOfFile, file.nativePath());
        file.MarkModified();
        if (ftruncate(file.descriptor(), static_cast<off_t>(maximumSize)) != 0) {
            SetLastErrorFromErrno(errno);
            return nullptr;
        }
    }
    return std::unique_ptr<FileMapping>(new FileMapping(file, writable, maximumSize));
}

void* FileMapping::MapView(DWORD viewAccess, uint64_t offset, size_t size, size_t& mapped) {
    mapped = 0;
    const bool wantsWrite = (viewAccess & FILE_MAP_WRITE) != 0;
    if (wantsWrite && !writable_) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (offset % kAllocationGranularity != 0 || offset >= size_) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (size == 0) size = static_cast<size_t>(size_ - offset);
    if (size > size_ - offset) {
        Fail(ERROR_ACCESS_DENIED);  // beyond the mapping, as Windows answers
        return nullptr;
    }
    const int protection = wantsWrite ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* view =
        mmap(nullptr, size, protection, MAP_SHARED, file_.descriptor(), static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    mapped = size;
    return view;
}

bool UnmapView(void* address, size_t size) {
    if (!address || size == 0) return Fail(ERROR_INVALID_PARAMETER);
    if (munmap(address, size) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool FlushView(void* address, size_t bytes) {
    if (!address || bytes == 0) return Fail(ERROR_INVALID_PARAMETER);
    const uintptr_t start = reinterpret_cast<uintptr_t>(address) & ~(PageSize() - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(address) + bytes;
    if (msync(reinterpret_cast<void*>(start), end - start, MS_SYNC) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace qzo::platform
