/* Object memory: the small-object allocator, object creation and the
 * collector header carried in front of every garbage-collected object. */
#ifndef ZVOBJIMPL_H
#define ZVOBJIMPL_H

#include "object.h"

ZV_BEGIN_DECLS

/* Raw memory (never NULL for a request of 0 bytes). */
ZvAPI_FUNC(void *) ZvMem_Malloc(size_t);
ZvAPI_FUNC(void *) ZvMem_Realloc(void *, size_t);
ZvAPI_FUNC(void) ZvMem_Free(void *);

/* The small-object allocator: requests up to 256 bytes come from pools. */
ZvAPI_FUNC(void *) ZvObject_Malloc(size_t);
ZvAPI_FUNC(void *) ZvObject_Realloc(void *, size_t);
ZvAPI_FUNC(void) ZvObject_Free(void *);

/* The pool allocator itself, whichever allocator the ZvObject_* front-ends
 * use in this build (the sanitizer build sends objects to the system
 * allocator).  Private hooks for the allocator's tests and benchmarks:
 * _ZvPool_Owns says whether an address lies in a pool (decided without
 * reading the address), _ZvPool_PoolOf gives the 4 KB pool holding an owned
 * block, _ZvPool_BlockSize its size class in bytes (0 when not owned),
 * _ZvPool_BlocksInUse the number of allocated blocks in that pool,
 * _ZvPool_FreePoolCount the length of the empty-pool list, and
 * _ZvPool_ArenaCount / _ZvPool_ArenaBase the arenas taken so far. */
ZvAPI_FUNC(void *) _ZvPool_Malloc(size_t);
ZvAPI_FUNC(void *) _ZvPool_Realloc(void *, size_t);
ZvAPI_FUNC(void) _ZvPool_Free(void *);
ZvAPI_FUNC(int) _ZvPool_Owns(const void *);
ZvAPI_FUNC(void *) _ZvPool_PoolOf(const void *);
ZvAPI_FUNC(int) _ZvPool_BlockSize(const void *);
ZvAPI_FUNC(int) _ZvPool_BlocksInUse(const void *);
ZvAPI_FUNC(int) _ZvPool_FreePoolCount(void);
ZvAPI_FUNC(int) _ZvPool_ArenaCount(void);
ZvAPI_FUNC(void *) _ZvPool_ArenaBase(int);

/* Allocation-failure injection, for tests only.  After _ZvMem_FailNth(n)
 * with n >= 1, the n-th request from then on to ZvObject_Malloc,
 * ZvObject_Realloc, ZvMem_Malloc or ZvMem_Realloc returns NULL as if memory
 * had run out (a failed reallocation leaves its block as it was); every
 * other request is served.  0 disarms.  _ZvMem_FailPending gives the number
 * of requests still to come before the failure: 0 once it has happened, or
 * when nothing is armed. */
ZvAPI_FUNC(void) _ZvMem_FailNth(int n);
ZvAPI_FUNC(int) _ZvMem_FailPending(void);

/* Object creation (memory is not cleared). */
ZvAPI_FUNC(ZvObject *) ZvObject_Init(ZvObject *, ZvTypeObject *);
ZvAPI_FUNC(ZvVarObject *) ZvObject_InitVar(ZvVarObject *, ZvTypeObject *, int);
/* ZvObject_Init for memory known to be there, inline: the type and a
 * reference count of one (for the free lists of the hottest types). */
#define _ZvObject_INIT(op, tp) ((op)->ob_type = (tp), (op)->ob_refcnt = 1)
ZvAPI_FUNC(ZvObject *) _ZvObject_New(ZvTypeObject *);
ZvAPI_FUNC(ZvVarObject *) _ZvObject_NewVar(ZvTypeObject *, int);
ZvAPI_FUNC(void) _ZvObject_Del(ZvObject *);

#define ZvObject_New(type, typeobj) ((type *)_ZvObject_New(typeobj))
#define ZvObject_NewVar(type, typeobj, n) ((type *)_ZvObject_NewVar((typeobj), (n)))
#define ZvObject_Del(op) _ZvObject_Del((ZvObject *)(op))

/* Size of a variable-size object of n items, rounded up to a multiple of
 * the pointer size.  Callers check n against overflow first. */
#define _ZvObject_VAR_SIZE(typeobj, n)                                        \
    (((size_t)(typeobj)->tp_basicsize + (size_t)(n) * (size_t)(typeobj)->tp_itemsize + \
      (sizeof(void *) - 1)) & ~(sizeof(void *) - 1))

/* The collector header, in front of every object of a type with
 * Zv_TPFLAGS_HAVE_GC.  Its size is a multiple of 8 and its alignment 8:
 * the object after it must be as aligned as any object (pointers, doubles
 * and 64-bit integers), and no stricter, because the small-object
 * allocator hands out 8-byte aligned blocks.  (A long double member would
 * demand 16 and make every pooled collected object misaligned.)
 *
 * While an object is untracked its gc_prev word is free: the trashcan uses
 * it to chain objects whose deallocation it postponed. */
typedef union _gc_head {
    struct {
        union _gc_head *gc_next;
        union _gc_head *gc_prev;
        int32_t gc_refs;
    } gc;
    double dummy; /* fixes the alignment at 8 */
} ZvGC_Head;

/* gc_refs outside a collection: not in any list, or tracked.  During a
 * collection a value of 0 or more counts references from outside the
 * examined generations. */
#define _ZvGC_REFS_UNTRACKED (-2)
#define _ZvGC_REFS_REACHABLE (-3)
#define _ZvGC_REFS_TENTATIVELY_UNREACHABLE (-4)
#define _ZvGC_IS_TRACKED(o) (_Zv_AS_GC(o)->gc.gc_refs != _ZvGC_REFS_UNTRACKED)
#define _Zv_AS_GC(o) ((ZvGC_Head *)(o) - 1)
#define _Zv_FROM_GC(g) ((ZvObject *)(((ZvGC_Head *)(g)) + 1))

#define ZvObject_IS_GC(o)                                                     \
    (ZvType_HasFeature(Zv_TYPE(o), Zv_TPFLAGS_HAVE_GC) &&                     \
     (Zv_TYPE(o)->tp_is_gc == NULL || Zv_TYPE(o)->tp_is_gc(o)))

/* Head of generation 0, where newly tracked objects are appended. */
ZvAPI_DATA(ZvGC_Head *) _ZvGC_generation0;

ZvAPI_FUNC(ZvObject *) _ZvObject_GC_Malloc(size_t);
ZvAPI_FUNC(ZvObject *) _ZvObject_GC_New(ZvTypeObject *);
ZvAPI_FUNC(ZvVarObject *) _ZvObject_GC_NewVar(ZvTypeObject *, int);
ZvAPI_FUNC(ZvVarObject *) _ZvObject_GC_Resize(ZvVarObject *, int);
ZvAPI_FUNC(void) ZvObject_GC_Track(void *);
ZvAPI_FUNC(void) ZvObject_GC_UnTrack(void *);
ZvAPI_FUNC(void) ZvObject_GC_Del(void *);
/* A full collection, unless one is running (then 0); returns the number
 * of unreachable objects found.  A pending error is kept. */
ZvAPI_FUNC(int) ZvGC_Collect(void);
/* Prints the object behind a collector header (for debuggers). */
ZvAPI_FUNC(void) _ZvGC_Dump(ZvGC_Head *);
/* Creates the `gc` module (the import system's built-in table calls it). */
ZvAPI_FUNC(void) initgc(void);

#define ZvObject_GC_New(type, typeobj) ((type *)_ZvObject_GC_New(typeobj))
#define ZvObject_GC_NewVar(type, typeobj, n) ((type *)_ZvObject_GC_NewVar((typeobj), (n)))
#define ZvObject_GC_Resize(type, op, n) ((type *)_ZvObject_GC_Resize((ZvVarObject *)(op), (n)))

/* ZvObject_GC_Track and ZvObject_GC_UnTrack inline, for the library's own
 * hottest paths (frames): the object must not be tracked (untracked) yet. */
#define _ZvObject_GC_TRACK(o)                                                 \
    do {                                                                      \
        ZvGC_Head *g_ = _Zv_AS_GC(o);                                         \
        g_->gc.gc_refs = _ZvGC_REFS_REACHABLE;                                \
        g_->gc.gc_next = _ZvGC_generation0;                                   \
        g_->gc.gc_prev = _ZvGC_generation0->gc.gc_prev;                       \
        g_->gc.gc_prev->gc.gc_next = g_;                                      \
        _ZvGC_generation0->gc.gc_prev = g_;                                   \
    } while (0)
#define _ZvObject_GC_UNTRACK(o)                                               \
    do {                                                                      \
        ZvGC_Head *g_ = _Zv_AS_GC(o);                                         \
        g_->gc.gc_prev->gc.gc_next = g_->gc.gc_next;                          \
        g_->gc.gc_next->gc.gc_prev = g_->gc.gc_prev;                          \
        g_->gc.gc_refs = _ZvGC_REFS_UNTRACKED;                                \
        g_->gc.gc_next = NULL;                                                \
    } while (0)

/* Visit one reference from a tp_traverse function. */
#define Zv_VISIT(op)                                                          \
    do {                                                                      \
        if (op) {                                                             \
            int vret = visit((ZvObject *)(op), arg);                          \
            if (vret) return vret;                                            \
        }                                                                     \
    } while (0)

ZV_END_DECLS

#endif /* ZVOBJIMPL_H */
