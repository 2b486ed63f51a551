/* Slice objects and the Ellipsis singleton.
 *
 * A slice holds start, stop and step objects (None when omitted); turning
 * them into concrete indices for a sequence of a given length is
 * ZvSlice_GetIndicesEx, shared by every sequence type. */
#include "zuvo.h"

extern "C" {

static ZvObject *ellipsis_repr(ZvObject *) { return ZvString_FromString("Ellipsis"); }

ZvTypeObject ZvEllipsis_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "ellipsis", 0, 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
    ellipsis_repr, /* tp_repr */
};

ZvObject _Zv_EllipsisObject = {1, &ZvEllipsis_Type};

/* One freed slice is kept for the next: a slice usually lives for one
 * subscript, and loops over slices would otherwise allocate one each. */
static ZvSliceObject *cached_slice = nullptr;

ZvObject *ZvSlice_New(ZvObject *start, ZvObject *stop, ZvObject *step)
{
    ZvSliceObject *obj = cached_slice;
    if (obj != nullptr) {
        cached_slice = nullptr;
        obj->ob_refcnt = 1;
    } else {
        obj = ZvObject_GC_New(ZvSliceObject, &ZvSlice_Type);
        if (obj == nullptr) return nullptr;
    }
    if (step == nullptr) step = Zv_None;
    if (start == nullptr) start = Zv_None;
    if (stop == nullptr) stop = Zv_None;
    Zv_INCREF(step);
    Zv_INCREF(start);
    Zv_INCREF(stop);
    obj->step = step;
    obj->start = start;
    obj->stop = stop;
    ZvObject_GC_Track(obj);
    return (ZvObject *)obj;
}

/* The older interface: only int fields (or None) are accepted. */
int ZvSlice_GetIndices(ZvSliceObject *r, int length, int *start, int *stop, int *step)
{
    if (r == nullptr || !ZvSlice_Check((ZvObject *)r)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (r->step == Zv_None) {
        *step = 1;
    } else {
        if (!ZvInt_Check(r->step)) return -1;
        *step = ZvInt_AsLong(r->step);
    }
    if (r->start == Zv_None) {
        *start = *step < 0 ? length - 1 : 0;
    } else {
        if (!ZvInt_Check(r->start)) return -1;
        *start = ZvInt_AsLong(r->start);
        if (*start < 0) *start += length;
    }
    if (r->stop == Zv_None) {
        *stop = *step < 0 ? -1 : length;
    } else {
        if (!ZvInt_Check(r->stop)) return -1;
        *stop = ZvInt_AsLong(r->stop);
        if (*stop < 0) *stop += length;
    }
    if (*stop > length) return -1;
    if (*start >= length) return -1;
    if (*step == 0) return -1;
    return 0;
}

int ZvSlice_GetIndicesEx(ZvSliceObject *r, int length, int *start, int *stop, int *step,
                         int *slicelength)
{
    if (r == nullptr || !ZvSlice_Check((ZvObject *)r)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    if (r->step == Zv_None) {
        *step = 1;
    } else {
        if (!_ZvEval_SliceIndex(r->step, step)) return -1;
        if (*step == 0) {
            ZvErr_SetString(ZvExc_ValueError, "slice step cannot be zero");
            return -1;
        }
    }
    int defstart = *step < 0 ? length - 1 : 0;
    int defstop = *step < 0 ? -1 : length;
    if (r->start == Zv_None) {
        *start = defstart;
    } else {
        if (!_ZvEval_SliceIndex(r->start, start)) return -1;
        if (*start < 0) *start += length;
        if (*start < 0) *start = (*step < 0) ? -1 : 0;
        if (*start >= length) *start = (*step < 0) ? length - 1 : length;
    }
    if (r->stop == Zv_None) {
        *stop = defstop;
    } else {
        if (!_ZvEval_SliceIndex(r->stop, stop)) return -1;
        if (*stop < 0) *stop += length;
        if (*stop < 0) *stop = -1;
        if (*stop > length) *stop = length;
    }
    /* Computed in 64 bits: (stop - start) can exceed the int range. */
    if ((*step < 0 && *stop >= *start) || (*step > 0 && *start >= *stop))
        *slicelength = 0;
    else if (*step < 0)
        *slicelength = (int)(((int64_t)*stop - *start + 1) / *step + 1);
    else
        *slicelength = (int)(((int64_t)*stop - *start - 1) / *step + 1);
    return 0;
}

static ZvObject *slice_new(ZvTypeObject *, ZvObject *args, ZvObject *kw)
{
    ZvObject *start = nullptr, *stop = nullptr, *step = nullptr;
    if (!_ZvArg_NoKeywords("slice()", kw)) return nullptr;
    if (!ZvArg_UnpackTuple(args, "slice", 1, 3, &start, &stop, &step)) return nullptr;
    /* One argument is the stop. */
    if (stop == nullptr) {
        stop = start;
        start = nullptr;
    }
    return ZvSlice_New(start, stop, step);
}

static void slice_dealloc(ZvObject *o)
{
    auto *r = (ZvSliceObject *)o;
    ZvObject_GC_UnTrack(r);
    ZvTrash_BEGIN(r)
    Zv_DECREF(r->step);
    Zv_DECREF(r->start);
    Zv_DECREF(r->stop);
    if (cached_slice == nullptr && Zv_TYPE(r) == &ZvSlice_Type)
        cached_slice = r;
    else
        ZvObject_GC_Del(r);
    ZvTrash_END(r)
}

static int slice_traverse(ZvObject *o, visitproc visit, void *arg)
{
    auto *r = (ZvSliceObject *)o;
    Zv_VISIT(r->start);
    Zv_VISIT(r->stop);
    Zv_VISIT(r->step);
    return 0;
}

static ZvObject *slice_repr(ZvObject *o)
{
    auto *r = (ZvSliceObject *)o;
    ZvObject *s = ZvString_FromString("slice(");
    ZvString_ConcatAndDel(&s, ZvObject_Repr(r->start));
    ZvString_ConcatAndDel(&s, ZvString_FromString(", "));
    ZvString_ConcatAndDel(&s, ZvObject_Repr(r->stop));
    ZvString_ConcatAndDel(&s, ZvString_FromString(", "));
    ZvString_ConcatAndDel(&s, ZvObject_Repr(r->step));
    ZvString_ConcatAndDel(&s, ZvString_FromString(")"));
    return s;
}

static ZvObject *slice_indices(ZvObject *self, ZvObject *len)
{
    int32_t ilen = ZvInt_AsLong(len);
    if (ilen == -1 && ZvErr_Occurred()) return nullptr;
    int start, stop, step, slicelength;
    if (ZvSlice_GetIndicesEx((ZvSliceObject *)self, ilen, &start, &stop, &step, &slicelength) < 0)
        return nullptr;
    return Zv_BuildValue("(iii)", start, stop, step);
}

static int slice_compare(ZvObject *v, ZvObject *w)
{
    if (v == w) return 0;
    auto *a = (ZvSliceObject *)v, *b = (ZvSliceObject *)w;
    int result = ZvObject_Compare(a->start, b->start);
    if (result != 0) return result;
    result = ZvObject_Compare(a->stop, b->stop);
    if (result != 0) return result;
    return ZvObject_Compare(a->step, b->step);
}

static Zv_hash_t slice_hash(ZvObject *)
{
    ZvErr_SetString(ZvExc_TypeError, "unhashable type");
    return -1;
}

static ZvMemberDef slice_members[] = {
    {"start", T_OBJECT, offsetof(ZvSliceObject, start), READONLY, nullptr},
    {"stop", T_OBJECT, offsetof(ZvSliceObject, stop), READONLY, nullptr},
    {"step", T_OBJECT, offsetof(ZvSliceObject, step), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static ZvMethodDef slice_methods[] = {
    {"indices", slice_indices, METH_O,
     "S.indices(len) -> (start, stop, stride)\n\n"
     "Assuming a sequence of length len, calculate the start and stop\n"
     "indices, and the stride length of the extended slice described by\n"
     "S. Out of bounds indices are clipped in a manner consistent with the\n"
     "handling of normal slices."},
    {nullptr, nullptr, 0, nullptr},
};

ZvTypeObject ZvSlice_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "slice", sizeof(ZvSliceObject), 0,
    slice_dealloc, /* tp_dealloc */
    nullptr,       /* tp_print */
    nullptr,       /* tp_getattr */
    nullptr,       /* tp_setattr */
    slice_compare, /* tp_compare */
    slice_repr,    /* tp_repr */
    nullptr, nullptr, nullptr,
    slice_hash,    /* tp_hash */
    nullptr,       /* tp_call */
    nullptr,       /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    /* Collected: a slice can close a cycle (a list holding a slice of
     * itself), and the collector header lets a long chain of slices be
     * freed through the depth guard. */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    "slice([start,] stop[, step])\n\n"
    "Create a slice object.  This is used for extended slicing (e.g. a[0:10:2]).",
    slice_traverse, /* tp_traverse */
    nullptr, nullptr, 0, nullptr, nullptr,
    slice_methods, /* tp_methods */
    slice_members, /* tp_members */
    nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    slice_new,     /* tp_new */
};

/* Frees the kept slice (shut-down). */
void ZvSlice_Fini(void)
{
    if (cached_slice != nullptr) ZvObject_GC_Del(cached_slice);
    cached_slice = nullptr;
}

} // extern "C"
