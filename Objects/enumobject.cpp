/* `enumerate` and `reversed`.
 *
 * enumerate wraps an iterator and yields (index, item) pairs, reusing its
 * result tuple when nobody else holds it; reversed walks a sequence from
 * its last index down to 0. */
#include "zuvo.h"

extern "C" {

typedef struct {
    ZvObject_HEAD
    int64_t en_index; /* grows past the int range into longs */
    ZvObject *en_sit;    /* the underlying iterator */
    ZvObject *en_result; /* a 2-tuple kept for reuse */
} enumobject;

static ZvObject *enum_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    static const char *kwlist[] = {"sequence", nullptr};
    ZvObject *seq = nullptr;
    if (!ZvArg_ParseTupleAndKeywords(args, kwds, "O:enumerate", (char **)kwlist, &seq))
        return nullptr;
    auto *en = (enumobject *)type->tp_alloc(type, 0);
    if (en == nullptr) return nullptr;
    en->en_index = 0;
    en->en_sit = ZvObject_GetIter(seq);
    if (en->en_sit == nullptr) {
        Zv_DECREF(en);
        return nullptr;
    }
    en->en_result = ZvTuple_Pack(2, Zv_None, Zv_None);
    if (en->en_result == nullptr) {
        Zv_DECREF(en);
        return nullptr;
    }
    return (ZvObject *)en;
}

static void enum_dealloc(ZvObject *o)
{
    auto *en = (enumobject *)o;
    ZvObject_GC_UnTrack(en);
    /* Chains of enumerate objects, each over the previous one, are freed
     * through the depth guard like containers. */
    ZvTrash_BEGIN(en)
    Zv_XDECREF(en->en_sit);
    Zv_XDECREF(en->en_result);
    Zv_TYPE(en)->tp_free(o);
    ZvTrash_END(en)
}

static int enum_traverse(ZvObject *o, visitproc visit, void *arg)
{
    auto *en = (enumobject *)o;
    Zv_VISIT(en->en_sit);
    Zv_VISIT(en->en_result);
    return 0;
}

/* The kept pair can hold the enumerate object itself (enumerating a list
 * that contains it): a cycle only clearing breaks.  A cleared object is
 * exhausted. */
static int enum_clear(ZvObject *o)
{
    auto *en = (enumobject *)o;
    Zv_CLEAR(en->en_sit);
    Zv_CLEAR(en->en_result);
    return 0;
}

static ZvObject *enum_next(ZvObject *o)
{
    auto *en = (enumobject *)o;
    if (en->en_sit == nullptr) return nullptr;
    /* Through the iteration protocol, never the slot directly: a class can
     * delete its next method while being iterated, which empties the slot. */
    ZvObject *next_item = ZvIter_Next(en->en_sit);
    if (next_item == nullptr) return nullptr;
    /* Past the int range the count goes on as a long. */
    ZvObject *next_index = en->en_index <= INT32_MAX ? ZvInt_FromLong((int32_t)en->en_index)
                                                     : ZvLong_FromLongLong(en->en_index);
    if (next_index == nullptr) {
        Zv_DECREF(next_item);
        return nullptr;
    }
    en->en_index++;
    ZvObject *result = en->en_result;
    if (result == nullptr || result->ob_refcnt != 1) {
        result = ZvTuple_New(2);
        if (result == nullptr) {
            Zv_DECREF(next_index);
            Zv_DECREF(next_item);
            return nullptr;
        }
        ZvTuple_SET_ITEM(result, 0, next_index);
        ZvTuple_SET_ITEM(result, 1, next_item);
        return result;
    }
    /* The kept pair holds the new items before the old ones are released:
     * their destructors run code, and the collector may look at the pair. */
    ZvObject *old_index = ZvTuple_GET_ITEM(result, 0);
    ZvObject *old_item = ZvTuple_GET_ITEM(result, 1);
    ZvTuple_SET_ITEM(result, 0, next_index);
    ZvTuple_SET_ITEM(result, 1, next_item);
    Zv_INCREF(result);
    Zv_DECREF(old_index);
    Zv_DECREF(old_item);
    return result;
}

ZvTypeObject ZvEnum_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "enumerate", sizeof(enumobject), 0,
    enum_dealloc, /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "enumerate(iterable) -> iterator for index, value of iterable\n\n"
    "Return an enumerate object.  iterable must be an other object that supports\n"
    "iteration.  The enumerate object yields pairs containing a count (from\n"
    "zero) and a value yielded by the iterable argument.  enumerate is useful\n"
    "for obtaining an indexed list: (0, seq[0]), (1, seq[1]), (2, seq[2]), ...",
    enum_traverse, enum_clear, nullptr, 0,
    ZvObject_SelfIter, /* tp_iter */
    enum_next,         /* tp_iternext */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
    ZvType_GenericAlloc, /* tp_alloc */
    enum_new,            /* tp_new */
    ZvObject_GC_Del,     /* tp_free */
};

/* --- reversed ------------------------------------------------------------ */

typedef struct {
    ZvObject_HEAD
    int32_t index;
    ZvObject *seq; /* NULL when exhausted */
} reversedobject;

static ZvObject *reversed_new(ZvTypeObject *type, ZvObject *args, ZvObject *kwds)
{
    ZvObject *seq;
    if (!_ZvArg_NoKeywords("reversed()", kwds)) return nullptr;
    if (!ZvArg_UnpackTuple(args, "reversed", 1, 1, &seq)) return nullptr;
    ZvObject *reversed_meth = ZvObject_GetAttrString(seq, "__reversed__");
    if (reversed_meth != nullptr) {
        ZvObject *res = ZvObject_CallFunctionObjArgs(reversed_meth, nullptr);
        Zv_DECREF(reversed_meth);
        return res;
    }
    ZvErr_Clear();
    if (!ZvSequence_Check(seq)) {
        ZvErr_SetString(ZvExc_TypeError, "argument to reversed() must be a sequence");
        return nullptr;
    }
    int n = ZvSequence_Size(seq);
    if (n == -1) return nullptr;
    auto *ro = (reversedobject *)type->tp_alloc(type, 0);
    if (ro == nullptr) return nullptr;
    ro->index = n - 1;
    Zv_INCREF(seq);
    ro->seq = seq;
    return (ZvObject *)ro;
}

static void reversed_dealloc(ZvObject *o)
{
    auto *ro = (reversedobject *)o;
    ZvObject_GC_UnTrack(ro);
    ZvTrash_BEGIN(ro)
    Zv_XDECREF(ro->seq);
    Zv_TYPE(ro)->tp_free(o);
    ZvTrash_END(ro)
}

static int reversed_traverse(ZvObject *o, visitproc visit, void *arg)
{
    Zv_VISIT(((reversedobject *)o)->seq);
    return 0;
}

static ZvObject *reversed_next(ZvObject *o)
{
    auto *ro = (reversedobject *)o;
    int index = ro->index;
    if (index >= 0) {
        ZvObject *item = ZvSequence_GetItem(ro->seq, index);
        if (item != nullptr) {
            ro->index--;
            return item;
        }
        if (ZvErr_ExceptionMatches(ZvExc_IndexError) ||
            ZvErr_ExceptionMatches(ZvExc_StopIteration))
            ZvErr_Clear();
    }
    ro->index = -1;
    Zv_CLEAR(ro->seq);
    return nullptr;
}

/* Items left, so len() works; a sequence that shrank meanwhile gives 0. */
static int reversed_len(ZvObject *o)
{
    auto *ro = (reversedobject *)o;
    if (ro->seq == nullptr) return 0;
    int seqsize = ZvSequence_Size(ro->seq);
    if (seqsize == -1) return -1;
    int position = ro->index + 1;
    return (seqsize < position) ? 0 : position;
}

static ZvSequenceMethods reversed_as_sequence = {reversed_len};

ZvTypeObject ZvReversed_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "reversed", sizeof(reversedobject), 0,
    reversed_dealloc, /* tp_dealloc */
    nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, &reversed_as_sequence, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC | Zv_TPFLAGS_BASETYPE,
    "reversed(sequence) -> reverse iterator over values of the sequence\n\n"
    "Return a reverse iterator",
    reversed_traverse, nullptr, nullptr, 0,
    ZvObject_SelfIter, /* tp_iter */
    reversed_next,     /* tp_iternext */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr,
    ZvType_GenericAlloc, /* tp_alloc */
    reversed_new,        /* tp_new */
    ZvObject_GC_Del,     /* tp_free */
};

} // extern "C"
