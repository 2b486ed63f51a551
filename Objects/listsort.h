/* The list sort, private to the library: listobject.cpp parses the
 * arguments of list.sort and calls in here; listsort.cpp holds the merge
 * sort with its helper types. */
#ifndef ZV_LISTSORT_H
#define ZV_LISTSORT_H

#include "zuvo.h"

/* Reverses the slots lo .. hi-1 in place. */
inline void _ZvList_ReverseSlice(ZvObject **lo, ZvObject **hi)
{
    --hi;
    while (lo < hi) {
        ZvObject *t = *lo;
        *lo = *hi;
        *hi = t;
        ++lo;
        --hi;
    }
}

extern "C" {

/* Sorts the list in place, stably.  compare (a callable returning an int
 * like cmp) and keyfunc may be NULL; with reverse the order is descending
 * while equal items keep their order.  Returns None, or NULL with an error
 * set; on failure the list still holds all its items, possibly reordered. */
ZvObject *_ZvList_SortImpl(ZvListObject *self, ZvObject *compare, ZvObject *keyfunc,
                           int reverse);
}

#endif /* ZV_LISTSORT_H */
