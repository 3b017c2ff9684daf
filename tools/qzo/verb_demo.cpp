// qzo demo: the walk of one object from creation to undo (a placeholder until the locators
// arrive).
#include <cstdio>

#include "verbs.h"

namespace qzo::tool {

int RunDemo(int /*argc*/, char** /*argv*/) {
    std::puts(
        "qzo demo: the object store walk arrives with the locators; the library is built "
        "and its foundation is tested (make check).");
    return 0;
}

}  // namespace qzo::tool
