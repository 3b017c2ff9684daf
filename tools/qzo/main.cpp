// qzo: the command-line companion of the object library.
#include <cstdio>
#include <cstring>

#include "qzobj/qzobj.h"

namespace {

int Usage(FILE* out) {
    std::fputs("usage: qzo demo\n", out);
    return out == stdout ? 0 : 2;
}

int Demo() {
    std::puts("qzo demo: the object store walk arrives with the locators; the library is built "
              "and its foundation is tested (make check).");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage(stderr);
    if (std::strcmp(argv[1], "demo") == 0) return Demo();
    if (std::strcmp(argv[1], "--help") == 0) return Usage(stdout);
    std::fprintf(stderr, "qzo: unknown verb '%s'\n", argv[1]);
    return 2;
}
