// `qzo chunks FILE`: the chunk tree of any chunk file, from an offset to the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chunk_tree.h"
#include "verbs.h"

namespace qzo::tool {
namespace {

constexpr char kUsage[] =
    "usage: qzo chunks FILE [--offset N] [--names a,b,c]\n"
    "Prints the chunk tree of FILE from byte N (default 0) to its end: each chunk's file offset,\n"
    "name (when its hash is one of the library's chunk names or given with --names), hash ID,\n"
    "payload size, and either its nested chunks or its first raw bytes. A damaged tree is printed\n"
    "up to the first bad header, which is then reported.\n"
    "Exit status: 0 printed, 1 unreadable file or bad chunk header, 2 bad usage.\n";

}  // namespace

int RunChunks(int argc, char** argv) {
    const char* file = nullptr;
    unsigned long long offset = 0;
    ChunkNames names;
    const int status = ParseFileVerbArguments(argc, argv, kUsage, file, names, &offset);
    if (status >= 0) return status;
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadWholeFile(file, bytes, error)) {
        std::fprintf(stderr, "qzo chunks: %s: %s\n", file, error.c_str());
        return 1;
    }
    if (offset > bytes.size()) {
        std::fprintf(stderr, "qzo chunks: %s: offset %llu lies past the end (%zu bytes)\n", file,
                     offset, bytes.size());
        return 1;
    }
    std::printf("%s: %zu bytes, chunks from offset %llu\n", file, bytes.size(), offset);
    const ChunkFault fault = PrintChunks(stdout, bytes, size_t(offset), bytes.size(), 0, names, 0);
    if (fault.found) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzo chunks: %s: bad chunk header at offset %llu: %s\n", file,
                     (unsigned long long)fault.offset, fault.what.c_str());
        return 1;
    }
    return 0;
}

}  // namespace qzo::tool
