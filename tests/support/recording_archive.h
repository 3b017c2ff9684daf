// An in-memory chunk archive for tests of classes that store themselves as chunks, until and
// besides the library's own archives: it writes and reads the chunk byte format exactly (read
// layers are bounded by their chunk, closing a layer brings its parents up to date) and keeps a
// log of the calls it received.
#pragma once

#include <string>
#include <vector>

#include "qzobj/store.h"

namespace qzo::test {

class RecordingArchive : public CQZArchive {
public:
    RecordingArchive() = default;
    // An archive that reads the given bytes.
    explicit RecordingArchive(std::string bytes) : bytes_(std::move(bytes)) {}

    unsigned Chnk_Open(const char* name, DWORD dwDesiredAccess) override;
    BOOL Chnk_Close(unsigned layer) override;
    DWORD Chnk_GetSize(unsigned layer) override;
    DWORD Chnk_Write(const void* data, DWORD count) override;
    DWORD Chnk_Read(void* data, DWORD count) override;

    // The bytes written so far (or given to read).
    const std::string& Bytes() const { return bytes_; }
    // Starts reading the bytes from the beginning (after writing them).
    void Rewind();
    // "open NAME r|w -> N", "close N", "write N", "read N -> M", one entry per call.
    const std::vector<std::string>& Log() const { return log_; }
    unsigned OpenLayers() const { return layers_; }
    size_t Position() const { return position_; }

private:
    struct Layer {
        size_t headerPos;
        DWORD size;
        DWORD done;
    };
    std::string bytes_;
    size_t position_ = 0;
    unsigned layers_ = 0;
    DWORD access_ = 0;
    Layer layer_[CHNK_MAX_LAYERS] = {};
    std::vector<std::string> log_;
};

// Builds the bytes of one chunk: header (hash identifier of `name`, payload size) and payload.
std::string ChunkBytes(const char* name, const std::string& payload);
// Little-endian 32-bit value as 4 bytes.
std::string Le32(uint32_t value);

}  // namespace qzo::test
