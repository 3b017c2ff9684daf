// The buffered file stream under CChunkArchive.
#include "qzobj/archive/file_chunk_stream.h"

#include <algorithm>
#include <cstring>

#include "qzobj/file_modes.h"

namespace qzo::store {
namespace {

constexpr ULONGLONG kPositionLimit = 0xFFFFFFFFull;
constexpr DWORD kLargestBeginOffset = 0x7FFFFFFFu;

}  // namespace

void FileChunkStream::Start() {
    Clear();
    failed_ = false;
    const DWORD pointer = file_.GetFilePtr();
    position_ = pointer == 0xFFFFFFFFu ? 0 : pointer;
}

void FileChunkStream::Clear() {
    start_ = fill_ = dirtyFrom_ = dirtyTo_ = 0;
}

bool FileChunkStream::SeekFile(DWORD position) {
    if (file_.GetFilePtr() == position) return true;
    // The file's seek takes a signed distance: positions past 2 GiB go in two steps.
    if (position <= kLargestBeginOffset)
        return file_.SetFilePtr(static_cast<LONG>(position), FILE_BEGIN) != 0;
    return file_.SetFilePtr(static_cast<LONG>(kLargestBeginOffset), FILE_BEGIN) &&
           file_.SetFilePtr(static_cast<LONG>(position - kLargestBeginOffset), FILE_CURRENT);
}

bool FileChunkStream::Flush() {
    if (dirtyTo_ > dirtyFrom_) {
        const DWORD count = dirtyTo_ - dirtyFrom_;
        const bool written = SeekFile(start_ + dirtyFrom_) &&
                             file_.Write(window_.get() + dirtyFrom_, count) == count;
        if (!written) failed_ = true;
        dirtyFrom_ = dirtyTo_ = 0;
    }
    return !failed_;
}

ULONGLONG FileChunkStream::Size() {
    return std::max<ULONGLONG>(file_.GetSize(), ULONGLONG(start_) + fill_);
}

bool FileChunkStream::Seek(DWORD position) {
    if (file_.GetAccess() == 0) return false;
    position_ = position;
    return true;
}

bool FileChunkStream::Fits(DWORD count) const {
    return position_ >= start_ && position_ - start_ <= fill_ &&
           ULONGLONG(position_ - start_) + count <= kWindowSize;
}

void FileChunkStream::Fill(const void* data, DWORD count) {
    const DWORD at = position_ - start_;
    std::memcpy(window_.get() + at, data, count);
    if (dirtyTo_ == dirtyFrom_) {
        dirtyFrom_ = at;
        dirtyTo_ = at + count;
    } else {
        dirtyFrom_ = std::min(dirtyFrom_, at);
        dirtyTo_ = std::max(dirtyTo_, at + count);
    }
    fill_ = std::max(fill_, at + count);
    position_ += count;
}

DWORD FileChunkStream::Write(const void* data, DWORD count) {
    if (failed_ || count == 0 || ULONGLONG(position_) + count > kPositionLimit) return 0;
    if (window_ && Fits(count)) {
        Fill(data, count);
        return count;
    }
    if (!Flush()) return 0;
    Clear();
    if (count >= kWindowSize) {
        if (!SeekFile(position_)) return 0;
        const DWORD written = file_.Write(data, count);
        if (written < count) failed_ = true;
        position_ += written;
        return written;
    }
    if (!window_) window_ = std::make_unique<BYTE[]>(kWindowSize);
    start_ = position_;
    Fill(data, count);
    return count;
}

bool FileChunkStream::Refill() {
    if (!Flush()) return false;
    Clear();
    if (!window_) window_ = std::make_unique<BYTE[]>(kWindowSize);
    start_ = position_;
    if (!SeekFile(position_)) return false;
    fill_ = file_.Read(window_.get(), kWindowSize);
    return fill_ > 0;
}

DWORD FileChunkStream::Read(void* data, DWORD count) {
    BYTE* to = static_cast<BYTE*>(data);
    DWORD done = 0;
    while (done < count) {
        if (window_ && position_ >= start_ && position_ - start_ < fill_) {
            const DWORD at = position_ - start_;
            const DWORD part = std::min(count - done, fill_ - at);
            std::memcpy(to + done, window_.get() + at, part);
            done += part;
            position_ += part;
            continue;
        }
        if (count - done >= kWindowSize) {
            // Large reads go straight to the caller's memory.
            if (!Flush() || !SeekFile(position_)) break;
            Clear();
            const DWORD got = file_.Read(to + done, count - done);
            done += got;
            position_ += got;
            break;
        }
        if (!Refill()) break;
    }
    return done;
}

bool FileChunkStream::Truncate() {
    if (!Flush()) return false;
    if (ULONGLONG(start_) + fill_ > position_) fill_ = position_ > start_ ? position_ - start_ : 0;
    file_.SetEOF(position_);
    return file_.GetSize() == position_;
}

}  // namespace qzo::store
