/* The mutable sequence `list`.
 *
 * ob_item is a separately allocated array of `allocated` slots, of which
 * the first ob_size hold owned references.  Growth over-allocates so that
 * appends are amortised constant time.
 *
 * This first version carries construction, access, insertion, append,
 * repr and conversion to a tuple; slices, the methods and the sort join it. */
#include "zuvo.h"

#include <string.h>

extern "C" {

/* Makes room for newsize items, over-allocating by about 1/8 so that a
 * run of appends reallocates only O(log n) times. */
static int list_resize(ZvListObject *self, int newsize)
{
    int allocated = self->allocated;
    if (allocated >= newsize && newsize >= (allocated >> 1)) {
        self->ob_size = newsize;
        return 0;
    }
    size_t new_allocated = ((size_t)newsize >> 3) + (newsize < 9 ? 3 : 6) + (size_t)newsize;
    if (newsize == 0) new_allocated = 0;
    if (new_allocated > (size_t)INT32_MAX / sizeof(ZvObject *)) {
        ZvErr_NoMemory();
        return -1;
    }
    auto **items = (ZvObject **)ZvMem_Realloc(self->ob_item, new_allocated * sizeof(ZvObject *));
    if (items == nullptr) {
        ZvErr_NoMemory();
        return -1;
    }
    self->ob_item = items;
    self->ob_size = newsize;
    self->allocated = (int32_t)new_allocated;
    return 0;
}

ZvObject *ZvList_New(int size)
{
    if (size < 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if ((size_t)size > (size_t)INT32_MAX / sizeof(ZvObject *)) return ZvErr_NoMemory();
    auto *op = ZvObject_GC_New(ZvListObject, &ZvList_Type);
    if (op == nullptr) return nullptr;
    if (size <= 0) {
        op->ob_item = nullptr;
    } else {
        op->ob_item = (ZvObject **)ZvMem_Malloc((size_t)size * sizeof(ZvObject *));
        if (op->ob_item == nullptr) {
            ZvObject_GC_Del(op);
            return ZvErr_NoMemory();
        }
        memset(op->ob_item, 0, (size_t)size * sizeof(ZvObject *));
    }
    op->ob_size = size;
    op->allocated = size;
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

int ZvList_Size(ZvObject *op)
{
    if (!ZvList_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return Zv_SIZE(op);
}

ZvObject *ZvList_GetItem(ZvObject *op, int i)
{
    if (!ZvList_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (i < 0 || i >= Zv_SIZE(op)) {
        ZvErr_SetString(ZvExc_IndexError, "list index out of range");
        return nullptr;
    }
    return ((ZvListObject *)op)->ob_item[i];
}

int ZvList_SetItem(ZvObject *op, int i, ZvObject *newitem)
{
    if (!ZvList_Check(op)) {
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
    memmove(&self->ob_item[where + 1], &self->ob_item[where], (size_t)(n - where) * sizeof(ZvObject *));
    Zv_INCREF(v);
    self->ob_item[where] = v;
    return 0;
}

int ZvList_Insert(ZvObject *op, int where, ZvObject *newitem)
{
    if (!ZvList_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return ins1((ZvListObject *)op, where, newitem);
}

int ZvList_Append(ZvObject *op, ZvObject *newitem)
{
    if (!ZvList_Check(op) || newitem == nullptr) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return ins1((ZvListObject *)op, Zv_SIZE(op), newitem);
}

ZvObject *ZvList_AsTuple(ZvObject *v)
{
    if (v == nullptr || !ZvList_Check(v)) {
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

/* a[ilow:ihigh] = v, where v is a list, tuple or NULL (delete).  The
 * replaced items are released only after the list is consistent again. */
static int list_ass_slice(ZvListObject *a, int ilow, int ihigh, ZvObject *v)
{
    ZvObject *v_as_copy = nullptr;
    if (v == (ZvObject *)a) {
        v = v_as_copy = ZvList_GetSlice(v, 0, Zv_SIZE(v));
        if (v == nullptr) return -1;
    }
    int n = 0;
    ZvObject **vitems = nullptr;
    if (v != nullptr) {
        if (ZvList_Check(v)) {
            n = Zv_SIZE(v);
            vitems = ((ZvListObject *)v)->ob_item;
        } else if (ZvTuple_Check(v)) {
            n = Zv_SIZE(v);
            vitems = ((ZvTupleObject *)v)->ob_item;
        } else {
            ZvErr_BadInternalCall();
            return -1;
        }
    }
    int size = a->ob_size;
    if (ilow < 0) ilow = 0;
    else if (ilow > size) ilow = size;
    if (ihigh < ilow) ihigh = ilow;
    else if (ihigh > size) ihigh = size;
    int norig = ihigh - ilow;
    int d = n - norig;
    ZvObject **recycle = nullptr;
    if (norig > 0) {
        recycle = (ZvObject **)ZvMem_Malloc((size_t)norig * sizeof(ZvObject *));
        if (recycle == nullptr) {
            Zv_XDECREF(v_as_copy);
            ZvErr_NoMemory();
            return -1;
        }
        memcpy(recycle, &a->ob_item[ilow], (size_t)norig * sizeof(ZvObject *));
    }
    if (d < 0) {
        memmove(&a->ob_item[ihigh + d], &a->ob_item[ihigh],
                (size_t)(size - ihigh) * sizeof(ZvObject *));
        list_resize(a, size + d);
    } else if (d > 0) {
        if (size > INT32_MAX - d || list_resize(a, size + d) < 0) {
            if (size > INT32_MAX - d) ZvErr_NoMemory();
            ZvMem_Free(recycle);
            Zv_XDECREF(v_as_copy);
            return -1;
        }
        memmove(&a->ob_item[ihigh + d], &a->ob_item[ihigh],
                (size_t)(size - ihigh) * sizeof(ZvObject *));
    }
    for (int k = 0; k < n; k++) {
        Zv_INCREF(vitems[k]);
        a->ob_item[ilow + k] = vitems[k];
    }
    for (int k = norig - 1; k >= 0; --k) Zv_XDECREF(recycle[k]);
    ZvMem_Free(recycle);
    Zv_XDECREF(v_as_copy);
    return 0;
}

int ZvList_SetSlice(ZvObject *a, int ilow, int ihigh, ZvObject *v)
{
    if (!ZvList_Check(a)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return list_ass_slice((ZvListObject *)a, ilow, ihigh, v);
}

ZvObject *ZvList_GetSlice(ZvObject *a, int ilow, int ihigh)
{
    if (!ZvList_Check(a)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    int size = Zv_SIZE(a);
    if (ilow < 0) ilow = 0;
    else if (ilow > size) ilow = size;
    if (ihigh < ilow) ihigh = ilow;
    else if (ihigh > size) ihigh = size;
    ZvObject *np = ZvList_New(ihigh - ilow);
    if (np == nullptr) return nullptr;
    for (int i = ilow; i < ihigh; i++) {
        ZvObject *v = ZvList_GET_ITEM(a, i);
        Zv_INCREF(v);
        ZvList_SET_ITEM(np, i - ilow, v);
    }
    return np;
}

static void list_dealloc(ZvObject *obj)
{
    auto *op = (ZvListObject *)obj;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    if (op->ob_item != nullptr) {
        for (int i = op->ob_size; --i >= 0;) Zv_XDECREF(op->ob_item[i]);
        ZvMem_Free(op->ob_item);
    }
    Zv_TYPE(op)->tp_free((ZvObject *)op);
    ZvTrash_END(op)
}

static int list_traverse(ZvObject *o, visitproc visit, void *arg)
{
    auto *op = (ZvListObject *)o;
    for (int i = op->ob_size; --i >= 0;) Zv_VISIT(op->ob_item[i]);
    return 0;
}

static ZvObject *list_repr(ZvObject *v)
{
    int rc = Zv_ReprEnter(v);
    if (rc != 0) return rc > 0 ? ZvString_FromString("[...]") : nullptr;
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
    Zv_ReprLeave(v);
    return s;
}

static int list_length(ZvObject *a) { return Zv_SIZE(a); }

static ZvObject *list_item(ZvObject *a, int i)
{
    if (i < 0 || i >= Zv_SIZE(a)) {
        ZvErr_SetString(ZvExc_IndexError, "list index out of range");
        return nullptr;
    }
    ZvObject *v = ZvList_GET_ITEM(a, i);
    Zv_INCREF(v);
    return v;
}

static ZvSequenceMethods list_as_sequence = {
    list_length, nullptr, nullptr, list_item,
};

ZvTypeObject ZvList_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "list", sizeof(ZvListObject), 0,
    list_dealloc,      /* tp_dealloc */
    nullptr,           /* tp_print */
    nullptr,           /* tp_getattr */
    nullptr,           /* tp_setattr */
    nullptr,           /* tp_compare */
    list_repr,         /* tp_repr */
    nullptr,           /* tp_as_number */
    &list_as_sequence, /* tp_as_sequence */
    nullptr,           /* tp_as_mapping */
    nullptr,           /* tp_hash: lists are unhashable */
    nullptr,           /* tp_call */
    nullptr,           /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "list() -> new list\nlist(sequence) -> new list initialized from sequence's items",
    list_traverse,     /* tp_traverse */
    nullptr,           /* tp_clear */
    nullptr,           /* tp_richcompare */
    0, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr,
    ZvObject_GC_Del,   /* tp_free */
};

void ZvList_Fini(void) {}

} // extern "C"
