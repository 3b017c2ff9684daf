// The text of a project folder's "README.TXT", kept as the library's own resource ("TEXTFILE",
// number 111): single-byte text, 17 lines ended by CR LF, 517 bytes.
#include "qzobj/platform/module.h"

namespace qzo::store::prjloc {
namespace {

constexpr char kReadmeText[] =
    "***************************\r\n"
    "WARNING WARNING WARNING\r\n"
    "***************************\r\n"
    "\r\n"
    "This directory contains all the descriptive data of the project.\r\n"
    "For better access the data are split into various subdirectories and files.\r\n"
    "\r\n"
    "******************************************************\r\n"
    "DO NOT DIRECTLY EDIT OR CHANGE ANY OF IT'S CONTENTS!\r\n"
    "******************************************************\r\n"
    "\r\n"
    "If you need to create a backup of the project, simply backup\r\n"
    "the this directory and all it's subdirectories.\r\n"
    "\r\n"
    "\r\n"
    "\r\n"
    "\r\n";
static_assert(sizeof kReadmeText - 1 == 517, "the README resource is 517 bytes");

[[maybe_unused]] const bool registered = [] {
    platform::RegisterResource(platform::ThisModule(), "TEXTFILE", 111, kReadmeText,
                               sizeof kReadmeText - 1);
    return true;
}();

}  // namespace
}  // namespace qzo::store::prjloc
