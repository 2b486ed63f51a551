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

/* Object creation (memory is not cleared). */
ZvAPI_FUNC(ZvObject *) ZvObject_Init(ZvObject *, ZvTypeObject *);
ZvAPI_FUNC(ZvVarObject *) ZvObject_InitVar(ZvVarObject *, ZvTypeObject *, int);
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
 * Zv_TPFLAGS_HAVE_GC. */
typedef union _gc_head {
    struct {
        union _gc_head *gc_next;
        union _gc_head *gc_prev;
        int32_t gc_refs;
    } gc;
    long double dummy; /* force the strictest alignment */
} ZvGC_Head;

#define _ZvGC_REFS_UNTRACKED (-2)
#define _Zv_AS_GC(o) ((ZvGC_Head *)(o) - 1)
#define _Zv_FROM_GC(g) ((ZvObject *)(((ZvGC_Head *)(g)) + 1))

#define ZvObject_IS_GC(o)                                                     \
    (ZvType_HasFeature(Zv_TYPE(o), Zv_TPFLAGS_HAVE_GC) &&                     \
     (Zv_TYPE(o)->tp_is_gc == NULL || Zv_TYPE(o)->tp_is_gc(o)))

ZvAPI_FUNC(ZvObject *) _ZvObject_GC_Malloc(size_t);
ZvAPI_FUNC(ZvObject *) _ZvObject_GC_New(ZvTypeObject *);
ZvAPI_FUNC(ZvVarObject *) _ZvObject_GC_NewVar(ZvTypeObject *, int);
ZvAPI_FUNC(ZvVarObject *) _ZvObject_GC_Resize(ZvVarObject *, int);
ZvAPI_FUNC(void) ZvObject_GC_Track(void *);
ZvAPI_FUNC(void) ZvObject_GC_UnTrack(void *);
ZvAPI_FUNC(void) ZvObject_GC_Del(void *);
ZvAPI_FUNC(int) ZvGC_Collect(void);

#define ZvObject_GC_New(type, typeobj) ((type *)_ZvObject_GC_New(typeobj))
#define ZvObject_GC_NewVar(type, typeobj, n) ((type *)_ZvObject_GC_NewVar((typeobj), (n)))
#define ZvObject_GC_Resize(type, op, n) ((type *)_ZvObject_GC_Resize((ZvVarObject *)(op), (n)))

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
