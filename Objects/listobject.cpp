/* The mutable sequence `list` and its two iterators.
 *
 * ob_item is a separately allocated array of `allocated` slots, of which
 * the first ob_size hold owned references: 0 <= ob_size <= allocated, and
 * ob_item is NULL exactly when allocated is 0.  While a sort runs the
 * items are detached and allocated is -1, so that any change made by user
 * code during the sort can be detected (see listsort.cpp).  Growth
 * over-allocates by about one eighth, so appends are amortised constant
 * time.
 *
 * Any operation that may run user code (comparisons, destructors of
 * released items, iteration) re-reads ob_size and ob_item afterwards and
 * holds a reference to the item it works on: the code may change the list.
 * Released items are dropped only once the list is consistent again.
 *
 * Up to MAXFREELISTS released headers (their arrays freed) are kept for
 * reuse by exact lists. */
#include "zuvo.h"
#include "listsort.h"
#include "zvref.h"

#include <string.h>

namespace {

/* Bounded so that a burst of short-lived lists does not pin memory. */
constexpr int MAXFREELISTS = 80;

/* The largest number of item slots a list may hold: the count whose byte
 * size fits in a signed 32-bit size on a machine with 4-byte pointers.
 * It is the language-visible limit on a list's length on every host. */
constexpr int32_t max_list_slots = 0x3FFFFFFF;

ZvListObject *free_lists[MAXFREELISTS];
int num_free_lists = 0;

/* Shared message object for the common IndexError, so that a loop that
 * ends by running off a list does not build a new string each time. */
ZvObject *indexerr = nullptr;

/* Sets ob_size to newsize, reallocating the array when it is too small or
 * less than half used.  A failed growth raises MemoryError and leaves the
 * list unchanged; a failed shrink keeps the larger array. */
int list_resize(ZvListObject *self, int newsize)
{
    int allocated = self->allocated;
    if (allocated >= newsize && newsize >= (allocated >> 1)) {
        self->ob_size = newsize;
        return 0;
    }
    /* Over-allocate proportionally: the growth pattern is 0, 4, 8, 16, 25,
     * 35, 46, 58, 72, 88, ... */
    int64_t new_allocated = (int64_t)newsize + (newsize >> 3) + (newsize < 9 ? 3 : 6);
    if (newsize == 0) new_allocated = 0;
    if (new_allocated > max_list_slots) {
        ZvErr_NoMemory();
        return -1;
    }
    size_t nbytes = (size_t)new_allocated * sizeof(ZvObject *);
    auto **items = (ZvObject **)ZvMem_Realloc(self->ob_item, nbytes ? nbytes : 1);
    if (items == nullptr) {
        if (newsize <= allocated) {
            self->ob_size = newsize;
            return 0;
        }
        ZvErr_NoMemory();
        return -1;
    }
    self->ob_item = items;
    self->ob_size = newsize;
    self->allocated = (int32_t)new_allocated;
    return 0;
}

/* Converts an int or long index (a long goes through the integer
 * conversion, which raises OverflowError outside the 32-bit range). */
bool index_from_integer(ZvObject *key, int *pi)
{
    if (ZvInt_Check(key)) {
        *pi = ZvInt_AS_LONG(key);
        return true;
    }
    int32_t v = ZvInt_AsLong(key);
    if (v == -1 && ZvErr_Occurred()) return false;
    *pi = v;
    return true;
}

/* The slice-bound conversion as an "O&" converter for the argument parser. */
int slice_index(ZvObject *v, void *p) { return _ZvEval_SliceIndex(v, (int *)p); }

/* A size guess for extending from an iterable: its length, or 8 when it
 * has none (TypeError or AttributeError); -1 on other errors. */
int guess_length(ZvObject *o)
{
    int n = ZvObject_Size(o);
    if (n >= 0) return n;
    if (!ZvErr_ExceptionMatches(ZvExc_TypeError) && !ZvErr_ExceptionMatches(ZvExc_AttributeError))
        return -1;
    ZvErr_Clear();
    return 8;
}

/* The item array of an exact list or tuple (what ZvSequence_Fast returns). */
ZvObject **fast_items(ZvObject *seq)
{
    return ZvList_Check(seq) ? ((ZvListObject *)seq)->ob_item : ((ZvTupleObject *)seq)->ob_item;
}

/* Empties the list: detaches the array first, then releases the items
 * from last to first, so a destructor that looks at the list finds it
 * empty and consistent.  Also marks a list being sorted as modified. */
void list_clear_items(ZvListObject *a)
{
    ZvObject **item = a->ob_item;
    int i = a->ob_size;
    a->ob_item = nullptr;
    a->ob_size = 0;
    a->allocated = 0;
    if (item == nullptr) return;
    while (--i >= 0) Zv_XDECREF(item[i]);
    ZvMem_Free(item);
}

bool is_list_arg(ZvObject *op) { return op != nullptr && ZvList_Check(op); }

} // namespace

extern "C" {

ZvObject *ZvList_New(int size)
{
    if (size < 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (size > max_list_slots) return ZvErr_NoMemory();
    ZvListObject *op;
    if (num_free_lists > 0) {
        op = free_lists[--num_free_lists];
        op->ob_refcnt = 1;
    } else {
        op = ZvObject_GC_New(ZvListObject, &ZvList_Type);
        if (op == nullptr) return nullptr;
    }
    if (size == 0) {
        op->ob_item = nullptr;
    } else {
        size_t nbytes = (size_t)size * sizeof(ZvObject *);
        op->ob_item = (ZvObject **)ZvMem_Malloc(nbytes);
        if (op->ob_item == nullptr) {
            Zv_TYPE(op)->tp_free((ZvObject *)op);
            return ZvErr_NoMemory();
        }
        memset(op->ob_item, 0, nbytes);
    }
    op->ob_size = size;
    op->allocated = size;
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

int ZvList_Size(ZvObject *op)
{
    if (!is_list_arg(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return Zv_SIZE(op);
}

static void set_index_error(void)
{
    if (indexerr == nullptr) {
        indexerr = ZvString_FromString("list index out of range");
        if (indexerr == nullptr) return;
    }
    ZvErr_SetObject(ZvExc_IndexError, indexerr);
}

ZvObject *ZvList_GetItem(ZvObject *op, int i)
{
    if (!is_list_arg(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (i < 0 || i >= Zv_SIZE(op)) {
        set_index_error();
        return nullptr;
    }
    return ((ZvListObject *)op)->ob_item[i];
}

int ZvList_SetItem(ZvObject *op, int i, ZvObject *newitem)
{
    if (!is_list_arg(op)) {
        Zv_XDECREF(newitem);
        ZvErr_BadInternalCall();
        return -1;
    }
    if (i < 0 || i >= Zv_SIZE(op)) {
        Zv_XDECREF(newitem);
        ZvErr_SetString(ZvExc_IndexError, "list assignment index out of range");
        return -1;
    }
    ZvObject **p = ((ZvListObject *)op)->ob_item + i;
    ZvObject *olditem = *p;
    *p = newitem;
    Zv_XDECREF(olditem);
    return 0;
}

static int ins1(ZvListObject *self, int where, ZvObject *v)
{
    int n = self->ob_size;
    if (v == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (n == INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "cannot add more objects to list");
        return -1;
    }
    if (list_resize(self, n + 1) == -1) return -1;
    if (where < 0) {
        where += n;
        if (where < 0) where = 0;
    }
    if (where > n) where = n;
    ZvObject **items = self->ob_item;
    memmove(&items[where + 1], &items[where], (size_t)(n - where) * sizeof(ZvObject *));
    Zv_INCREF(v);
    items[where] = v;
    return 0;
}

static int app1(ZvListObject *self, ZvObject *v) { return ins1(self, self->ob_size, v); }

int ZvList_Insert(ZvObject *op, int where, ZvObject *newitem)
{
    if (!is_list_arg(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return ins1((ZvListObject *)op, where, newitem);
}

int ZvList_Append(ZvObject *op, ZvObject *newitem)
{
    if (!is_list_arg(op) || newitem == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return app1((ZvListObject *)op, newitem);
}

static ZvObject *list_slice(ZvListObject *a, int ilow, int ihigh)
{
    int size = a->ob_size;
    if (ilow < 0) ilow = 0;
    else if (ilow > size) ilow = size;
    if (ihigh < ilow) ihigh = ilow;
    else if (ihigh > size) ihigh = size;
    ZvObject *np = ZvList_New(ihigh - ilow);
    if (np == nullptr) return nullptr;
    ZvObject **src = a->ob_item + ilow;
    ZvObject **dest = ((ZvListObject *)np)->ob_item;
    for (int i = 0; i < ihigh - ilow; i++) {
        Zv_INCREF(src[i]);
        dest[i] = src[i];
    }
    return np;
}

ZvObject *ZvList_GetSlice(ZvObject *a, int ilow, int ihigh)
{
    if (!is_list_arg(a)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return list_slice((ZvListObject *)a, ilow, ihigh);
}

ZvObject *ZvList_AsTuple(ZvObject *v)
{
    if (!is_list_arg(v)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    int n = Zv_SIZE(v);
    ZvObject *w = ZvTuple_New(n);
    if (w == nullptr) return nullptr;
    for (int i = 0; i < n; i++) {
        ZvObject *item = ZvList_GET_ITEM(v, i);
        Zv_INCREF(item);
        ZvTuple_SET_ITEM(w, i, item);
    }
    return w;
}

/* a[ilow:ihigh] = v, or del a[ilow:ihigh] when v is NULL.  v may be any
 * iterable; it is converted before the list is touched.  The replaced
 * items are copied aside and released only after the list is consistent
 * again, since their destructors may run code that looks at the list. */
static int list_ass_slice(ZvListObject *a, int ilow, int ihigh, ZvObject *v)
{
    if (v == (ZvObject *)a) {
        /* a[i:j] = a: assign a copy, the list changes under the copy loop. */
        ZvObject *copy = list_slice(a, 0, a->ob_size);
        if (copy == nullptr) return -1;
        int r = list_ass_slice(a, ilow, ihigh, copy);
        Zv_DECREF(copy);
        return r;
    }
    ZvObject *v_as_SF = nullptr;
    ZvObject **vitem = nullptr;
    int n = 0;
    if (v != nullptr) {
        v_as_SF = ZvSequence_Fast(v, "can only assign an iterable");
        if (v_as_SF == nullptr) return -1;
        n = Zv_SIZE(v_as_SF);
        vitem = fast_items(v_as_SF);
    }
    int size = a->ob_size;
    if (ilow < 0) ilow = 0;
    else if (ilow > size) ilow = size;
    if (ihigh < ilow) ihigh = ilow;
    else if (ihigh > size) ihigh = size;
    int norig = ihigh - ilow;
    int64_t newsize = (int64_t)size - norig + n;
    if (newsize == 0) {
        Zv_XDECREF(v_as_SF);
        list_clear_items(a);
        return 0;
    }
    if (newsize > max_list_slots) {
        Zv_XDECREF(v_as_SF);
        ZvErr_NoMemory();
        return -1;
    }
    int d = n - norig;
    int result = -1;
    ZvObject *recycle_on_stack[8];
    ZvObject **recycle = recycle_on_stack;
    size_t s = (size_t)norig * sizeof(ZvObject *);
    if (s > sizeof(recycle_on_stack)) {
        recycle = (ZvObject **)ZvMem_Malloc(s);
        if (recycle == nullptr) {
            ZvErr_NoMemory();
            goto done;
        }
    }
    if (norig > 0) memcpy(recycle, &a->ob_item[ilow], s);
    if (d < 0) {
        memmove(&a->ob_item[ihigh + d], &a->ob_item[ihigh],
                (size_t)(size - ihigh) * sizeof(ZvObject *));
        (void)list_resize(a, size + d); /* a shrink never fails */
    } else if (d > 0) {
        if (list_resize(a, size + d) < 0) goto done;
        memmove(&a->ob_item[ihigh + d], &a->ob_item[ihigh],
                (size_t)(size - ihigh) * sizeof(ZvObject *));
    }
    for (int k = 0; k < n; k++) {
        Zv_INCREF(vitem[k]);
        a->ob_item[ilow + k] = vitem[k];
    }
    for (int k = norig - 1; k >= 0; --k) Zv_XDECREF(recycle[k]);
    result = 0;
done:
    if (recycle != recycle_on_stack) ZvMem_Free(recycle);
    Zv_XDECREF(v_as_SF);
    return result;
}

int ZvList_SetSlice(ZvObject *a, int ilow, int ihigh, ZvObject *v)
{
    if (!is_list_arg(a)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return list_ass_slice((ZvListObject *)a, ilow, ihigh, v);
}

/* l.extend(b).  Exact lists and tuples (and l itself) are copied in one
 * step; any other iterable is read item by item into spare capacity
 * reserved from a guess of its length.  The list stays consistent while
 * the iterator runs (its length counts only the items stored so far). */
static ZvObject *listextend(ZvObject *obj, ZvObject *b)
{
    auto *self = (ZvListObject *)obj;
    if (ZvList_CheckExact(b) || ZvTuple_CheckExact(b) || b == obj) {
        ZvObject *seq = ZvSequence_Fast(b, "argument must be iterable");
        if (seq == nullptr) return nullptr;
        int n = Zv_SIZE(seq);
        int m = self->ob_size;
        if (n == 0) {
            Zv_DECREF(seq);
            Zv_RETURN_NONE;
        }
        if ((int64_t)m + n > max_list_slots) {
            Zv_DECREF(seq);
            return ZvErr_NoMemory();
        }
        if (list_resize(self, m + n) == -1) {
            Zv_DECREF(seq);
            return nullptr;
        }
        /* Read the source only now: it may be this list, just resized. */
        ZvObject **src = fast_items(seq);
        ZvObject **dest = self->ob_item + m;
        for (int i = 0; i < n; i++) {
            Zv_INCREF(src[i]);
            dest[i] = src[i];
        }
        Zv_DECREF(seq);
        Zv_RETURN_NONE;
    }

    zv::Ref it(ZvObject_GetIter(b));
    if (!it) return nullptr;
    int n = guess_length(b);
    if (n < 0) return nullptr;
    int m = self->ob_size;
    if (n > 0 && (int64_t)m + n <= max_list_slots) {
        if (list_resize(self, m + n) == -1) return nullptr;
        self->ob_size = m; /* reserve the room, but show only real items */
    }
    for (;;) {
        ZvObject *item = ZvIter_Next(it.get());
        if (item == nullptr) {
            if (ZvErr_Occurred()) return nullptr;
            break;
        }
        if (self->ob_size < self->allocated) {
            self->ob_item[self->ob_size++] = item; /* steals the reference */
        } else {
            int status = app1(self, item);
            Zv_DECREF(item);
            if (status < 0) return nullptr;
        }
    }
    /* Give back the room a too generous guess reserved. */
    if (self->ob_size < self->allocated) (void)list_resize(self, self->ob_size);
    Zv_RETURN_NONE;
}

ZvObject *_ZvList_Extend(ZvListObject *self, ZvObject *b)
{
    if (!is_list_arg((ZvObject *)self) || b == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return listextend((ZvObject *)self, b);
}

/* --- sequence and mapping slots ------------------------------------------ */

static int list_length(ZvObject *a) { return Zv_SIZE(a); }

static ZvObject *list_item(ZvObject *a, int i)
{
    if (i < 0 || i >= Zv_SIZE(a)) {
        set_index_error();
        return nullptr;
    }
    ZvObject *v = ZvList_GET_ITEM(a, i);
    Zv_INCREF(v);
    return v;
}

static ZvObject *list_slice_slot(ZvObject *a, int ilow, int ihigh)
{
    return list_slice((ZvListObject *)a, ilow, ihigh);
}

static int list_ass_item(ZvObject *obj, int i, ZvObject *v)
{
    auto *a = (ZvListObject *)obj;
    if (i < 0 || i >= a->ob_size) {
        ZvErr_SetString(ZvExc_IndexError, "list assignment index out of range");
        return -1;
    }
    if (v == nullptr) return list_ass_slice(a, i, i + 1, nullptr);
    Zv_INCREF(v);
    ZvObject *old = a->ob_item[i];
    a->ob_item[i] = v;
    Zv_DECREF(old);
    return 0;
}

static int list_ass_slice_slot(ZvObject *a, int ilow, int ihigh, ZvObject *v)
{
    return list_ass_slice((ZvListObject *)a, ilow, ihigh, v);
}

static ZvObject *list_concat(ZvObject *a, ZvObject *bb)
{
    if (!ZvList_Check(bb)) {
        ZvErr_Format(ZvExc_TypeError, "can only concatenate list (not \"%.200s\") to list",
                     Zv_TYPE(bb)->tp_name);
        return nullptr;
    }
    int64_t size = (int64_t)Zv_SIZE(a) + Zv_SIZE(bb);
    if (size > max_list_slots) return ZvErr_NoMemory();
    ZvObject *np = ZvList_New((int)size);
    if (np == nullptr) return nullptr;
    ZvObject **dest = ((ZvListObject *)np)->ob_item;
    for (int i = 0; i < Zv_SIZE(a); i++) {
        ZvObject *v = ZvList_GET_ITEM(a, i);
        Zv_INCREF(v);
        *dest++ = v;
    }
    for (int i = 0; i < Zv_SIZE(bb); i++) {
        ZvObject *v = ZvList_GET_ITEM(bb, i);
        Zv_INCREF(v);
        *dest++ = v;
    }
    return np;
}

static ZvObject *list_repeat(ZvObject *a, int n)
{
    if (n < 0) n = 0;
    int len = Zv_SIZE(a);
    int64_t size = (int64_t)len * n;
    if (size == 0) return ZvList_New(0);
    if (size > max_list_slots) return ZvErr_NoMemory();
    ZvObject *np = ZvList_New((int)size);
    if (np == nullptr) return nullptr;
    ZvObject **p = ((ZvListObject *)np)->ob_item;
    if (len == 1) {
        ZvObject *elem = ZvList_GET_ITEM(a, 0);
        for (int i = 0; i < n; i++) {
            *p++ = elem;
            Zv_INCREF(elem);
        }
        return np;
    }
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < len; j++) {
            *p = ZvList_GET_ITEM(a, j);
            Zv_INCREF(*p);
            p++;
        }
    }
    return np;
}

static int list_contains(ZvObject *a, ZvObject *el)
{
    int cmp = 0;
    for (int i = 0; cmp == 0 && i < Zv_SIZE(a); ++i) {
        ZvObject *item = ZvList_GET_ITEM(a, i);
        Zv_INCREF(item);
        cmp = ZvObject_RichCompareBool(el, item, Zv_EQ);
        Zv_DECREF(item);
    }
    return cmp;
}

static ZvObject *list_inplace_concat(ZvObject *self, ZvObject *other)
{
    ZvObject *result = listextend(self, other);
    if (result == nullptr) return nullptr;
    Zv_DECREF(result);
    Zv_INCREF(self);
    return self;
}

static ZvObject *list_inplace_repeat(ZvObject *obj, int n)
{
    auto *self = (ZvListObject *)obj;
    int size = self->ob_size;
    if (size == 0 || n == 1) {
        Zv_INCREF(self);
        return obj;
    }
    if (n < 1) {
        list_clear_items(self);
        Zv_INCREF(self);
        return obj;
    }
    int64_t total = (int64_t)size * n;
    if (total > max_list_slots) return ZvErr_NoMemory();
    if (list_resize(self, (int)total) == -1) return nullptr;
    ZvObject **items = self->ob_item;
    int p = size;
    for (int i = 1; i < n; i++) {
        for (int j = 0; j < size; j++) {
            ZvObject *o = items[j];
            Zv_INCREF(o);
            items[p++] = o;
        }
    }
    Zv_INCREF(self);
    return obj;
}

static ZvObject *list_subscript(ZvObject *self, ZvObject *item)
{
    if (ZvInt_Check(item) || ZvLong_Check(item)) {
        int i;
        if (!index_from_integer(item, &i)) return nullptr;
        if (i < 0) i += Zv_SIZE(self);
        return list_item(self, i);
    }
    if (!ZvSlice_Check(item)) {
        ZvErr_SetString(ZvExc_TypeError, "list indices must be integers");
        return nullptr;
    }
    int start, stop, step, slicelength;
    if (ZvSlice_GetIndicesEx((ZvSliceObject *)item, Zv_SIZE(self), &start, &stop, &step,
                             &slicelength) < 0)
        return nullptr;
    if (slicelength <= 0) return ZvList_New(0);
    if (step == 1) return list_slice((ZvListObject *)self, start, stop);
    ZvObject *result = ZvList_New(slicelength);
    if (result == nullptr) return nullptr;
    ZvObject **src = ((ZvListObject *)self)->ob_item;
    /* The cursor runs in 64 bits: one step past the last item can leave
     * the int range when the step is near it. */
    int64_t cur = start;
    for (int i = 0; i < slicelength; cur += step, i++) {
        Zv_INCREF(src[cur]);
        ZvList_SET_ITEM(result, i, src[cur]);
    }
    return result;
}

/* Deletes the items an extended slice selects, closing the gaps as it
 * goes; the removed items are released only once the list is whole.  The
 * cursor runs in 64 bits: a step near the int range takes it past. */
static int list_delete_extended(ZvListObject *self, int start, int step, int slicelength)
{
    if (step < 0) {
        /* The same items, selected in ascending order. */
        start = start + step * (slicelength - 1);
        step = -step;
    }
    auto **garbage = (ZvObject **)ZvMem_Malloc((size_t)slicelength * sizeof(ZvObject *));
    if (garbage == nullptr) {
        ZvErr_NoMemory();
        return -1;
    }
    const int64_t size = self->ob_size;
    int64_t cur = start;
    for (int i = 0; i < slicelength; cur += step, i++) {
        int64_t lim = step - 1;
        garbage[i] = self->ob_item[cur];
        if (cur + step >= size) lim = size - cur - 1;
        memmove(self->ob_item + cur - i, self->ob_item + cur + 1, (size_t)lim * sizeof(ZvObject *));
    }
    /* The tail after the last selected item moves down as well. */
    int64_t tail = size - cur;
    if (tail > 0)
        memmove(self->ob_item + cur - slicelength, self->ob_item + cur,
                (size_t)tail * sizeof(ZvObject *));
    self->ob_size -= slicelength;
    (void)list_resize(self, self->ob_size);
    for (int i = 0; i < slicelength; i++) Zv_DECREF(garbage[i]);
    ZvMem_Free(garbage);
    return 0;
}

/* Assigns the items of seq (a list or tuple, already converted) to the
 * positions an extended slice selects; the sizes must match.  The replaced
 * items are released after all the assignments. */
static int list_assign_extended(ZvListObject *self, int start, int step, int slicelength,
                                ZvObject *seq)
{
    int n = ZvSequence_Fast_GET_SIZE(seq);
    if (n != slicelength) {
        ZvErr_Format(ZvExc_ValueError,
                     "attempt to assign sequence of size %d to extended slice of size %d", n,
                     slicelength);
        return -1;
    }
    if (slicelength == 0) return 0;
    auto **garbage = (ZvObject **)ZvMem_Malloc((size_t)slicelength * sizeof(ZvObject *));
    if (garbage == nullptr) {
        ZvErr_NoMemory();
        return -1;
    }
    ZvObject **seqitems = fast_items(seq);
    int64_t cur = start;
    for (int i = 0; i < slicelength; cur += step, i++) {
        garbage[i] = self->ob_item[cur];
        Zv_INCREF(seqitems[i]);
        self->ob_item[cur] = seqitems[i];
    }
    for (int i = 0; i < slicelength; i++) Zv_DECREF(garbage[i]);
    ZvMem_Free(garbage);
    return 0;
}

static int list_ass_subscript(ZvObject *self, ZvObject *item, ZvObject *value)
{
    if (ZvInt_Check(item) || ZvLong_Check(item)) {
        int i;
        if (!index_from_integer(item, &i)) return -1;
        if (i < 0) i += Zv_SIZE(self);
        return list_ass_item(self, i, value);
    }
    if (!ZvSlice_Check(item)) {
        ZvErr_SetString(ZvExc_TypeError, "list indices must be integers");
        return -1;
    }
    auto *a = (ZvListObject *)self;
    auto *slice = (ZvSliceObject *)item;
    int start, stop, step, slicelength;
    if (ZvSlice_GetIndicesEx(slice, a->ob_size, &start, &stop, &step, &slicelength) < 0)
        return -1;
    if (slice->step == Zv_None) return list_ass_slice(a, start, stop, value);
    if (value == nullptr) {
        if (slicelength <= 0) return 0;
        return list_delete_extended(a, start, step, slicelength);
    }
    /* Converting the value runs its iterator, which may resize this list:
     * the positions are computed again from the size it has afterwards. */
    zv::Ref seq(value == self ? list_slice(a, 0, a->ob_size)
                              : ZvSequence_Fast(value, "must assign iterable to extended slice"));
    if (!seq) return -1;
    if (ZvSlice_GetIndicesEx(slice, a->ob_size, &start, &stop, &step, &slicelength) < 0)
        return -1;
    return list_assign_extended(a, start, step, slicelength, seq.get());
}

/* --- comparison, representation, life cycle ------------------------------ */

static ZvObject *list_richcompare(ZvObject *v, ZvObject *w, int op)
{
    if (!ZvList_Check(v) || !ZvList_Check(w)) Zv_RETURN_NOTIMPLEMENTED;
    if (Zv_SIZE(v) != Zv_SIZE(w) && (op == Zv_EQ || op == Zv_NE)) {
        /* Lists of different lengths are never equal: skip the items. */
        if (op == Zv_EQ) Zv_RETURN_FALSE;
        Zv_RETURN_TRUE;
    }
    /* The comparisons may change either list: re-read the sizes each time
     * and hold the items while comparing them. */
    int i;
    for (i = 0; i < Zv_SIZE(v) && i < Zv_SIZE(w); i++) {
        ZvObject *vi = ZvList_GET_ITEM(v, i), *wi = ZvList_GET_ITEM(w, i);
        Zv_INCREF(vi);
        Zv_INCREF(wi);
        int k = ZvObject_RichCompareBool(vi, wi, Zv_EQ);
        Zv_DECREF(vi);
        Zv_DECREF(wi);
        if (k < 0) return nullptr;
        if (!k) break;
    }
    int vs = Zv_SIZE(v), ws = Zv_SIZE(w);
    if (i >= vs || i >= ws) {
        bool c = false;
        switch (op) {
        case Zv_LT: c = vs < ws; break;
        case Zv_LE: c = vs <= ws; break;
        case Zv_EQ: c = vs == ws; break;
        case Zv_NE: c = vs != ws; break;
        case Zv_GT: c = vs > ws; break;
        case Zv_GE: c = vs >= ws; break;
        default: Zv_RETURN_NOTIMPLEMENTED;
        }
        return ZvBool_FromLong(c);
    }
    if (op == Zv_EQ) Zv_RETURN_FALSE;
    if (op == Zv_NE) Zv_RETURN_TRUE;
    ZvObject *vi = ZvList_GET_ITEM(v, i), *wi = ZvList_GET_ITEM(w, i);
    Zv_INCREF(vi);
    Zv_INCREF(wi);
    ZvObject *res = ZvObject_RichCompare(vi, wi, op);
    Zv_DECREF(vi);
    Zv_DECREF(wi);
    return res;
}

/* "[...]" stands for a list already being shown on this thread; the
 * recursion counter stops a deep nesting of distinct lists. */
static ZvObject *list_repr(ZvObject *v)
{
    int rc = Zv_ReprEnter(v);
    if (rc != 0) return rc > 0 ? ZvString_FromString("[...]") : nullptr;
    if (Zv_SIZE(v) == 0) {
        Zv_ReprLeave(v);
        return ZvString_FromString("[]");
    }
    if (Zv_EnterRecursiveCall(" while getting the repr of an object")) {
        Zv_ReprLeave(v);
        return nullptr;
    }
    ZvObject *s = ZvString_FromString("[");
    /* The list may change while its items are represented: re-read the size. */
    for (int i = 0; i < Zv_SIZE(v) && s != nullptr; i++) {
        if (i > 0) ZvString_ConcatAndDel(&s, ZvString_FromString(", "));
        if (s == nullptr) break;
        ZvObject *item = ZvList_GET_ITEM(v, i);
        Zv_INCREF(item);
        ZvObject *r = ZvObject_Repr(item);
        Zv_DECREF(item);
        if (r == nullptr) {
            Zv_CLEAR(s);
            break;
        }
        ZvString_ConcatAndDel(&s, r);
    }
    if (s != nullptr) ZvString_ConcatAndDel(&s, ZvString_FromString("]"));
    Zv_LeaveRecursiveCall();
    Zv_ReprLeave(v);
    return s;
}

static int list_print(ZvObject *op, FILE *fp, int)
{
    int rc = Zv_ReprEnter(op);
    if (rc != 0) {
        if (rc < 0) return rc;
        fputs("[...]", fp);
        return 0;
    }
    /* Items print through their own print slots: a deep nesting recurses
     * here, and the recursion counter stops it before the C stack runs out. */
    if (Zv_EnterRecursiveCall(" while printing an object")) {
        Zv_ReprLeave(op);
        return -1;
    }
    int status = 0;
    fputc('[', fp);
    /* Printing an item may run code that changes the list: the size is
     * re-read every step and the item is held while it prints. */
    for (int i = 0; i < Zv_SIZE(op); i++) {
        if (i > 0) fputs(", ", fp);
        ZvObject *item = ZvList_GET_ITEM(op, i);
        Zv_INCREF(item);
        status = ZvObject_Print(item, fp, 0);
        Zv_DECREF(item);
        if (status != 0) break;
    }
    if (status == 0) fputc(']', fp);
    Zv_LeaveRecursiveCall();
    Zv_ReprLeave(op);
    return status;
}

static Zv_hash_t list_nohash(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "list objects are unhashable");
    return -1;
}

static int list_traverse(ZvObject *o, visitproc visit, void *arg)
{
    auto *op = (ZvListObject *)o;
    for (int i = op->ob_size; --i >= 0;) Zv_VISIT(op->ob_item[i]);
    return 0;
}

static int list_clear(ZvObject *o)
{
    list_clear_items((ZvListObject *)o);
    return 0;
}

static void list_dealloc(ZvObject *obj)
{
    auto *op = (ZvListObject *)obj;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    if (op->ob_item != nullptr) {
        for (int i = op->ob_size; --i >= 0;) Zv_XDECREF(op->ob_item[i]);
        ZvMem_Free(op->ob_item);
        op->ob_item = nullptr;
    }
    if (num_free_lists < MAXFREELISTS && ZvList_CheckExact(op))
        free_lists[num_free_lists++] = op;
    else
        Zv_TYPE(op)->tp_free((ZvObject *)op);
    ZvTrash_END(op)
}

static int list_init(ZvObject *self, ZvObject *args, ZvObject *kw)
{
    ZvObject *arg = nullptr;
    static char *kwlist[] = {(char *)"sequence", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kw, "|O:list", kwlist, &arg)) return -1;
    list_clear_items((ZvListObject *)self);
    if (arg == nullptr) return 0;
    ZvObject *rv = listextend(self, arg);
    if (rv == nullptr) return -1;
    Zv_DECREF(rv);
    return 0;
}

/* --- methods ------------------------------------------------------------- */

static ZvObject *listappend(ZvObject *self, ZvObject *v)
{
    if (app1((ZvListObject *)self, v) < 0) return nullptr;
    Zv_RETURN_NONE;
}

static ZvObject *listinsert(ZvObject *self, ZvObject *args)
{
    int i;
    ZvObject *v;
    if (!ZvArg_ParseTuple(args, "iO:insert", &i, &v)) return nullptr;
    if (ins1((ZvListObject *)self, i, v) < 0) return nullptr;
    Zv_RETURN_NONE;
}

static ZvObject *listpop(ZvObject *obj, ZvObject *args)
{
    auto *self = (ZvListObject *)obj;
    int i = -1;
    ZvObject *arg = nullptr;
    if (!ZvArg_UnpackTuple(args, "pop", 0, 1, &arg)) return nullptr;
    if (arg != nullptr) {
        if (ZvInt_Check(arg))
            i = ZvInt_AS_LONG(arg);
        else if (!ZvArg_ParseTuple(args, "|i:pop", &i))
            return nullptr;
    }
    int size = self->ob_size;
    if (size == 0) {
        ZvErr_SetString(ZvExc_IndexError, "pop from empty list");
        return nullptr;
    }
    if (i < 0) i += size;
    if (i < 0 || i >= size) {
        ZvErr_SetString(ZvExc_IndexError, "pop index out of range");
        return nullptr;
    }
    ZvObject *v = self->ob_item[i];
    if (i == size - 1) {
        (void)list_resize(self, size - 1); /* a shrink never fails */
        return v;                          /* the list's reference passes to the caller */
    }
    Zv_INCREF(v);
    if (list_ass_slice(self, i, i + 1, nullptr) < 0) {
        Zv_DECREF(v);
        return nullptr;
    }
    return v;
}

static ZvObject *listremove(ZvObject *obj, ZvObject *v)
{
    auto *self = (ZvListObject *)obj;
    for (int i = 0; i < self->ob_size; i++) {
        ZvObject *item = self->ob_item[i];
        Zv_INCREF(item);
        int cmp = ZvObject_RichCompareBool(item, v, Zv_EQ);
        Zv_DECREF(item);
        if (cmp > 0) {
            if (list_ass_slice(self, i, i + 1, nullptr) < 0) return nullptr;
            Zv_RETURN_NONE;
        }
        if (cmp < 0) return nullptr;
    }
    ZvErr_SetString(ZvExc_ValueError, "list.remove(x): x not in list");
    return nullptr;
}

static ZvObject *listindex(ZvObject *obj, ZvObject *args)
{
    auto *self = (ZvListObject *)obj;
    int start = 0, stop = self->ob_size;
    ZvObject *v;
    if (!ZvArg_ParseTuple(args, "O|O&O&:index", &v, slice_index, &start, slice_index, &stop))
        return nullptr;
    if (start < 0) {
        start += self->ob_size;
        if (start < 0) start = 0;
    }
    if (stop < 0) {
        stop += self->ob_size;
        if (stop < 0) stop = 0;
    }
    for (int i = start; i < stop && i < self->ob_size; i++) {
        ZvObject *item = self->ob_item[i];
        Zv_INCREF(item);
        int cmp = ZvObject_RichCompareBool(item, v, Zv_EQ);
        Zv_DECREF(item);
        if (cmp > 0) return ZvInt_FromLong(i);
        if (cmp < 0) return nullptr;
    }
    ZvErr_SetString(ZvExc_ValueError, "list.index(x): x not in list");
    return nullptr;
}

static ZvObject *listcount(ZvObject *obj, ZvObject *v)
{
    auto *self = (ZvListObject *)obj;
    int count = 0;
    for (int i = 0; i < self->ob_size; i++) {
        ZvObject *item = self->ob_item[i];
        Zv_INCREF(item);
        int cmp = ZvObject_RichCompareBool(item, v, Zv_EQ);
        Zv_DECREF(item);
        if (cmp > 0) count++;
        else if (cmp < 0) return nullptr;
    }
    return ZvInt_FromLong(count);
}

static ZvObject *listreverse(ZvObject *obj, ZvObject *)
{
    auto *self = (ZvListObject *)obj;
    if (self->ob_size > 1) _ZvList_ReverseSlice(self->ob_item, self->ob_item + self->ob_size);
    Zv_RETURN_NONE;
}

static ZvObject *listsort(ZvObject *self, ZvObject *args, ZvObject *kwds)
{
    ZvObject *compare = nullptr, *keyfunc = nullptr;
    int reverse = 0;
    static char *kwlist[] = {(char *)"cmp", (char *)"key", (char *)"reverse", nullptr};
    if (args != nullptr &&
        !ZvArg_ParseTupleAndKeywords(args, kwds, "|OOi:sort", kwlist, &compare, &keyfunc,
                                     &reverse))
        return nullptr;
    if (compare == Zv_None) compare = nullptr;
    if (keyfunc == Zv_None) keyfunc = nullptr;
    return _ZvList_SortImpl((ZvListObject *)self, compare, keyfunc, reverse);
}

static ZvObject *list_reversed(ZvObject *seq, ZvObject *);

static ZvMethodDef list_methods[] = {
    {"__getitem__", (ZvCFunction)list_subscript, METH_O | METH_COEXIST,
     "x.__getitem__(y) <==> x[y]"},
    {"__reversed__", (ZvCFunction)list_reversed, METH_NOARGS,
     "L.__reversed__() -- return a reverse iterator over the list"},
    {"append", (ZvCFunction)listappend, METH_O, "L.append(object) -- append object to end"},
    {"insert", (ZvCFunction)listinsert, METH_VARARGS,
     "L.insert(index, object) -- insert object before index"},
    {"extend", (ZvCFunction)listextend, METH_O,
     "L.extend(iterable) -- extend list by appending elements from the iterable"},
    {"pop", (ZvCFunction)listpop, METH_VARARGS,
     "L.pop([index]) -> item -- remove and return item at index (default last)"},
    {"remove", (ZvCFunction)listremove, METH_O,
     "L.remove(value) -- remove first occurrence of value"},
    {"index", (ZvCFunction)listindex, METH_VARARGS,
     "L.index(value, [start, [stop]]) -> integer -- return first index of value"},
    {"count", (ZvCFunction)listcount, METH_O,
     "L.count(value) -> integer -- return number of occurrences of value"},
    {"reverse", (ZvCFunction)listreverse, METH_NOARGS, "L.reverse() -- reverse *IN PLACE*"},
    {"sort", (ZvCFunction)(void (*)(void))listsort, METH_VARARGS | METH_KEYWORDS,
     "L.sort(cmp=None, key=None, reverse=False) -- stable sort *IN PLACE*;\n"
     "cmp(x, y) -> -1, 0, 1"},
    {nullptr, nullptr, 0, nullptr},
};

static ZvSequenceMethods list_as_sequence = {
    list_length,         /* sq_length */
    list_concat,         /* sq_concat */
    list_repeat,         /* sq_repeat */
    list_item,           /* sq_item */
    list_slice_slot,     /* sq_slice */
    list_ass_item,       /* sq_ass_item */
    list_ass_slice_slot, /* sq_ass_slice */
    list_contains,       /* sq_contains */
    list_inplace_concat, /* sq_inplace_concat */
    list_inplace_repeat, /* sq_inplace_repeat */
};

static ZvMappingMethods list_as_mapping = {
    list_length,
    list_subscript,
    list_ass_subscript,
};

static ZvObject *list_iter(ZvObject *seq);

ZvTypeObject ZvList_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "list", sizeof(ZvListObject), 0,
    list_dealloc,      /* tp_dealloc */
    list_print,        /* tp_print */
    nullptr,           /* tp_getattr */
    nullptr,           /* tp_setattr */
    nullptr,           /* tp_compare */
    list_repr,         /* tp_repr */
    nullptr,           /* tp_as_number */
    &list_as_sequence, /* tp_as_sequence */
    &list_as_mapping,  /* tp_as_mapping */
    list_nohash,       /* tp_hash */
    nullptr,           /* tp_call */
    nullptr,           /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,           /* tp_setattro */
    nullptr,           /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "list() -> new list\nlist(sequence) -> new list initialized from sequence's items",
    list_traverse,     /* tp_traverse */
    list_clear,        /* tp_clear */
    list_richcompare,  /* tp_richcompare */
    0,                 /* tp_weaklistoffset */
    list_iter,         /* tp_iter */
    nullptr,           /* tp_iternext */
    list_methods,      /* tp_methods */
    nullptr,           /* tp_members */
    nullptr,           /* tp_getset */
    nullptr,           /* tp_base */
    nullptr,           /* tp_dict */
    nullptr,           /* tp_descr_get */
    nullptr,           /* tp_descr_set */
    0,                 /* tp_dictoffset */
    list_init,         /* tp_init */
    ZvType_GenericAlloc, /* tp_alloc */
    ZvType_GenericNew, /* tp_new */
    ZvObject_GC_Del,   /* tp_free */
};

int ZvList_Sort(ZvObject *v)
{
    if (!is_list_arg(v)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    ZvObject *r = _ZvList_SortImpl((ZvListObject *)v, nullptr, nullptr, 0);
    if (r == nullptr) return -1;
    Zv_DECREF(r);
    return 0;
}

int ZvList_Reverse(ZvObject *v)
{
    if (!is_list_arg(v)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    auto *self = (ZvListObject *)v;
    if (self->ob_size > 1) _ZvList_ReverseSlice(self->ob_item, self->ob_item + self->ob_size);
    return 0;
}

void ZvList_Fini(void)
{
    while (num_free_lists > 0) ZvObject_GC_Del(free_lists[--num_free_lists]);
    Zv_CLEAR(indexerr);
}

/* --- iterators --------------------------------------------------------------
 * Both hold the list until they are exhausted and then drop it.  They read
 * the list's current size at every step, so the forward iterator sees
 * items appended meanwhile and the reverse one stops when the list shrank
 * below its position. */

typedef struct {
    ZvObject_HEAD
    int it_index;
    ZvListObject *it_seq; /* NULL once exhausted */
} listiterobject;

static void listiter_dealloc(ZvObject *o)
{
    auto *it = (listiterobject *)o;
    ZvObject_GC_UnTrack(it);
    Zv_XDECREF(it->it_seq);
    ZvObject_GC_Del(it);
}

static int listiter_traverse(ZvObject *o, visitproc visit, void *arg)
{
    Zv_VISIT(((listiterobject *)o)->it_seq);
    return 0;
}

static ZvObject *listiter_next(ZvObject *o)
{
    auto *it = (listiterobject *)o;
    ZvListObject *seq = it->it_seq;
    if (seq == nullptr) return nullptr;
    if (it->it_index < seq->ob_size) {
        ZvObject *item = seq->ob_item[it->it_index++];
        Zv_INCREF(item);
        return item;
    }
    it->it_seq = nullptr;
    Zv_DECREF(seq);
    return nullptr;
}

static int listiter_len(ZvObject *o)
{
    auto *it = (listiterobject *)o;
    if (it->it_seq == nullptr) return 0;
    int len = it->it_seq->ob_size - it->it_index;
    return len >= 0 ? len : 0;
}

static ZvSequenceMethods listiter_as_sequence = {listiter_len};

ZvTypeObject ZvListIter_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "listiterator", sizeof(listiterobject), 0,
    listiter_dealloc,         /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* print .. repr */
    nullptr,                  /* tp_as_number */
    &listiter_as_sequence,    /* tp_as_sequence */
    nullptr,                  /* tp_as_mapping */
    nullptr, nullptr, nullptr, /* hash, call, str */
    ZvObject_GenericGetAttr,  /* tp_getattro */
    nullptr, nullptr,         /* setattro, as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,                  /* tp_doc */
    listiter_traverse,        /* tp_traverse */
    nullptr, nullptr, 0,      /* clear, richcompare, weaklistoffset */
    ZvObject_SelfIter,        /* tp_iter */
    listiter_next,            /* tp_iternext */
};

static ZvObject *list_iter(ZvObject *seq)
{
    if (!ZvList_Check(seq)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *it = ZvObject_GC_New(listiterobject, &ZvListIter_Type);
    if (it == nullptr) return nullptr;
    it->it_index = 0;
    Zv_INCREF(seq);
    it->it_seq = (ZvListObject *)seq;
    ZvObject_GC_Track(it);
    return (ZvObject *)it;
}

typedef struct {
    ZvObject_HEAD
    int it_index; /* next index going down; -1 once exhausted */
    ZvListObject *it_seq;
} listreviterobject;

static ZvObject *listreviter_next(ZvObject *o)
{
    auto *it = (listreviterobject *)o;
    ZvListObject *seq = it->it_seq;
    if (seq != nullptr && it->it_index >= 0 && it->it_index < seq->ob_size) {
        ZvObject *item = seq->ob_item[it->it_index--];
        Zv_INCREF(item);
        return item;
    }
    it->it_index = -1;
    if (seq != nullptr) {
        it->it_seq = nullptr;
        Zv_DECREF(seq);
    }
    return nullptr;
}

static int listreviter_len(ZvObject *o)
{
    auto *it = (listreviterobject *)o;
    int position = it->it_index + 1;
    if (it->it_seq == nullptr || it->it_seq->ob_size < position) return 0;
    return position;
}

static ZvSequenceMethods listreviter_as_sequence = {listreviter_len};

ZvTypeObject ZvListRevIter_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "listreverseiterator", sizeof(listreviterobject), 0,
    listiter_dealloc,         /* tp_dealloc: same layout as the forward iterator */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* print .. repr */
    nullptr,                  /* tp_as_number */
    &listreviter_as_sequence, /* tp_as_sequence */
    nullptr,                  /* tp_as_mapping */
    nullptr, nullptr, nullptr, /* hash, call, str */
    ZvObject_GenericGetAttr,  /* tp_getattro */
    nullptr, nullptr,         /* setattro, as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,                  /* tp_doc */
    listiter_traverse,        /* tp_traverse */
    nullptr, nullptr, 0,      /* clear, richcompare, weaklistoffset */
    ZvObject_SelfIter,        /* tp_iter */
    listreviter_next,         /* tp_iternext */
};

static ZvObject *list_reversed(ZvObject *seq, ZvObject *)
{
    auto *it = ZvObject_GC_New(listreviterobject, &ZvListRevIter_Type);
    if (it == nullptr) return nullptr;
    it->it_index = Zv_SIZE(seq) - 1;
    Zv_INCREF(seq);
    it->it_seq = (ZvListObject *)seq;
    ZvObject_GC_Track(it);
    return (ZvObject *)it;
}

} // extern "C"
