/* Allocation of collected objects.
 *
 * Every object of a type with Zv_TPFLAGS_HAVE_GC carries a ZvGC_Head in
 * front of it.  Tracked objects sit on the generation-0 list; the cycle
 * detector that walks these lists builds on this. */
#include "zuvo.h"

extern "C" {

/* The generation-0 list head: a circular doubly linked list. */
static ZvGC_Head generation0 = {{&generation0, &generation0, 0}};

ZvObject *_ZvObject_GC_Malloc(size_t basicsize)
{
    auto *g = (ZvGC_Head *)ZvObject_Malloc(sizeof(ZvGC_Head) + basicsize);
    if (g == nullptr) return ZvErr_NoMemory();
    g->gc.gc_next = nullptr;
    g->gc.gc_prev = nullptr;
    g->gc.gc_refs = _ZvGC_REFS_UNTRACKED;
    return _Zv_FROM_GC(g);
}

ZvObject *_ZvObject_GC_New(ZvTypeObject *tp)
{
    ZvObject *op = _ZvObject_GC_Malloc((size_t)tp->tp_basicsize);
    return op ? ZvObject_Init(op, tp) : nullptr;
}

ZvVarObject *_ZvObject_GC_NewVar(ZvTypeObject *tp, int nitems)
{
    if (nitems < 0 || (tp->tp_itemsize &&
                       (size_t)nitems > (INT32_MAX - (size_t)tp->tp_basicsize) /
                                            (size_t)tp->tp_itemsize))
        return (ZvVarObject *)ZvErr_NoMemory();
    ZvObject *op = _ZvObject_GC_Malloc(_ZvObject_VAR_SIZE(tp, nitems));
    return op ? ZvObject_InitVar((ZvVarObject *)op, tp, nitems) : nullptr;
}

ZvVarObject *_ZvObject_GC_Resize(ZvVarObject *op, int nitems)
{
    ZvTypeObject *tp = Zv_TYPE(op);
    if (nitems < 0) return (ZvVarObject *)ZvErr_NoMemory();
    size_t size = _ZvObject_VAR_SIZE(tp, nitems);
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
    g->gc.gc_refs = -3; /* reachable */
    g->gc.gc_next = &generation0;
    g->gc.gc_prev = generation0.gc.gc_prev;
    g->gc.gc_prev->gc.gc_next = g;
    generation0.gc.gc_prev = g;
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
    ZvObject_Free(g);
}

int ZvGC_Collect(void) { return 0; }

} // extern "C"
