// The abstract chunk archive's out-of-line destructor, which anchors its vtable in the library.
#include "qzobj/archive.h"

CQZArchive::~CQZArchive() = default;
