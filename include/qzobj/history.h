// tagUNDOLIST: one version of an object's history as GetUndoRedoList hands it out.
#pragma once

#include <cstddef>
#include <type_traits>

#include "qzobj/types.h"

// Units of an undo comment. A shorter comment is terminated inside; a comment of all 32 units
// has no terminator, so readers bound its length by the field.
#define UNDOLIST_COMMENT_UNITS 32u

// 76 bytes, one per listed version, sorted by ModifyCnt.
struct tagUNDOLIST {
    DWORD dwModifyCnt;                        // the version's stamp
    DWORD dwSizeKB;                           // (end - offset + 512) >> 10
    WCHAR szComment[UNDOLIST_COMMENT_UNITS];  // the undo comment recorded with the version
    DWORD dwModifyID;                         // the caller's value recorded with the version
};

static_assert(sizeof(tagUNDOLIST) == 76, "an undo list entry is 76 bytes");
static_assert(std::is_standard_layout_v<tagUNDOLIST>, "an undo list entry is plain data");
static_assert(offsetof(tagUNDOLIST, dwSizeKB) == 4, "undo list entry layout");
static_assert(offsetof(tagUNDOLIST, szComment) == 8, "undo list entry layout");
static_assert(offsetof(tagUNDOLIST, dwModifyID) == 72, "undo list entry layout");
