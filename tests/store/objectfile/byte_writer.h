// A test-side writer of stored bytes: fields put one by one at absolute offsets, independently
// of the library's encoder, so golden images do not share its mistakes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qzo::test::objectfile {

class ByteWriter {
  public:
    explicit ByteWriter(size_t size, uint8_t fill = 0) : bytes_(size, fill) {}

    void U32(size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_.at(at + i) = uint8_t(value >> (8 * i));
    }
    void U16(size_t at, uint16_t value) {
        bytes_.at(at) = uint8_t(value);
        bytes_.at(at + 1) = uint8_t(value >> 8);
    }
    void Raw(size_t at, std::initializer_list<uint8_t> values) {
        for (uint8_t value : values) bytes_.at(at++) = value;
    }
    // UTF-16LE text without terminator (the rest of the field keeps its bytes).
    void Text(size_t at, const std::u16string& text) {
        for (size_t i = 0; i < text.size(); ++i) U16(at + 2 * i, text[i]);
    }

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::vector<uint8_t>& bytes() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// The GUID of the library's persistent root class, {6B1F4E00-2C7A-11CF-8E3D-0000C4A51B77}.
inline constexpr uint32_t kRootGuidData1 = 0x6B1F4E00u;
inline constexpr uint16_t kRootGuidData2 = 0x2C7A;
inline constexpr uint16_t kRootGuidData3 = 0x11CF;
inline constexpr uint8_t kRootGuidData4[8] = {0x8E, 0x3D, 0x00, 0x00, 0xC4, 0xA5, 0x1B, 0x77};
inline constexpr uint32_t kRootHashID = 0x3437008Du;  // hash ID of "CQZObject"
inline constexpr char16_t kRootLibraryPath[] = u"/opt/suite/lib/libqzobju.so";

}  // namespace qzo::test::objectfile
