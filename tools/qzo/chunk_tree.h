// Printing chunk trees: a sequence of 8-byte headers (hash ID of the name, payload size) and
// payloads that hold raw bytes or further chunks, nested up to 16 layers. Shared by `qzo chunks`
// and `qzo object`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qzo::tool {

// Names shown for known chunk IDs: the library's own chunk names plus any the user adds.
class ChunkNames {
  public:
    ChunkNames();
    // Adds every name of a comma-separated list.
    void AddList(const std::string& list);
    // The name of `id`, or null when unknown.
    const char* Find(uint32_t id) const;

  private:
    std::vector<std::pair<uint32_t, std::string>> names_;
};

// Where a walk stopped on a header it could not accept.
struct ChunkFault {
    bool found = false;
    uint64_t offset = 0;  // file offset of the bad header
    std::string what;     // e.g. "size 4096 runs past the end (at 7968)"
};

// Prints the chunks of `bytes` [begin, end) as a tree, `indent` levels deep. `base` is the file
// offset of bytes[0]. A top-level run of zero bytes to the end is reported as padding. Returns
// the first fault; what lies before it has been printed.
ChunkFault PrintChunks(FILE* out, const std::vector<uint8_t>& bytes, size_t begin, size_t end,
                       uint64_t base, const ChunkNames& names, int indent);

// The arguments of the file verbs: "--help" alone, one FILE, "--names a,b,c" (repeatable) and,
// when `offset` is given, "--offset N". Returns -1 when they are good; otherwise prints `usage`
// (to standard output for --help) and returns the exit status, 0 or 2.
int ParseFileVerbArguments(int argc, char** argv, const char* usage, const char*& file,
                           ChunkNames& names, unsigned long long* offset);

// Reads a whole file; false (with `error` set) when it cannot be read.
bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes, std::string& error);

// Little-endian reads from a byte buffer the caller has bounds-checked.
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Stored UTF-16 text (little-endian units, at most `count`, ending at the first 0) as ASCII for
// printing; other characters show as '?'.
std::string StoredText(const uint8_t* units, size_t count);

}  // namespace qzo::tool
