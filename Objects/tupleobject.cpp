/* The immutable sequence `tuple` and its iterator.
 *
 * Items are stored inline after the header and owned.  A tuple is filled
 * once right after creation (its slots start NULL) and never changes
 * afterwards, except through ZvTuple_SetItem and _ZvTuple_Resize while its
 * creator holds the only reference.
 *
 * Tuples carry argument lists and return values everywhere, so small ones
 * are recycled: free_tuples[n] (n < ZvTuple_MAXSAVESIZE) chains released
 * tuples of exactly n items through their first item slot, at most
 * ZvTuple_MAXFREELIST per size.  free_tuples[0] is the shared empty tuple;
 * the list keeps one extra reference to it so that it lives until
 * ZvTuple_Fini.  Only exact tuples are recycled: a subtype instance may be
 * larger or carry a dictionary. */
#include "zuvo.h"

#include <string.h>

namespace {

/* Sizes below this are recycled; 20 covers almost every argument tuple. */
constexpr int ZvTuple_MAXSAVESIZE = 20;
/* Bounded so that a burst of tuples does not pin memory forever. */
constexpr int ZvTuple_MAXFREELIST = 2000;

/* The largest item count whose allocation size fits the signed 32-bit
 * size range of the object allocator. */
constexpr size_t max_tuple_items =
    ((size_t)INT32_MAX - sizeof(ZvTupleObject)) / sizeof(ZvObject *);

ZvTupleObject *free_tuples[ZvTuple_MAXSAVESIZE];
int num_free_tuples[ZvTuple_MAXSAVESIZE];

/* Converts an int or long index; -1 with an error set on failure.  Longs
 * go through the integer conversion, which raises OverflowError for a
 * value outside the 32-bit range. */
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

} // namespace

extern "C" {

ZvObject *ZvTuple_New(int size)
{
    if (size < 0) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    if (size == 0 && free_tuples[0] != nullptr) {
        Zv_INCREF(free_tuples[0]);
        return (ZvObject *)free_tuples[0];
    }
    ZvTupleObject *op;
    if (size > 0 && size < ZvTuple_MAXSAVESIZE && free_tuples[size] != nullptr) {
        op = free_tuples[size];
        free_tuples[size] = (ZvTupleObject *)op->ob_item[0];
        num_free_tuples[size]--;
        op->ob_refcnt = 1;
    } else {
        if ((size_t)size > max_tuple_items) return ZvErr_NoMemory();
        op = ZvObject_GC_NewVar(ZvTupleObject, &ZvTuple_Type, size);
        if (op == nullptr) return nullptr;
    }
    memset(op->ob_item, 0, (size_t)size * sizeof(ZvObject *));
    if (size == 0) {
        free_tuples[0] = op;
        num_free_tuples[0]++;
        Zv_INCREF(op); /* the extra reference that keeps it alive */
    }
    ZvObject_GC_Track(op);
    return (ZvObject *)op;
}

int ZvTuple_Size(ZvObject *op)
{
    if (op == nullptr || !ZvTuple_Check(op)) {
        ZvErr_BadInternalCall();
        return -1;
    }
    return Zv_SIZE(op);
}

ZvObject *ZvTuple_GetItem(ZvObject *op, int i)
{
    if (op == nullptr || !ZvTuple_Check(op)) {
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
    if (op == nullptr || !ZvTuple_Check(op) || Zv_REFCNT(op) != 1) {
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

static ZvObject *tupleslice(ZvTupleObject *a, int ilow, int ihigh)
{
    int size = a->ob_size;
    if (ilow < 0) ilow = 0;
    if (ihigh > size) ihigh = size;
    if (ihigh < ilow) ihigh = ilow;
    if (ilow == 0 && ihigh == size && ZvTuple_CheckExact(a)) {
        Zv_INCREF(a);
        return (ZvObject *)a;
    }
    ZvObject *np = ZvTuple_New(ihigh - ilow);
    if (np == nullptr) return nullptr;
    for (int i = ilow; i < ihigh; i++) {
        ZvObject *v = a->ob_item[i];
        Zv_INCREF(v);
        ZvTuple_SET_ITEM(np, i - ilow, v);
    }
    return np;
}

ZvObject *ZvTuple_GetSlice(ZvObject *op, int ilow, int ihigh)
{
    if (op == nullptr || !ZvTuple_Check(op)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    return tupleslice((ZvTupleObject *)op, ilow, ihigh);
}

/* Resizing is only legal while the caller owns the only reference, so the
 * object may move.  A failed reallocation still releases the items the
 * tuple held; the caller is left with NULL. */
int _ZvTuple_Resize(ZvObject **pv, int newsize)
{
    ZvObject *v = pv == nullptr ? nullptr : *pv;
    if (v == nullptr || Zv_TYPE(v) != &ZvTuple_Type ||
        (Zv_SIZE(v) != 0 && Zv_REFCNT(v) != 1) || newsize < 0) {
        if (pv != nullptr) *pv = nullptr;
        Zv_XDECREF(v);
        ZvErr_BadInternalCall();
        return -1;
    }
    int oldsize = Zv_SIZE(v);
    if (oldsize == newsize) return 0;
    if (oldsize == 0 || newsize == 0) {
        /* The empty tuple is shared: never resize it, never make a second. */
        Zv_DECREF(v);
        *pv = ZvTuple_New(newsize);
        return *pv == nullptr ? -1 : 0;
    }
    auto *t = (ZvTupleObject *)v;
    ZvObject_GC_UnTrack(t);
    for (int i = newsize; i < oldsize; i++) Zv_CLEAR(t->ob_item[i]);
    ZvTupleObject *sv = nullptr;
    if ((size_t)newsize <= max_tuple_items) sv = ZvObject_GC_Resize(ZvTupleObject, t, newsize);
    if (sv == nullptr) {
        *pv = nullptr;
        Zv_DECREF(t); /* releases the items that remain */
        ZvErr_NoMemory();
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
    int len = op->ob_size;
    ZvObject_GC_UnTrack(op);
    ZvTrash_BEGIN(op)
    if (len > 0) {
        for (int i = len; --i >= 0;) Zv_XDECREF(op->ob_item[i]);
        if (len < ZvTuple_MAXSAVESIZE && num_free_tuples[len] < ZvTuple_MAXFREELIST &&
            ZvTuple_CheckExact(op)) {
            op->ob_item[0] = (ZvObject *)free_tuples[len];
            num_free_tuples[len]++;
            free_tuples[len] = op;
            goto done;
        }
    }
    Zv_TYPE(op)->tp_free((ZvObject *)op);
done:
    ZvTrash_END(op)
}

static int tupletraverse(ZvObject *o, visitproc visit, void *arg)
{
    for (int i = Zv_SIZE(o); --i >= 0;) Zv_VISIT(((ZvTupleObject *)o)->ob_item[i]);
    return 0;
}

/* Items print through their own print slots, so a deep nesting recurses
 * here: the recursion counter stops it before it exhausts the C stack. */
static int tupleprint(ZvObject *op, FILE *fp, int)
{
    int n = Zv_SIZE(op);
    if (Zv_EnterRecursiveCall(" while printing an object")) return -1;
    int status = 0;
    fputc('(', fp);
    for (int i = 0; i < n && status == 0; i++) {
        if (i > 0) fputs(", ", fp);
        status = ZvObject_Print(ZvTuple_GET_ITEM(op, i), fp, 0);
    }
    if (status == 0) fputs(n == 1 ? ",)" : ")", fp);
    Zv_LeaveRecursiveCall();
    return status;
}

/* Tuples cannot contain themselves, so no "..." guard is needed; the
 * recursion counter still stops a pathologically deep nesting before it
 * exhausts the C stack. */
static ZvObject *tuplerepr(ZvObject *v)
{
    int n = Zv_SIZE(v);
    if (n == 0) return ZvString_FromString("()");
    if (Zv_EnterRecursiveCall(" while getting the repr of an object")) return nullptr;
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
    Zv_LeaveRecursiveCall();
    return s;
}

/* Mixes the item hashes with a multiplier that changes per position, so
 * permutations of the same items hash differently.  The arithmetic is
 * unsigned 32-bit: wrap-around is intended. */
static Zv_hash_t tuplehash(ZvObject *v)
{
    uint32_t x = 0x345678;
    int len = Zv_SIZE(v);
    uint32_t mult = 1000003;
    if (Zv_EnterRecursiveCall(" while hashing")) return -1;
    for (int i = 0; i < len; i++) {
        Zv_hash_t y = ZvObject_Hash(ZvTuple_GET_ITEM(v, i));
        if (y == -1) {
            Zv_LeaveRecursiveCall();
            return -1;
        }
        x = (x ^ (uint32_t)y) * mult;
        mult += 82520u + (uint32_t)(len - i - 1) * 2u;
    }
    Zv_LeaveRecursiveCall();
    x += 97531;
    Zv_hash_t h = (Zv_hash_t)x;
    return h == -1 ? -2 : h;
}

static int tuplelength(ZvObject *a) { return Zv_SIZE(a); }

static int tuplecontains(ZvObject *a, ZvObject *el)
{
    int cmp = 0;
    for (int i = 0; cmp == 0 && i < Zv_SIZE(a); ++i)
        cmp = ZvObject_RichCompareBool(el, ZvTuple_GET_ITEM(a, i), Zv_EQ);
    return cmp;
}

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

static ZvObject *tuple_slice_slot(ZvObject *a, int ilow, int ihigh)
{
    return tupleslice((ZvTupleObject *)a, ilow, ihigh);
}

static ZvObject *tupleconcat(ZvObject *a, ZvObject *bb)
{
    if (!ZvTuple_Check(bb)) {
        ZvErr_Format(ZvExc_TypeError, "can only concatenate tuple (not \"%.200s\") to tuple",
                     Zv_TYPE(bb)->tp_name);
        return nullptr;
    }
    int64_t size = (int64_t)Zv_SIZE(a) + Zv_SIZE(bb);
    if (size > INT32_MAX) return ZvErr_NoMemory();
    ZvObject *np = ZvTuple_New((int)size);
    if (np == nullptr) return nullptr;
    int na = Zv_SIZE(a);
    for (int i = 0; i < na; i++) {
        ZvObject *v = ZvTuple_GET_ITEM(a, i);
        Zv_INCREF(v);
        ZvTuple_SET_ITEM(np, i, v);
    }
    for (int i = 0; i < Zv_SIZE(bb); i++) {
        ZvObject *v = ZvTuple_GET_ITEM(bb, i);
        Zv_INCREF(v);
        ZvTuple_SET_ITEM(np, i + na, v);
    }
    return np;
}

static ZvObject *tuplerepeat(ZvObject *a, int n)
{
    if (n < 0) n = 0;
    int len = Zv_SIZE(a);
    if (len == 0 || n == 1) {
        if (ZvTuple_CheckExact(a)) {
            Zv_INCREF(a);
            return a;
        }
        if (len == 0) return ZvTuple_New(0);
    }
    int64_t size = (int64_t)len * n;
    if (size > INT32_MAX) return ZvErr_NoMemory();
    ZvObject *np = ZvTuple_New((int)size);
    if (np == nullptr) return nullptr;
    ZvObject **p = ((ZvTupleObject *)np)->ob_item;
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < len; j++) {
            *p = ZvTuple_GET_ITEM(a, j);
            Zv_INCREF(*p);
            p++;
        }
    }
    return np;
}

static ZvObject *tuplesubscript(ZvObject *self, ZvObject *item)
{
    if (ZvInt_Check(item) || ZvLong_Check(item)) {
        int i;
        if (!index_from_integer(item, &i)) return nullptr;
        if (i < 0) i += Zv_SIZE(self);
        return tupleitem(self, i);
    }
    if (!ZvSlice_Check(item)) {
        ZvErr_SetString(ZvExc_TypeError, "tuple indices must be integers");
        return nullptr;
    }
    int start, stop, step, slicelength;
    if (ZvSlice_GetIndicesEx((ZvSliceObject *)item, Zv_SIZE(self), &start, &stop, &step,
                             &slicelength) < 0)
        return nullptr;
    if (slicelength <= 0) return ZvTuple_New(0);
    if (step == 1) return ZvTuple_GetSlice(self, start, stop);
    ZvObject *result = ZvTuple_New(slicelength);
    if (result == nullptr) return nullptr;
    /* 64 bits: one step past the last item can leave the int range. */
    int64_t cur = start;
    for (int i = 0; i < slicelength; cur += step, i++) {
        ZvObject *it = ZvTuple_GET_ITEM(self, cur);
        Zv_INCREF(it);
        ZvTuple_SET_ITEM(result, i, it);
    }
    return result;
}

static ZvObject *tuplerichcompare(ZvObject *v, ZvObject *w, int op)
{
    if (!ZvTuple_Check(v) || !ZvTuple_Check(w)) Zv_RETURN_NOTIMPLEMENTED;
    int vlen = Zv_SIZE(v), wlen = Zv_SIZE(w), i;
    /* The first index where the items differ decides. */
    for (i = 0; i < vlen && i < wlen; i++) {
        int k = ZvObject_RichCompareBool(ZvTuple_GET_ITEM(v, i), ZvTuple_GET_ITEM(w, i), Zv_EQ);
        if (k < 0) return nullptr;
        if (!k) break;
    }
    if (i >= vlen || i >= wlen) {
        bool c = false;
        switch (op) {
        case Zv_LT: c = vlen < wlen; break;
        case Zv_LE: c = vlen <= wlen; break;
        case Zv_EQ: c = vlen == wlen; break;
        case Zv_NE: c = vlen != wlen; break;
        case Zv_GT: c = vlen > wlen; break;
        case Zv_GE: c = vlen >= wlen; break;
        default: Zv_RETURN_NOTIMPLEMENTED;
        }
        return ZvBool_FromLong(c);
    }
    if (op == Zv_EQ) Zv_RETURN_FALSE;
    if (op == Zv_NE) Zv_RETURN_TRUE;
    return ZvObject_RichCompare(ZvTuple_GET_ITEM(v, i), ZvTuple_GET_ITEM(w, i), op);
}

/* tuple(x) for a subtype: build the plain tuple, then copy its items into
 * an instance of the subtype. */
static ZvObject *tuple_subtype_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    ZvObject *tmp = ZvTuple_Type.tp_new(&ZvTuple_Type, args, kwds);
    if (tmp == nullptr) return nullptr;
    int n = Zv_SIZE(tmp);
    ZvObject *newobj = type->tp_alloc(type, n);
    if (newobj == nullptr) {
        Zv_DECREF(tmp);
        return nullptr;
    }
    for (int i = 0; i < n; i++) {
        ZvObject *item = ZvTuple_GET_ITEM(tmp, i);
        Zv_INCREF(item);
        ZvTuple_SET_ITEM(newobj, i, item);
    }
    Zv_DECREF(tmp);
    return newobj;
}

static ZvObject *tuple_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    if (type != &ZvTuple_Type) return tuple_subtype_new(type, args, kwds);
    ZvObject *arg = nullptr;
    static char *kwlist[] = {(char *)"sequence", nullptr};
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "|O:tuple", kwlist, &arg)) return nullptr;
    if (arg == nullptr) return ZvTuple_New(0);
    if (ZvTuple_CheckExact(arg)) {
        Zv_INCREF(arg);
        return arg;
    }
    return ZvSequence_Tuple(arg);
}

/* The arguments that recreate this tuple: a 1-tuple holding a plain tuple
 * of the items. */
static ZvObject *tuple_getnewargs(ZvObject *v, ZvObject *)
{
    ZvObject *items = tupleslice((ZvTupleObject *)v, 0, Zv_SIZE(v));
    if (items == nullptr) return nullptr;
    ZvObject *res = ZvTuple_New(1);
    if (res == nullptr) {
        Zv_DECREF(items);
        return nullptr;
    }
    ZvTuple_SET_ITEM(res, 0, items);
    return res;
}

static ZvObject *tuple_iter(ZvObject *seq);

static ZvMethodDef tuple_methods[] = {
    {"__getnewargs__", (ZvCFunction)tuple_getnewargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static ZvSequenceMethods tuple_as_sequence = {
    tuplelength,      /* sq_length */
    tupleconcat,      /* sq_concat */
    tuplerepeat,      /* sq_repeat */
    tupleitem,        /* sq_item */
    tuple_slice_slot, /* sq_slice */
    nullptr,          /* sq_ass_item */
    nullptr,          /* sq_ass_slice */
    tuplecontains,    /* sq_contains */
};

static ZvMappingMethods tuple_as_mapping = {
    tuplelength,
    tuplesubscript,
    nullptr,
};

ZvTypeObject ZvTuple_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "tuple", sizeof(ZvTupleObject) - sizeof(ZvObject *), sizeof(ZvObject *),
    tupledealloc,       /* tp_dealloc */
    tupleprint,         /* tp_print */
    nullptr,            /* tp_getattr */
    nullptr,            /* tp_setattr */
    nullptr,            /* tp_compare */
    tuplerepr,          /* tp_repr */
    nullptr,            /* tp_as_number */
    &tuple_as_sequence, /* tp_as_sequence */
    &tuple_as_mapping,  /* tp_as_mapping */
    tuplehash,          /* tp_hash */
    nullptr,            /* tp_call */
    nullptr,            /* tp_str */
    ZvObject_GenericGetAttr, /* tp_getattro */
    nullptr,            /* tp_setattro */
    nullptr,            /* tp_as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "tuple() -> an empty tuple\n"
    "tuple(sequence) -> tuple initialized from sequence's items\n\n"
    "If the argument is a tuple, the return value is the same object.",
    tupletraverse,      /* tp_traverse */
    nullptr,            /* tp_clear */
    tuplerichcompare,   /* tp_richcompare */
    0,                  /* tp_weaklistoffset */
    tuple_iter,         /* tp_iter */
    nullptr,            /* tp_iternext */
    tuple_methods,      /* tp_methods */
    nullptr,            /* tp_members */
    nullptr,            /* tp_getset */
    nullptr,            /* tp_base */
    nullptr,            /* tp_dict */
    nullptr,            /* tp_descr_get */
    nullptr,            /* tp_descr_set */
    0,                  /* tp_dictoffset */
    nullptr,            /* tp_init */
    nullptr,            /* tp_alloc */
    tuple_new,          /* tp_new */
    ZvObject_GC_Del,    /* tp_free */
};

void ZvTuple_Fini(void)
{
    Zv_CLEAR(free_tuples[0]);
    num_free_tuples[0] = 0;
    for (int i = 1; i < ZvTuple_MAXSAVESIZE; i++) {
        ZvTupleObject *p = free_tuples[i];
        free_tuples[i] = nullptr;
        num_free_tuples[i] = 0;
        while (p != nullptr) {
            ZvTupleObject *q = p;
            p = (ZvTupleObject *)p->ob_item[0];
            ZvObject_GC_Del(q);
        }
    }
}

/* --- the tuple iterator ---------------------------------------------------
 * it_seq is released and set to NULL once the end is reached, so an
 * exhausted iterator keeps nothing alive. */

typedef struct {
    ZvObject_HEAD
    int it_index;
    ZvTupleObject *it_seq;
} tupleiterobject;

static void tupleiter_dealloc(ZvObject *o)
{
    auto *it = (tupleiterobject *)o;
    ZvObject_GC_UnTrack(it);
    Zv_XDECREF(it->it_seq);
    ZvObject_GC_Del(it);
}

static int tupleiter_traverse(ZvObject *o, visitproc visit, void *arg)
{
    Zv_VISIT(((tupleiterobject *)o)->it_seq);
    return 0;
}

static ZvObject *tupleiter_next(ZvObject *o)
{
    auto *it = (tupleiterobject *)o;
    ZvTupleObject *seq = it->it_seq;
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

static int tupleiter_len(ZvObject *o)
{
    auto *it = (tupleiterobject *)o;
    return it->it_seq != nullptr ? it->it_seq->ob_size - it->it_index : 0;
}

static ZvSequenceMethods tupleiter_as_sequence = {tupleiter_len};

ZvTypeObject ZvTupleIter_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "tupleiterator", sizeof(tupleiterobject), 0,
    tupleiter_dealloc,        /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr, /* print .. repr */
    nullptr,                  /* tp_as_number */
    &tupleiter_as_sequence,   /* tp_as_sequence */
    nullptr,                  /* tp_as_mapping */
    nullptr, nullptr, nullptr, /* hash, call, str */
    ZvObject_GenericGetAttr,  /* tp_getattro */
    nullptr, nullptr,         /* setattro, as_buffer */
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,                  /* tp_doc */
    tupleiter_traverse,       /* tp_traverse */
    nullptr, nullptr, 0,      /* clear, richcompare, weaklistoffset */
    ZvObject_SelfIter,        /* tp_iter */
    tupleiter_next,           /* tp_iternext */
};

static ZvObject *tuple_iter(ZvObject *seq)
{
    if (!ZvTuple_Check(seq)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *it = ZvObject_GC_New(tupleiterobject, &ZvTupleIter_Type);
    if (it == nullptr) return nullptr;
    it->it_index = 0;
    Zv_INCREF(seq);
    it->it_seq = (ZvTupleObject *)seq;
    ZvObject_GC_Track(it);
    return (ZvObject *)it;
}

} // extern "C"
