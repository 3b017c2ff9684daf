// The library's own string table, registered under the library's module at load.
#include "qzobj/platform/module.h"

namespace qzo::frame {
namespace {

constexpr platform::StringResource kLibraryStrings[] = {
    {2, u"README.TXT"},
    {40001, u"QZ base class"},
    {40002, u"RT object base class"},
};

[[maybe_unused]] const bool registered = [] {
    platform::RegisterStringTable(platform::ThisModule(), kLibraryStrings,
                                  sizeof kLibraryStrings / sizeof kLibraryStrings[0]);
    return true;
}();

}  // namespace
}  // namespace qzo::frame
