/* Allocation and tracking of collected objects.
 *
 * Every object of a type with Zv_TPFLAGS_HAVE_GC carries a ZvGC_Head in
 * front of it.  An object is born untracked (gc_refs UNTRACKED, in no
 * list), is tracked by its constructor once its fields are valid (appended
 * to generation 0, gc_refs REACHABLE), and is untracked by its deallocator
 * before its fields are torn down.  The generation lists are circular and
 * doubly linked around a dummy head.  Generation 0's count is the number of
 * collected-object allocations minus deallocations; the cycle detector
 * that walks these lists and consumes the counts builds on this file. */
#include "zuvo.h"

namespace {

struct gc_generation {
    ZvGC_Head head;
    int threshold;
    int count;
};

#define GEN_HEAD(n) (&generations[n].head)

gc_generation generations[3] = {
    {{{GEN_HEAD(0), GEN_HEAD(0), 0}}, 700, 0},
    {{{GEN_HEAD(1), GEN_HEAD(1), 0}}, 10, 0},
    {{{GEN_HEAD(2), GEN_HEAD(2), 0}}, 10, 0},
};

/* Size of header plus an object of `basicsize` bytes, or 0 on overflow
 * (sizes stay within the signed 32-bit range the language uses). */
size_t gc_total_size(size_t basicsize)
{
    if (basicsize > (size_t)INT32_MAX - sizeof(ZvGC_Head)) return 0;
    return sizeof(ZvGC_Head) + basicsize;
}

/* Room for n items of a variable-size collected type, or 0 when n is
 * negative or the size would leave the 32-bit range. */
size_t gc_var_size(ZvTypeObject *tp, int nitems)
{
    if (nitems < 0) return 0;
    if (tp->tp_itemsize != 0 &&
        (size_t)nitems > ((size_t)INT32_MAX - (size_t)tp->tp_basicsize - sizeof(ZvGC_Head) -
                          sizeof(void *)) /
                             (size_t)tp->tp_itemsize)
        return 0;
    return _ZvObject_VAR_SIZE(tp, nitems);
}

} // namespace

extern "C" {

ZvGC_Head *_ZvGC_generation0 = GEN_HEAD(0);

ZvObject *_ZvObject_GC_Malloc(size_t basicsize)
{
    size_t total = gc_total_size(basicsize);
    if (total == 0) return ZvErr_NoMemory();
    auto *g = (ZvGC_Head *)ZvObject_Malloc(total);
    if (g == nullptr) return ZvErr_NoMemory();
    g->gc.gc_next = nullptr;
    g->gc.gc_prev = nullptr;
    g->gc.gc_refs = _ZvGC_REFS_UNTRACKED;
    generations[0].count++;
    return _Zv_FROM_GC(g);
}

ZvObject *_ZvObject_GC_New(ZvTypeObject *tp)
{
    ZvObject *op = _ZvObject_GC_Malloc((size_t)tp->tp_basicsize);
    return op ? ZvObject_Init(op, tp) : nullptr;
}

ZvVarObject *_ZvObject_GC_NewVar(ZvTypeObject *tp, int nitems)
{
    size_t size = gc_var_size(tp, nitems);
    if (size == 0) return (ZvVarObject *)ZvErr_NoMemory();
    ZvObject *op = _ZvObject_GC_Malloc(size);
    return op ? ZvObject_InitVar((ZvVarObject *)op, tp, nitems) : nullptr;
}

/* The object must be untracked: its header moves with it, and a tracked
 * header's neighbours would keep pointing at the old address. */
ZvVarObject *_ZvObject_GC_Resize(ZvVarObject *op, int nitems)
{
    if (_ZvGC_IS_TRACKED(op)) Zv_FatalError("_ZvObject_GC_Resize: object is tracked");
    size_t size = gc_var_size(Zv_TYPE(op), nitems);
    if (size == 0) return (ZvVarObject *)ZvErr_NoMemory();
    auto *g = (ZvGC_Head *)ZvObject_Realloc(_Zv_AS_GC(op), sizeof(ZvGC_Head) + size);
    if (g == nullptr) return (ZvVarObject *)ZvErr_NoMemory();
    op = (ZvVarObject *)_Zv_FROM_GC(g);
    op->ob_size = nitems;
    return op;
}

void ZvObject_GC_Track(void *op)
{
    ZvGC_Head *g = _Zv_AS_GC(op);
    if (g->gc.gc_refs != _ZvGC_REFS_UNTRACKED) Zv_FatalError("GC object already tracked");
    ZvGC_Head *head = _ZvGC_generation0;
    g->gc.gc_refs = _ZvGC_REFS_REACHABLE;
    g->gc.gc_next = head;
    g->gc.gc_prev = head->gc.gc_prev;
    g->gc.gc_prev->gc.gc_next = g;
    head->gc.gc_prev = g;
}

void ZvObject_GC_UnTrack(void *op)
{
    ZvGC_Head *g = _Zv_AS_GC(op);
    if (g->gc.gc_refs == _ZvGC_REFS_UNTRACKED) return;
    g->gc.gc_refs = _ZvGC_REFS_UNTRACKED;
    g->gc.gc_prev->gc.gc_next = g->gc.gc_next;
    g->gc.gc_next->gc.gc_prev = g->gc.gc_prev;
    g->gc.gc_next = nullptr;
}

void ZvObject_GC_Del(void *op)
{
    ZvGC_Head *g = _Zv_AS_GC(op);
    if (g->gc.gc_refs != _ZvGC_REFS_UNTRACKED) ZvObject_GC_UnTrack(op);
    if (generations[0].count > 0) generations[0].count--;
    ZvObject_Free(g);
}

/* The cycle detector arrives with the collector proper; until then nothing
 * is ever found unreachable. */
int ZvGC_Collect(void) { return 0; }

} // extern "C"
