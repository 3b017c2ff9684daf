// Whether one path is, lies inside, or contains a folder, decided by file identity (device and
// inode) rather than by spelling, so links, ".." and case variants cannot dodge the check.
#pragma once

#include "qzobj/types.h"

namespace qzo::platform {

enum class PathRelation {
    kUnrelated,  // neither contains the other
    kSame,       // both reach the same folder
    kInside,     // the path lies inside the folder (at any depth)
    kContains,   // the path is an ancestor of the folder
    kUnknown,    // the folder does not exist, or a path cannot be resolved
};

// How `path` (which need not exist: its deepest existing ancestor stands in for it) relates to
// the existing folder `folder`. System paths, names found without case.
PathRelation RelatePaths(const WCHAR* path, const WCHAR* folder);

}  // namespace qzo::platform
