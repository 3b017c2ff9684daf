// The in-memory recording chunk archive of the tests.
#include "support/recording_archive.h"

#include <algorithm>
#include <cstring>

#include "qzobj/hashid.h"

namespace qzo::test {
namespace {

DWORD ChunkId(const char* name) { return name ? GetHashID(name) : CHNK_UNNAMED_ID; }

void PutLe32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetLe32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

}  // namespace

std::string Le32(uint32_t value) {
    std::string bytes(4, '\0');
    PutLe32(bytes, 0, value);
    return bytes;
}

std::string ChunkBytes(const char* name, const std::string& payload) {
    return Le32(ChunkId(name)) + Le32(static_cast<uint32_t>(payload.size())) + payload;
}

void RecordingArchive::Rewind() {
    position_ = 0;
    layers_ = 0;
    access_ = 0;
}

unsigned RecordingArchive::Chnk_Open(const char* name, DWORD dwDesiredAccess) {
    const DWORD desired = dwDesiredAccess & (CHNK_READ | CHNK_WRITE);
    const std::string label = name ? name : "(null)";
    const bool valid = (desired == CHNK_READ || desired == CHNK_WRITE) &&
                       layers_ < CHNK_MAX_LAYERS && (layers_ == 0 || desired == access_);
    if (!valid) {
        log_.push_back("open " + label + " refused");
        return 0xFFFFFFFF;
    }
    const unsigned n = layers_;
    if (desired == CHNK_WRITE) {
        if (n == 0) position_ = bytes_.size();
        const std::string header = Le32(ChunkId(name)) + Le32(0);
        bytes_.replace(position_, std::min(header.size(), bytes_.size() - position_), header);
        layer_[n] = {position_, 0, 0};
        position_ += 8;
    } else {
        if (n > 0 && layer_[n - 1].size - layer_[n - 1].done < 8) {
            log_.push_back("open " + label + " r refused: parent exceeded");
            return 0xFFFFFFFF;
        }
        if (position_ + 8 > bytes_.size() || GetLe32(bytes_, position_) != ChunkId(name)) {
            log_.push_back("open " + label + " r refused: header");
            return 0xFFFFFFFF;
        }
        layer_[n] = {position_, GetLe32(bytes_, position_ + 4), 0};
        position_ += 8;
    }
    access_ = desired;
    layers_ = n + 1;
    log_.push_back("open " + label + (desired == CHNK_WRITE ? " w" : " r") + " -> " +
                   std::to_string(n));
    return n;
}

BOOL RecordingArchive::Chnk_Close(unsigned layer) {
    if (layer >= layers_) {
        log_.push_back("close " + std::to_string(layer) + " refused");
        return FALSE;
    }
    if (access_ == CHNK_READ) {
        const size_t end = layer_[layer].headerPos + 8 + layer_[layer].size;
        position_ = std::max(position_, end);
    } else {
        for (unsigned i = layer; i < layers_; ++i)
            PutLe32(bytes_, layer_[i].headerPos + 4,
                    static_cast<uint32_t>(position_ - layer_[i].headerPos - 8));
    }
    layers_ = layer;
    for (unsigned i = 0; i < layers_; ++i)
        layer_[i].done = static_cast<DWORD>(position_ - layer_[i].headerPos - 8);
    log_.push_back("close " + std::to_string(layer));
    return TRUE;
}

DWORD RecordingArchive::Chnk_GetSize(unsigned layer) {
    return layer < layers_ ? layer_[layer].size : 0;
}

DWORD RecordingArchive::Chnk_Write(const void* data, DWORD count) {
    if (count == 0 || layers_ == 0 || access_ != CHNK_WRITE || !data) return 0;
    const char* bytes = static_cast<const char*>(data);
    if (position_ > bytes_.size()) bytes_.resize(position_, '\0');
    const size_t overlap = std::min<size_t>(count, bytes_.size() - position_);
    bytes_.replace(position_, overlap, bytes, count);
    position_ += count;
    layer_[layers_ - 1].done += count;
    log_.push_back("write " + std::to_string(count));
    return count;
}

DWORD RecordingArchive::Chnk_Read(void* data, DWORD count) {
    if (count == 0 || layers_ == 0 || access_ != CHNK_READ || !data) return 0;
    Layer& inner = layer_[layers_ - 1];
    size_t n = std::min<size_t>(count, inner.size - std::min(inner.size, inner.done));
    n = std::min(n, bytes_.size() - std::min(bytes_.size(), position_));
    if (n) std::memcpy(data, bytes_.data() + position_, n);
    position_ += n;
    inner.done += static_cast<DWORD>(n);
    log_.push_back("read " + std::to_string(count) + " -> " + std::to_string(n));
    return static_cast<DWORD>(n);
}

}  // namespace qzo::test
