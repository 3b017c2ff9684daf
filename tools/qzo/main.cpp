// qzo: the command-line companion of the object library. main dispatches to the verb table.
#include <cstdio>
#include <cstring>

#include "verbs.h"

namespace {

struct Verb {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

constexpr Verb kVerbs[] = {
    {"chunks", qzo::tool::RunChunks, "print the chunk tree of a chunk file"},
    {"demo", qzo::tool::RunDemo, "walk one object through a fresh project folder"},
    {"hash", qzo::tool::RunHash, "print the hash identifiers of names"},
    {"ids", qzo::tool::RunIds, "show a project's PRJ.IDS: counter, user slots, locks"},
    {"location", qzo::tool::RunLocation, "decode a location's text, or encode its fields"},
    {"object", qzo::tool::RunObject, "lay open an object file: header, history, blocks, writer"},
    {"project", qzo::tool::RunProject, "show a project folder: ID, version, layout, objects"},
};

int Usage(FILE* out) {
    std::fputs("usage: qzo <verb> [arguments]   (qzo <verb> --help for details)\n", out);
    for (const Verb& verb : kVerbs) std::fprintf(out, "  %-8s %s\n", verb.name, verb.summary);
    return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(stderr);
    if (std::strcmp(argv[1], "--help") == 0) return Usage(stdout);
    for (const Verb& verb : kVerbs)
        if (std::strcmp(argv[1], verb.name) == 0) return verb.run(argc - 2, argv + 2);
    std::fprintf(stderr, "qzo: unknown verb '%s'\n", argv[1]);
    return 2;
}
