// Mappings of open files into memory and the views made of them. Views are shared with the
// file: what one writes, every other view and handle of the file sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "qzobj/platform/file.h"
#include "qzobj/types.h"

namespace qzo::platform {

// A mapping of one file handle. It must be destroyed before the handle closes; while it exists
// the handle cannot change the end of the file (ERROR_USER_MAPPED_FILE).
//
// Thread safety: MapView may be called from several threads; the object holds no mutable state
// after creation.
class FileMapping {
  public:
    // `protect` is PAGE_READONLY or PAGE_READWRITE (the latter needs a handle with write
    // access). `maximumSize` 0 is the file's size (an empty file fails with
    // ERROR_FILE_INVALID). A read-write mapping larger than the file grows the file; a read-only
    // one fails with ERROR_NOT_ENOUGH_MEMORY. Mapping names are accepted and ignored: a mapping
    // is private to its process, while the file's content is shared through the views.
    static std::unique_ptr<FileMapping> Create(File& file, DWORD protect, uint64_t maximumSize,
                                               const WCHAR* name);
    ~FileMapping();
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    // Maps `size` bytes (0: to the mapping's end) from `offset`, a multiple of
    // kAllocationGranularity. `viewAccess` is FILE_MAP_READ, FILE_MAP_WRITE or
    // FILE_MAP_ALL_ACCESS; writing needs a read-write mapping. Null on failure; `mapped`
    // receives the view's size, which UnmapView needs.
    void* MapView(DWORD viewAccess, uint64_t offset, size_t size, size_t& mapped);

    uint64_t size() const { return size_; }

  private:
    FileMapping(File& file, bool writable, uint64_t size);

    File& file_;
    bool writable_;
    uint64_t size_;
};

bool UnmapView(void* address, size_t size);
// Writes the pages that hold [address, address + bytes) of a view to the file; `bytes` must not
// be 0 (callers that mean "the whole view" pass its size).
bool FlushView(void* address, size_t bytes);

}  // namespace qzo::platform
