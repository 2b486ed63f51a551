/* The immutable sequence `tuple`.
 *
 * Items are stored inline after the header and owned.  A tuple is filled
 * once right after creation and never changes afterwards, except through
 * ZvTuple_SetItem and _ZvTuple_Resize while its creator holds the only
 * reference.  The empty tuple is shared.
 *
 * This first version carries construction, access, repr, hashing and
 * comparison; the free lists, the sequence slots and the iterator join it. */
#include "zuvo.h"

#include <string.h>

extern "C" {

static ZvTupleObject *empty_tuple;

ZvObject *ZvTuple_New(int size)
{
    if (size < 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (size == 0 && empty_tuple != nullptr) {
        Zv_INCREF(empty_tuple);
        return (ZvObject *)empty_tuple;
    }
    if ((size_t)size > ((size_t)INT32_MAX - sizeof(ZvTupleObject)) / sizeof(ZvObject *))
        return ZvErr_NoMemory();
    auto *op = ZvObject_GC_NewVar(ZvTupleObject, &ZvTuple_Type, size);
    if (op == nullptr) return nullptr;
    memset(op->ob_item, 0, (size_t)size * sizeof(ZvObject *));
    if (size == 0) {
        empty_tuple = op;
        Zv_INCREF(op);
    }
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

int ZvTuple_Size(ZvObject *op)
{
    if (!ZvTuple_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return Zv_SIZE(op);
}

ZvObject *ZvTuple_GetItem(ZvObject *op, int i)
{
    if (!ZvTuple_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (i < 0 || i >= Zv_SIZE(op)) {
        ZvErr_SetString(ZvExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    return ((ZvTupleObject *)op)->ob_item[i];
}

int ZvTuple_SetItem(ZvObject *op, int i, ZvObject *newitem)
{
    if (!ZvTuple_Check(op) || Zv_REFCNT(op) != 1) {
        Zv_XDECREF(newitem);
        ZvErr_BadInternalCall();
        return -1;
    }
    if (i < 0 || i >= Zv_SIZE(op)) {
        Zv_XDECREF(newitem);
        ZvErr_SetString(ZvExc_IndexError, "tuple assignment index out of range");
        return -1;
    }
    ZvObject **p = ((ZvTupleObject *)op)->ob_item + i;
    ZvObject *olditem = *p;
    *p = newitem;
    Zv_XDECREF(olditem);
    return 0;
}

ZvObject *ZvTuple_Pack(int n, ...)
{
    ZvObject *result = ZvTuple_New(n);
    if (result == nullptr) return nullptr;
    va_list vargs;
    va_start(vargs, n);
    for (int i = 0; i < n; i++) {
        ZvObject *o = va_arg(vargs, ZvObject *);
        Zv_INCREF(o);
        ZvTuple_SET_ITEM(result, i, o);
    }
    va_end(vargs);
    return result;
}

ZvObject *ZvTuple_GetSlice(ZvObject *op, int ilow, int ihigh)
{
    if (op == nullptr || !ZvTuple_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    int size = Zv_SIZE(op);
    if (ilow < 0) ilow = 0;
    if (ihigh > size) ihigh = size;
    if (ihigh < ilow) ihigh = ilow;
    if (ilow == 0 && ihigh == size && ZvTuple_CheckExact(op)) {
        Zv_INCREF(op);
        return op;
    }
    ZvObject *np = ZvTuple_New(ihigh - ilow);
    if (np == nullptr) return nullptr;
    for (int i = ilow; i < ihigh; i++) {
        ZvObject *v = ZvTuple_GET_ITEM(op, i);
        Zv_INCREF(v);
        ZvTuple_SET_ITEM(np, i - ilow, v);
    }
    return np;
}

int _ZvTuple_Resize(ZvObject **pv, int newsize)
{
    ZvObject *v = *pv;
    if (v == nullptr || Zv_TYPE(v) != &ZvTuple_Type ||
        (Zv_SIZE(v) != 0 && Zv_REFCNT(v) != 1) || newsize < 0) {
        *pv = nullptr;
        Zv_XDECREF(v);
        ZvErr_BadInternalCall();
        return -1;
    }
    int oldsize = Zv_SIZE(v);
    if (oldsize == newsize) return 0;
    if (oldsize == 0) {
        /* The empty tuple is shared: make a fresh one instead. */
        Zv_DECREF(v);
        *pv = ZvTuple_New(newsize);
        return *pv == nullptr ? -1 : 0;
    }
    ZvObject_GC_UnTrack(v);
    for (int i = newsize; i < oldsize; i++) Zv_CLEAR(((ZvTupleObject *)v)->ob_item[i]);
    auto *sv = ZvObject_GC_Resize(ZvTupleObject, v, newsize);
    if (sv == nullptr) {
        *pv = nullptr;
        ZvObject_GC_Del(v);
        return -1;
    }
    if (newsize > oldsize)
        memset(&sv->ob_item[oldsize], 0, sizeof(ZvObject *) * (size_t)(newsize - oldsize));
    *pv = (ZvObject *)sv;
    ZvObject_GC_Track(sv);
    return 0;
}

static void tupledealloc(ZvObject *obj)
{
    auto *op = (ZvTupleObject *)obj;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    for (int i = Zv_SIZE(op); --i >= 0;) Zv_XDECREF(op->ob_item[i]);
    Zv_TYPE(op)->tp_free((ZvObject *)op);
    ZvTrash_END(op)
}

static int tupletraverse(ZvObject *o, visitproc visit, void *arg)
{
    for (int i = Zv_SIZE(o); --i >= 0;) Zv_VISIT(((ZvTupleObject *)o)->ob_item[i]);
    return 0;
}

static ZvObject *tuplerepr(ZvObject *v)
{
    int n = Zv_SIZE(v);
    if (n == 0) return ZvString_FromString("()");
    ZvObject *s = ZvString_FromString("(");
    for (int i = 0; i < n && s != nullptr; i++) {
        if (i > 0) ZvString_ConcatAndDel(&s, ZvString_FromString(", "));
        if (s == nullptr) break;
        ZvObject *r = ZvObject_Repr(ZvTuple_GET_ITEM(v, i));
        if (r == nullptr) {
            Zv_CLEAR(s);
            break;
        }
        ZvString_ConcatAndDel(&s, r);
    }
    if (s != nullptr) ZvString_ConcatAndDel(&s, ZvString_FromString(n == 1 ? ",)" : ")"));
    return s;
}

static Zv_hash_t tuplehash(ZvObject *v)
{
    uint32_t x = 0x345678;
    int len = Zv_SIZE(v);
    uint32_t mult = 1000003;
    for (int i = 0; i < len; i++) {
        Zv_hash_t y = ZvObject_Hash(ZvTuple_GET_ITEM(v, i));
        if (y == -1) return -1;
        x = (x ^ (uint32_t)y) * mult;
        mult += 82520u + (uint32_t)(len - i - 1) * 2;
    }
    x += 97531;
    Zv_hash_t h = (Zv_hash_t)x;
    return h == -1 ? -2 : h;
}

static int tuplelength(ZvObject *a) { return Zv_SIZE(a); }

static ZvObject *tupleitem(ZvObject *a, int i)
{
    if (i < 0 || i >= Zv_SIZE(a)) {
        ZvErr_SetString(ZvExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    ZvObject *v = ZvTuple_GET_ITEM(a, i);
    Zv_INCREF(v);
    return v;
}

static ZvObject *tuplerichcompare(ZvObject *v, ZvObject *w, int op)
{
    if (!ZvTuple_Check(v) || !ZvTuple_Check(w)) Zv_RETURN_NOTIMPLEMENTED;
    int vlen = Zv_SIZE(v), wlen = Zv_SIZE(w), i;
    for (i = 0; i < vlen && i < wlen; i++) {
        int k = ZvObject_RichCompareBool(ZvTuple_GET_ITEM(v, i), ZvTuple_GET_ITEM(w, i), Zv_EQ);
        if (k < 0) return nullptr;
        if (!k) break;
    }
    if (i >= vlen || i >= wlen) {
        int c = 0;
        switch (op) {
        case Zv_LT: c = vlen < wlen; break;
        case Zv_LE: c = vlen <= wlen; break;
        case Zv_EQ: c = vlen == wlen; break;
        case Zv_NE: c = vlen != wlen; break;
        case Zv_GT: c = vlen > wlen; break;
        case Zv_GE: c = vlen >= wlen; break;
        }
        return ZvBool_FromLong(c);
    }
    if (op == Zv_EQ) Zv_RETURN_FALSE;
    if (op == Zv_NE) Zv_RETURN_TRUE;
    return ZvObject_RichCompare(ZvTuple_GET_ITEM(v, i), ZvTuple_GET_ITEM(w, i), op);
}

static ZvSequenceMethods tuple_as_sequence = {
    tuplelength, nullptr, nullptr, tupleitem,
};

ZvTypeObject ZvTuple_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "tuple", sizeof(ZvTupleObject) - sizeof(ZvObject *), sizeof(ZvObject *),
    tupledealloc,       /* tp_dealloc */
    nullptr,            /* tp_print */
    nullptr,            /* tp_getattr */
    nullptr,            /* tp_setattr */
    nullptr,            /* tp_compare */
    tuplerepr,          /* tp_repr */
    nullptr,            /* tp_as_number */
    &tuple_as_sequence, /* tp_as_sequence */
    nullptr,            /* tp_as_mapping */
    tuplehash,          /* tp_hash */
    nullptr,            /* tp_call */
    nullptr,            /* tp_str */
    ZvObject_GenericGetAttr,
    nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "tuple() -> an empty tuple\n"
    "tuple(sequence) -> tuple initialized from sequence's items\n\n"
    "If the argument is a tuple, the return value is the same object.",
    tupletraverse,      /* tp_traverse */
    nullptr,            /* tp_clear */
    tuplerichcompare,   /* tp_richcompare */
    0, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    nullptr,
    ZvObject_GC_Del,    /* tp_free */
};

void ZvTuple_Fini(void) { Zv_CLEAR(empty_tuple); }

} // extern "C"
