// CPvListS: a list kept in the order of a caller's comparison, searched with qzqsearch.
#include "qzobj/containers.h"

DWORD CPvListS::LocateEntry(const void* item) const {
    return qzqsearch(item, GetCList(), GetNItems(), dwItemSize, pCompare);
}

DWORD CPvListS::LocateIndex(const void* item) const {
    if (!item || !pCompare) return CPVLIST_NONE;
    const DWORD position = LocateEntry(item);
    if (position >= GetNItems() || pCompare(ItemAt(position), item) != 0) return CPVLIST_NONE;
    return position;
}

DWORD CPvListS::Add(const void* item, BOOL replace) {
    const DWORD position = LocateEntry(item);
    if (replace && item && pCompare && position < GetNItems() &&
        pCompare(ItemAt(position), item) == 0) {
        InsertItem(ItemAt(position), item);
        return position;
    }
    return Insert(item, position) == CPVLIST_NONE ? CPVLIST_NONE : position;
}

BOOL CPvListS::ReSort() {
    const DWORD count = GetNItems();
    if (count == 0 || !pCompare) return 0;
    qzqsort(ItemAt(0), count, dwItemSize, pCompare);
    return 1;
}
