// CPMemoryFile: a memory block read and written like a file, with a pointer and an access. The
// block's size is the content's length, its allocation size the capacity.
#include <algorithm>
#include <cstring>

#include "qzobj/file_modes.h"
#include "qzobj/memory_file.h"

namespace {

constexpr DWORD kDirections = GENERIC_READ | GENERIC_WRITE;
// Capacity grows in whole steps of this size, one step beyond the bytes needed.
constexpr ULONGLONG kGrowthStep = 4096;
constexpr ULONGLONG kLargestPosition = 0xFFFFFFFFull;
// Large images at least double their capacity, so that writing one byte after another costs
// amortised constant time instead of a copy of the whole image every 4096 bytes, and a large
// image is copied about once in all.
constexpr ULONGLONG kGeometricFrom = 64 * 1024;
// Room the block header needs on top of the largest capacity the 32-bit allocator can describe.
constexpr ULONGLONG kLargestCapacity = 0xFFFFFFFFull - 2 * kGrowthStep;

ULONGLONG CapacityFor(ULONGLONG end) {
    return (end & ~(kGrowthStep - 1)) + kGrowthStep;
}

}  // namespace

const char classidCPMemoryFile[] = "CPMemoryFile";

const char* CPMemoryFile::GetClassID() const {
    return classidCPMemoryFile;
}

CPMemoryFile::CPMemoryFile(const CPMemoryFile& source)
    : CPMemory(), dwAccess(source.dwAccess), dwFilePtr(source.dwFilePtr) {
    CopyCPMemory(source);
}

CPMemoryFile& CPMemoryFile::operator=(const CPMemoryFile& source) {
    if (this != &source) {
        CopyCPMemory(source);
        dwAccess = source.dwAccess;
        dwFilePtr = source.dwFilePtr;
    }
    return *this;
}

CPMemoryFile::~CPMemoryFile() {
    Free();
}

BOOL CPMemoryFile::Open(DWORD access) {
    dwFilePtr = 0;
    const DWORD kept = access & kDirections;
    bool opened;
    if (kept & GENERIC_WRITE) {
        // Writing starts an empty content in a block of its own; copies keep the old one.
        opened = Alloc(static_cast<DWORD>(kGrowthStep)) && SetSize(0);
    } else {
        opened = HoldsValidBlock();
    }
    dwAccess = opened ? kept : 0;
    return opened ? TRUE : FALSE;
}

BOOL CPMemoryFile::Close() {
    dwAccess = 0;
    return TRUE;
}

bool CPMemoryFile::MakeWritable() {
    if (!pMH) return Alloc(static_cast<DWORD>(kGrowthStep)) && SetSize(0);
    if (!HoldsValidBlock() || (dwFlags & CPMEM_READONLY)) return false;
    if (pMH->iRef.load(std::memory_order_acquire) < 2) return true;
    // Shared: take a private copy first, so that the other holders keep what they saw.
    if (pMH->dwSize == 0) return Alloc(static_cast<DWORD>(kGrowthStep)) && SetSize(0);
    return Realloc(CPMEM_UNSHARE) != 0;
}

bool CPMemoryFile::Reserve(ULONGLONG end) {
    if (end <= pMH->dwAllocSize) return true;
    ULONGLONG capacity = CapacityFor(end);
    const ULONGLONG current = pMH->dwAllocSize;
    if (current >= kGeometricFrom) capacity = std::max(capacity, CapacityFor(2 * current));
    if (capacity > kLargestCapacity && CapacityFor(end) <= kLargestCapacity)
        capacity = CapacityFor(end);
    if (capacity > kLargestCapacity) return false;
    const DWORD size = pMH->dwSize;
    if (!Realloc(static_cast<DWORD>(capacity))) return false;
    pMH->dwSize = size;  // a resize sets the size to the capacity: the content keeps its length
    return true;
}

void CPMemoryFile::ZeroGap(DWORD from, DWORD to) {
    if (to > from) std::memset(static_cast<BYTE*>(Data()) + from, 0, to - from);
}

DWORD CPMemoryFile::Write(const void* data, DWORD count) {
    if (count == 0 || !data || !(dwAccess & GENERIC_WRITE)) return 0;
    const ULONGLONG end = ULONGLONG(dwFilePtr) + count;
    if (end > kLargestPosition || !MakeWritable() || !Reserve(end)) return 0;
    const DWORD size = pMH->dwSize;
    ZeroGap(size, dwFilePtr);
    std::memcpy(static_cast<BYTE*>(Data()) + dwFilePtr, data, count);
    dwFilePtr = static_cast<DWORD>(end);
    if (dwFilePtr > size) pMH->dwSize = dwFilePtr;
    return count;
}

DWORD CPMemoryFile::Read(void* data, DWORD count) {
    if (count == 0 || !data || !(dwAccess & GENERIC_READ) || !HoldsValidBlock()) return 0;
    const DWORD size = pMH->dwSize;
    if (dwFilePtr >= size) return 0;
    const DWORD got = std::min(count, size - dwFilePtr);
    std::memcpy(data, static_cast<const BYTE*>(Data()) + dwFilePtr, got);
    dwFilePtr += got;
    return got;
}

BOOL CPMemoryFile::SetFilePtr(LONG offset, DWORD method) {
    if (dwAccess == 0) return FALSE;
    const DWORD size = GetSize();
    LONGLONG target;
    if (method == FILE_BEGIN)
        target = static_cast<DWORD>(offset);
    else if (method == FILE_CURRENT)
        target = LONGLONG(dwFilePtr) + offset;
    else if (method == FILE_END)
        target = LONGLONG(size) + offset;
    else
        return FALSE;
    if (target < 0 || ULONGLONG(target) > kLargestPosition) return FALSE;
    const DWORD position = static_cast<DWORD>(target);
    if (position <= size) {
        dwFilePtr = position;
        return TRUE;
    }
    // Beyond the end: only a writer without read access may go there.
    if ((dwAccess & GENERIC_READ) || !MakeWritable()) return FALSE;
    if (position <= pMH->dwAllocSize) {
        ZeroGap(pMH->dwSize, position);
        pMH->dwSize = position;
    } else if (!Reserve(position)) {
        return FALSE;
    }
    dwFilePtr = position;
    return TRUE;
}
