/* The generic iterators returned by iter(): the sequence iterator fetches
 * seq[0], seq[1], ... until IndexError or StopIteration; the callable
 * iterator calls a function until it returns the sentinel.  Both drop what
 * they hold as soon as they are exhausted. */
#include "zuvo.h"

#include "zvref.h"

extern "C" {

typedef struct {
    ZvObject_HEAD
    int32_t it_index;
    ZvObject *it_seq; /* NULL when exhausted */
} seqiterobject;

ZvObject *ZvSeqIter_New(ZvObject *seq)
{
    if (!ZvSequence_Check(seq)) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *it = ZvObject_GC_New(seqiterobject, &ZvSeqIter_Type);
    if (it == nullptr) return nullptr;
    it->it_index = 0;
    Zv_INCREF(seq);
    it->it_seq = seq;
    ZvObject_GC_Track(it);
    return (ZvObject *)it;
}

static void iter_dealloc(ZvObject *o)
{
    auto *it = (seqiterobject *)o;
    ZvObject_GC_UnTrack(it);
    ZvTrash_BEGIN(it)
    Zv_XDECREF(it->it_seq);
    ZvObject_GC_Del(it);
    ZvTrash_END(it)
}

static int iter_traverse(ZvObject *o, visitproc visit, void *arg)
{
    Zv_VISIT(((seqiterobject *)o)->it_seq);
    return 0;
}

static ZvObject *iter_iternext(ZvObject *iterator)
{
    auto *it = (seqiterobject *)iterator;
    if (it->it_seq == nullptr) return nullptr;
    /* Held for the step: __getitem__ may step this same iterator, and a
     * nested step that reaches the end releases the sequence. */
    zv::Ref seq = zv::Ref::borrow(it->it_seq);
    ZvObject *result = ZvSequence_GetItem(seq.get(), it->it_index);
    if (result != nullptr) {
        it->it_index++;
        return result;
    }
    if (ZvErr_ExceptionMatches(ZvExc_IndexError) || ZvErr_ExceptionMatches(ZvExc_StopIteration)) {
        ZvErr_Clear();
        Zv_CLEAR(it->it_seq);
    }
    return nullptr;
}

/* Remaining items, so that len() works on the iterator. */
static int iter_len(ZvObject *o)
{
    auto *it = (seqiterobject *)o;
    if (it->it_seq == nullptr) return 0;
    int seqsize = ZvSequence_Size(it->it_seq);
    if (seqsize == -1) return -1;
    int len = seqsize - it->it_index;
    return len < 0 ? 0 : len;
}

static ZvSequenceMethods iter_as_sequence = {iter_len};

ZvTypeObject ZvSeqIter_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "iterator", sizeof(seqiterobject), 0,
    iter_dealloc, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, &iter_as_sequence, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,
    iter_traverse, nullptr, nullptr, 0,
    ZvObject_SelfIter, /* tp_iter */
    iter_iternext,     /* tp_iternext */
};

/* --- callable iterator ------------------------------------------------ */

typedef struct {
    ZvObject_HEAD
    ZvObject *it_callable; /* NULL when exhausted */
    ZvObject *it_sentinel; /* NULL when exhausted */
} calliterobject;

ZvObject *ZvCallIter_New(ZvObject *callable, ZvObject *sentinel)
{
    if (callable == nullptr || sentinel == nullptr) {
        ZvErr_BadInternalCall();
        return nullptr;
    }
    auto *it = ZvObject_GC_New(calliterobject, &ZvCallIter_Type);
    if (it == nullptr) return nullptr;
    Zv_INCREF(callable);
    it->it_callable = callable;
    Zv_INCREF(sentinel);
    it->it_sentinel = sentinel;
    ZvObject_GC_Track(it);
    return (ZvObject *)it;
}

static void calliter_dealloc(ZvObject *o)
{
    auto *it = (calliterobject *)o;
    ZvObject_GC_UnTrack(it);
    ZvTrash_BEGIN(it)
    Zv_XDECREF(it->it_callable);
    Zv_XDECREF(it->it_sentinel);
    ZvObject_GC_Del(it);
    ZvTrash_END(it)
}

static int calliter_traverse(ZvObject *o, visitproc visit, void *arg)
{
    auto *it = (calliterobject *)o;
    Zv_VISIT(it->it_callable);
    Zv_VISIT(it->it_sentinel);
    return 0;
}

static ZvObject *calliter_iternext(ZvObject *o)
{
    auto *it = (calliterobject *)o;
    if (it->it_callable == nullptr) return nullptr;
    /* Both are held for the step: the call and the comparison run code
     * that may step this same iterator to its end, which releases them. */
    zv::Ref callable = zv::Ref::borrow(it->it_callable);
    zv::Ref sentinel = zv::Ref::borrow(it->it_sentinel);
    zv::Ref args(ZvTuple_New(0));
    if (!args) return nullptr;
    ZvObject *result = ZvObject_Call(callable.get(), args.get(), nullptr);
    if (result != nullptr) {
        int ok = ZvObject_RichCompareBool(result, sentinel.get(), Zv_EQ);
        if (ok == 0) return result; /* common case, fast path */
        Zv_DECREF(result);
        if (ok > 0) {
            Zv_CLEAR(it->it_callable);
            Zv_CLEAR(it->it_sentinel);
        }
    } else if (ZvErr_ExceptionMatches(ZvExc_StopIteration)) {
        ZvErr_Clear();
        Zv_CLEAR(it->it_callable);
        Zv_CLEAR(it->it_sentinel);
    }
    return nullptr;
}

ZvTypeObject ZvCallIter_Type = {
    ZvObject_HEAD_INIT(&ZvType_Type) 0,
    "callable-iterator", sizeof(calliterobject), 0,
    calliter_dealloc, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    ZvObject_GenericGetAttr, nullptr, nullptr,
    Zv_TPFLAGS_DEFAULT | Zv_TPFLAGS_HAVE_GC,
    nullptr,
    calliter_traverse, nullptr, nullptr, 0,
    ZvObject_SelfIter,  /* tp_iter */
    calliter_iternext,  /* tp_iternext */
};

} // extern "C"
