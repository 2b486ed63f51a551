/* `xrange`: a lazy arithmetic progression of ints.
 *
 * Only start, step and the length are stored; items are computed on
 * demand, so iteration and reversed() never build a list. */
#include "zuvo.h"

extern "C" {

typedef struct {
    ZvObject_HEAD
    int32_t start;
    int32_t step;
    int32_t len;
} rangeobject;

typedef struct {
    ZvObject_HEAD
    int32_t index;
    int32_t start;
    int32_t step;
    int32_t len;
} rangeiterobject;

extern ZvTypeObject ZvRangeIter_Type; /* defined below */

ZvObject *ZvRange_New(int32_t start, int32_t len, int32_t step, int reps)
{
    if (reps != 1) {
        ZvErr_SetString(ZvExc_ValueError, "ZvRange_New's 'repetitions' argument must be 1");
        return nullptr;
    }
    if (len == 0) {
        start = 0;
        len = 0;
        step = 1;
    } else {
        int64_t last = (int64_t)start + (int64_t)(len - 1) * step;
        if (last > INT32_MAX || last < INT32_MIN) {
            ZvErr_SetString(ZvExc_OverflowError, "integer addition");
            return nullptr;
        }
    }
    auto *obj = ZvObject_New(rangeobject, &ZvRange_Type);
    if (obj == nullptr) return nullptr;
    obj->start = start;
    obj->len = len;
    obj->step = step;
    return (ZvObject *)obj;
}

/* Number of items in [lo, hi) by step > 0, computed in unsigned arithmetic
 * so that the difference of two ints never overflows. */
static uint32_t get_len_of_range(int32_t lo, int32_t hi, int32_t step)
{
    if (lo >= hi) return 0;
    uint32_t diff = (uint32_t)hi - (uint32_t)lo - 1u;
    return diff / (uint32_t)step + 1u;
}

static ZvObject *range_new(ZvTypeObject *, ZvObject *args, ZvObject *kw)
{
    /* The `l` unit stores a C long holding an int value. */
    long lo = 0, hi = 0, st = 1;
    if (!_ZvArg_NoKeywords("xrange()", kw)) return nullptr;
    if (ZvTuple_Size(args) <= 1) {
        if (!ZvArg_ParseTuple(args, "l;xrange() requires 1-3 int arguments", &hi))
            return nullptr;
    } else {
        if (!ZvArg_ParseTuple(args, "ll|l;xrange() requires 1-3 int arguments", &lo, &hi,
                              &st))
            return nullptr;
    }
    int32_t ilow = (int32_t)lo, ihigh = (int32_t)hi, istep = (int32_t)st;
    if (istep == 0) {
        ZvErr_SetString(ZvExc_ValueError, "xrange() arg 3 must not be zero");
        return nullptr;
    }
    uint32_t n;
    if (istep > 0)
        n = get_len_of_range(ilow, ihigh, istep);
    else
        n = get_len_of_range(ihigh, ilow, (int32_t)(0u - (uint32_t)istep));
    if (n > (uint32_t)INT32_MAX) {
        ZvErr_SetString(ZvExc_OverflowError, "xrange() result has too many items");
        return nullptr;
    }
    auto *obj = ZvObject_New(rangeobject, &ZvRange_Type);
    if (obj == nullptr) return nullptr;
    obj->start = ilow;
    obj->len = (int32_t)n;
    obj->step = istep;
    return (ZvObject *)obj;
}

/* start + i * step in wrapping arithmetic: the constructor guarantees every
 * item fits, but the shown stop (start + len * step) may not. */
static int32_t range_at(int32_t start, int32_t i, int32_t step)
{
    return (int32_t)((uint32_t)start + (uint32_t)i * (uint32_t)step);
}

static ZvObject *range_item(ZvObject *o, int i)
{
    auto *r = (rangeobject *)o;
    if (i < 0 || i >= r->len) {
        ZvErr_SetString(ZvExc_IndexError, "xrange object index out of range");
        return nullptr;
    }
    return ZvInt_FromLong(range_at(r->start, i, r->step));
}

static int range_length(ZvObject *o) { return ((rangeobject *)o)->len; }

static ZvObject *range_repr(ZvObject *o)
{
    auto *r = (rangeobject *)o;
    int32_t stop = range_at(r->start, r->len, r->step);
    if (r->start == 0 && r->step == 1) return ZvString_FromFormat("xrange(%d)", stop);
    if (r->step == 1) return ZvString_FromFormat("xrange(%d, %d)", r->start, stop);
    return ZvString_FromFormat("xrange(%d, %d, %d)", r->start, stop, r->step);
}

static ZvObject *make_range_iter(int32_t start, int32_t step, int32_t len)
{
    auto *it = ZvObject_New(rangeiterobject, &ZvRangeIter_Type);
    if (it == nullptr) return nullptr;
    it->index = 0;
    it->start = start;
    it->step = step;
    it->len = len;
    return (ZvObject *)it;
}

static ZvObject *range_iter(ZvObject *seq)
{
    auto *r = (rangeobject *)seq;
    return make_range_iter(r->start, r->step, r->len);
}

static ZvObject *range_reverse(ZvObject *seq, ZvObject *)
{
    auto *r = (rangeobject *)seq;
    int32_t len = r->len;
    if (len == 0) return make_range_iter(0, 1, 0);
    return make_range_iter(range_at(r->start, len - 1, r->step),
                           (int32_t)(0u - (uint32_t)r->step), len);
}

static ZvSequenceMethods range_as_sequence = {
    range_length, nullptr, nullptr, range_item,
};

static ZvMethodDef range_methods[] = {
    {"__reversed__", range_reverse, METH_NOARGS, "Returns a reverse iterator."},
    {nullptr, nullptr, 0, nullptr},
};

ZvTypeObject ZvRange_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "xrange", sizeof(rangeobject), 0,
    (destructor)ZvObject_Free, /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr,
    range_repr,          /* tp_repr */
    nullptr, &range_as_sequence, nullptr,
    nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT,
    "xrange([start,] stop[, step]) -> xrange object\n\n"
    "Like range(), but instead of returning a list, returns an object that\n"
    "generates the numbers in the range on demand.  For looping, this is \n"
    "slightly faster than range() and more memory efficient.",
    nullptr, nullptr, nullptr, 0,
    range_iter,          /* tp_iter */
    nullptr,             /* tp_iternext */
    range_methods,       /* tp_methods */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
    range_new,           /* tp_new */
};

static ZvObject *rangeiter_next(ZvObject *o)
{
    auto *r = (rangeiterobject *)o;
    if (r->index < r->len) return ZvInt_FromLong(range_at(r->start, r->index++, r->step));
    return nullptr;
}

static int rangeiter_len(ZvObject *o)
{
    auto *r = (rangeiterobject *)o;
    return r->len - r->index;
}

static ZvSequenceMethods rangeiter_as_sequence = {rangeiter_len};

ZvTypeObject ZvRangeIter_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "rangeiterator", sizeof(rangeiterobject), 0,
    (destructor)ZvObject_Free, /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, &rangeiter_as_sequence, nullptr,
    nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT,
    nullptr, nullptr, nullptr, nullptr, 0,
    ZvObject_SelfIter, /* tp_iter */
    rangeiter_next,    /* tp_iternext */
};

} // extern "C"
