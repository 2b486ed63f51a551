/* The object header, the type record with its slot tables, reference
 * counting and the generic object protocol.
 *
 * Every object starts with ZvObject_HEAD: a signed 32-bit reference count
 * and a pointer to its type.  Variable-size objects add ob_size.  A type is
 * itself an object whose slots (function pointers, NULL = not provided)
 * implement the behaviour of its instances.  Flag bits announce the later
 * generations of slots; code reads such slots only when the bit is set. */
#ifndef ZVOBJECT_H
#define ZVOBJECT_H

#include "zvport.h"

ZV_BEGIN_DECLS

#define ZvObject_HEAD                                                         \
    int32_t ob_refcnt;                                                        \
    struct _typeobject *ob_type;

#define ZvObject_HEAD_INIT(type) 1, type,

#define ZvObject_VAR_HEAD                                                     \
    ZvObject_HEAD                                                             \
    int32_t ob_size; /* number of items in the variable part */

typedef struct _object {
    ZvObject_HEAD
} ZvObject;

typedef struct {
    ZvObject_VAR_HEAD
} ZvVarObject;

/* Slot function types.  All integers are signed 32-bit. */
typedef ZvObject *(*unaryfunc)(ZvObject *);
typedef ZvObject *(*binaryfunc)(ZvObject *, ZvObject *);
typedef ZvObject *(*ternaryfunc)(ZvObject *, ZvObject *, ZvObject *);
typedef int (*inquiry)(ZvObject *);
typedef int (*coercion)(ZvObject **, ZvObject **);
typedef ZvObject *(*intargfunc)(ZvObject *, int);
typedef ZvObject *(*intintargfunc)(ZvObject *, int, int);
typedef int (*intobjargproc)(ZvObject *, int, ZvObject *);
typedef int (*intintobjargproc)(ZvObject *, int, int, ZvObject *);
typedef int (*objobjargproc)(ZvObject *, ZvObject *, ZvObject *);
typedef int (*getreadbufferproc)(ZvObject *, int, void **);
typedef int (*getwritebufferproc)(ZvObject *, int, void **);
typedef int (*getsegcountproc)(ZvObject *, int *);
typedef int (*getcharbufferproc)(ZvObject *, int, const char **);
typedef int (*objobjproc)(ZvObject *, ZvObject *);
typedef int (*visitproc)(ZvObject *, void *);
typedef int (*traverseproc)(ZvObject *, visitproc, void *);

typedef struct {
    binaryfunc nb_add;
    binaryfunc nb_subtract;
    binaryfunc nb_multiply;
    binaryfunc nb_divide;
    binaryfunc nb_remainder;
    binaryfunc nb_divmod;
    ternaryfunc nb_power;
    unaryfunc nb_negative;
    unaryfunc nb_positive;
    unaryfunc nb_absolute;
    inquiry nb_nonzero;
    unaryfunc nb_invert;
    binaryfunc nb_lshift;
    binaryfunc nb_rshift;
    binaryfunc nb_and;
    binaryfunc nb_xor;
    binaryfunc nb_or;
    coercion nb_coerce;
    unaryfunc nb_int;
    unaryfunc nb_long;
    unaryfunc nb_float;
    unaryfunc nb_oct;
    unaryfunc nb_hex;
    /* Read only under Zv_TPFLAGS_HAVE_INPLACEOPS. */
    binaryfunc nb_inplace_add;
    binaryfunc nb_inplace_subtract;
    binaryfunc nb_inplace_multiply;
    binaryfunc nb_inplace_divide;
    binaryfunc nb_inplace_remainder;
    ternaryfunc nb_inplace_power;
    binaryfunc nb_inplace_lshift;
    binaryfunc nb_inplace_rshift;
    binaryfunc nb_inplace_and;
    binaryfunc nb_inplace_xor;
    binaryfunc nb_inplace_or;
    binaryfunc nb_floor_divide;
    binaryfunc nb_true_divide;
    binaryfunc nb_inplace_floor_divide;
    binaryfunc nb_inplace_true_divide;
} ZvNumberMethods;

typedef struct {
    inquiry sq_length;
    binaryfunc sq_concat;
    intargfunc sq_repeat;
    intargfunc sq_item;
    intintargfunc sq_slice;
    intobjargproc sq_ass_item;
    intintobjargproc sq_ass_slice;
    objobjproc sq_contains; /* under Zv_TPFLAGS_HAVE_SEQUENCE_IN */
    binaryfunc sq_inplace_concat; /* under Zv_TPFLAGS_HAVE_INPLACEOPS */
    intargfunc sq_inplace_repeat;
} ZvSequenceMethods;

typedef struct {
    inquiry mp_length;
    binaryfunc mp_subscript;
    objobjargproc mp_ass_subscript; /* value NULL = delete */
} ZvMappingMethods;

typedef struct {
    getreadbufferproc bf_getreadbuffer;
    getwritebufferproc bf_getwritebuffer;
    getsegcountproc bf_getsegcount;
    getcharbufferproc bf_getcharbuffer; /* under Zv_TPFLAGS_HAVE_GETCHARBUFFER */
} ZvBufferProcs;

typedef void (*freefunc)(void *);
typedef void (*destructor)(ZvObject *);
typedef int (*printfunc)(ZvObject *, FILE *, int);
typedef ZvObject *(*getattrfunc)(ZvObject *, char *);
typedef ZvObject *(*getattrofunc)(ZvObject *, ZvObject *);
typedef int (*setattrfunc)(ZvObject *, char *, ZvObject *);
typedef int (*setattrofunc)(ZvObject *, ZvObject *, ZvObject *);
typedef int (*cmpfunc)(ZvObject *, ZvObject *);
typedef ZvObject *(*reprfunc)(ZvObject *);
typedef Zv_hash_t (*hashfunc)(ZvObject *);
typedef ZvObject *(*richcmpfunc)(ZvObject *, ZvObject *, int);
typedef ZvObject *(*getiterfunc)(ZvObject *);
typedef ZvObject *(*iternextfunc)(ZvObject *);
typedef ZvObject *(*descrgetfunc)(ZvObject *, ZvObject *, ZvObject *);
typedef int (*descrsetfunc)(ZvObject *, ZvObject *, ZvObject *);
typedef int (*initproc)(ZvObject *, ZvObject *, ZvObject *);
typedef ZvObject *(*newfunc)(struct _typeobject *, ZvObject *, ZvObject *);
typedef ZvObject *(*allocfunc)(struct _typeobject *, int);

struct ZvMethodDef;
struct ZvMemberDef;
struct ZvGetSetDef;

typedef struct _typeobject {
    ZvObject_VAR_HEAD
    const char *tp_name; /* "module.name" for types defined by a module */
    int32_t tp_basicsize, tp_itemsize;

    destructor tp_dealloc;
    printfunc tp_print;
    getattrfunc tp_getattr;
    setattrfunc tp_setattr;
    cmpfunc tp_compare;
    reprfunc tp_repr;

    ZvNumberMethods *tp_as_number;
    ZvSequenceMethods *tp_as_sequence;
    ZvMappingMethods *tp_as_mapping;

    hashfunc tp_hash;
    ternaryfunc tp_call;
    reprfunc tp_str;
    getattrofunc tp_getattro;
    setattrofunc tp_setattro;

    ZvBufferProcs *tp_as_buffer;

    int32_t tp_flags;

    const char *tp_doc;

    traverseproc tp_traverse;
    inquiry tp_clear;
    richcmpfunc tp_richcompare;
    int32_t tp_weaklistoffset;

    getiterfunc tp_iter;
    iternextfunc tp_iternext;

    /* Present under Zv_TPFLAGS_HAVE_CLASS. */
    struct ZvMethodDef *tp_methods;
    struct ZvMemberDef *tp_members;
    struct ZvGetSetDef *tp_getset;
    struct _typeobject *tp_base;
    ZvObject *tp_dict;
    descrgetfunc tp_descr_get;
    descrsetfunc tp_descr_set;
    int32_t tp_dictoffset;
    initproc tp_init;
    allocfunc tp_alloc;
    newfunc tp_new;
    freefunc tp_free;
    inquiry tp_is_gc;
    ZvObject *tp_bases;
    ZvObject *tp_mro;
    ZvObject *tp_cache;
    ZvObject *tp_subclasses;
    ZvObject *tp_weaklist;
    destructor tp_del;
} ZvTypeObject;

/* Type flags. */
#define Zv_TPFLAGS_HAVE_GETCHARBUFFER (1L << 0)
#define Zv_TPFLAGS_HAVE_SEQUENCE_IN (1L << 1)
#define Zv_TPFLAGS_HAVE_INPLACEOPS (1L << 3)
#define Zv_TPFLAGS_CHECKTYPES (1L << 4)
#define Zv_TPFLAGS_HAVE_RICHCOMPARE (1L << 5)
#define Zv_TPFLAGS_HAVE_WEAKREFS (1L << 6)
#define Zv_TPFLAGS_HAVE_ITER (1L << 7)
#define Zv_TPFLAGS_HAVE_CLASS (1L << 8)
#define Zv_TPFLAGS_HEAPTYPE (1L << 9)
#define Zv_TPFLAGS_BASETYPE (1L << 10)
#define Zv_TPFLAGS_READY (1L << 12)
#define Zv_TPFLAGS_READYING (1L << 13)
#define Zv_TPFLAGS_HAVE_GC (1L << 14)
#define Zv_TPFLAGS_DEFAULT                                                    \
    (Zv_TPFLAGS_HAVE_GETCHARBUFFER | Zv_TPFLAGS_HAVE_SEQUENCE_IN |            \
     Zv_TPFLAGS_HAVE_INPLACEOPS | Zv_TPFLAGS_HAVE_RICHCOMPARE |               \
     Zv_TPFLAGS_HAVE_WEAKREFS | Zv_TPFLAGS_HAVE_ITER | Zv_TPFLAGS_HAVE_CLASS)

#define ZvType_HasFeature(t, f) (((t)->tp_flags & (f)) != 0)

/* Field access. */
#define Zv_REFCNT(ob) (((ZvObject *)(ob))->ob_refcnt)
#define Zv_TYPE(ob) (((ZvObject *)(ob))->ob_type)
#define Zv_SIZE(ob) (((ZvVarObject *)(ob))->ob_size)

/* Reference counting.  Counts are plain integers: the interpreter lock
 * serialises every access. */
#define Zv_INCREF(op) ((void)(((ZvObject *)(op))->ob_refcnt++))
#define Zv_DECREF(op)                                                         \
    do {                                                                      \
        ZvObject *_zv_decref_tmp = (ZvObject *)(op);                          \
        if (--_zv_decref_tmp->ob_refcnt == 0)                                 \
            (*_zv_decref_tmp->ob_type->tp_dealloc)(_zv_decref_tmp);           \
    } while (0)
#define Zv_XINCREF(op)                                                        \
    do {                                                                      \
        ZvObject *_zv_xincref_tmp = (ZvObject *)(op);                         \
        if (_zv_xincref_tmp != NULL) Zv_INCREF(_zv_xincref_tmp);              \
    } while (0)
#define Zv_XDECREF(op)                                                        \
    do {                                                                      \
        ZvObject *_zv_xdecref_tmp = (ZvObject *)(op);                         \
        if (_zv_xdecref_tmp != NULL) Zv_DECREF(_zv_xdecref_tmp);              \
    } while (0)
/* Release and set the variable to NULL before the release runs, so that a
 * destructor re-entering the owner never sees a dangling pointer. */
#define Zv_CLEAR(op)                                                          \
    do {                                                                      \
        if (op) {                                                             \
            ZvObject *_zv_clear_tmp = (ZvObject *)(op);                       \
            (op) = NULL;                                                      \
            Zv_DECREF(_zv_clear_tmp);                                         \
        }                                                                     \
    } while (0)

ZvAPI_FUNC(void) Zv_IncRef(ZvObject *);
ZvAPI_FUNC(void) Zv_DecRef(ZvObject *);

/* Singletons. */
ZvAPI_DATA(ZvObject) _Zv_NoneStruct;
ZvAPI_DATA(ZvObject) _Zv_NotImplementedStruct;
ZvAPI_DATA(ZvTypeObject) ZvNone_Type;
ZvAPI_DATA(ZvTypeObject) ZvNotImplemented_Type;
#define Zv_None (&_Zv_NoneStruct)
#define Zv_NotImplemented (&_Zv_NotImplementedStruct)
#define Zv_RETURN_NONE return Zv_INCREF(Zv_None), Zv_None
#define Zv_RETURN_NOTIMPLEMENTED return Zv_INCREF(Zv_NotImplemented), Zv_NotImplemented

ZvAPI_DATA(ZvTypeObject) ZvType_Type;     /* "type" */
ZvAPI_DATA(ZvTypeObject) ZvBaseObject_Type; /* "object" */
ZvAPI_DATA(ZvTypeObject) ZvSuper_Type;

#define ZvType_Check(op) ZvType_IsSubtype(Zv_TYPE(op), &ZvType_Type)
#define ZvType_CheckExact(op) (Zv_TYPE(op) == &ZvType_Type)
#define ZvObject_TypeCheck(ob, tp) (Zv_TYPE(ob) == (tp) || ZvType_IsSubtype(Zv_TYPE(ob), (tp)))

ZvAPI_FUNC(int) ZvType_IsSubtype(ZvTypeObject *, ZvTypeObject *);
ZvAPI_FUNC(int) ZvType_Ready(ZvTypeObject *);
ZvAPI_FUNC(ZvObject *) ZvType_GenericAlloc(ZvTypeObject *, int);
ZvAPI_FUNC(ZvObject *) ZvType_GenericNew(ZvTypeObject *, ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject *) _ZvType_Lookup(ZvTypeObject *, ZvObject *);

/* Rich comparison operators. */
#define Zv_LT 0
#define Zv_LE 1
#define Zv_EQ 2
#define Zv_NE 3
#define Zv_GT 4
#define Zv_GE 5
ZvAPI_DATA(int) _Zv_SwappedOp[];

#define Zv_PRINT_RAW 1 /* print the str() form, not repr() */

/* Generic object protocol. */
ZvAPI_FUNC(int) ZvObject_Print(ZvObject *, FILE *, int);
ZvAPI_FUNC(void) _ZvObject_Dump(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvObject_Repr(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvObject_Str(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvObject_Unicode(ZvObject *);
ZvAPI_FUNC(int) ZvObject_Compare(ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvObject_RichCompare(ZvObject *, ZvObject *, int);
ZvAPI_FUNC(int) ZvObject_RichCompareBool(ZvObject *, ZvObject *, int);
ZvAPI_FUNC(ZvObject *) ZvObject_GetAttrString(ZvObject *, const char *);
ZvAPI_FUNC(int) ZvObject_SetAttrString(ZvObject *, const char *, ZvObject *);
ZvAPI_FUNC(int) ZvObject_HasAttrString(ZvObject *, const char *);
ZvAPI_FUNC(ZvObject *) ZvObject_GetAttr(ZvObject *, ZvObject *);
ZvAPI_FUNC(int) ZvObject_SetAttr(ZvObject *, ZvObject *, ZvObject *);
ZvAPI_FUNC(int) ZvObject_HasAttr(ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject **) _ZvObject_GetDictPtr(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvObject_SelfIter(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvObject_GenericGetAttr(ZvObject *, ZvObject *);
ZvAPI_FUNC(int) ZvObject_GenericSetAttr(ZvObject *, ZvObject *, ZvObject *);
/* The three-way compare slot of classes that define __cmp__; three-way
 * comparison calls it when either operand's type has it. */
ZvAPI_FUNC(int) _ZvObject_SlotCompare(ZvObject *, ZvObject *);
ZvAPI_FUNC(Zv_hash_t) ZvObject_Hash(ZvObject *);
ZvAPI_FUNC(int) ZvObject_IsTrue(ZvObject *);
ZvAPI_FUNC(int) ZvObject_Not(ZvObject *);
ZvAPI_FUNC(int) ZvCallable_Check(ZvObject *);
ZvAPI_FUNC(int) ZvNumber_Coerce(ZvObject **, ZvObject **);
ZvAPI_FUNC(int) ZvNumber_CoerceEx(ZvObject **, ZvObject **);
ZvAPI_FUNC(ZvObject *) ZvObject_Dir(ZvObject *);
ZvAPI_FUNC(int) Zv_ReprEnter(ZvObject *);
ZvAPI_FUNC(void) Zv_ReprLeave(ZvObject *);
ZvAPI_FUNC(Zv_hash_t) _Zv_HashDouble(double);
ZvAPI_FUNC(Zv_hash_t) _Zv_HashPointer(void *);
ZvAPI_FUNC(void) _Zv_ReadyTypes(void);

/* Bounded-depth deallocation ("trashcan").  The deallocator of every type
 * whose instances can hold an arbitrary object (containers, but also
 * slices, iterators, bound methods, properties, super) wraps its body in
 * ZvTrash_BEGIN/ZvTrash_END; past ZvTrash_UNWIND_LEVEL nested levels the
 * object is parked on a list and destroyed once the outermost deallocation
 * unwinds.  Parking uses the collector header, so such types have one.  A
 * deallocator that calls another guarded one for the same object (a
 * subclass instance's, calling its base's) lowers the depth around that
 * call, so that the object is never parked half destroyed. */
#define ZvTrash_UNWIND_LEVEL 50
ZvAPI_DATA(int) _ZvTrash_delete_nesting;
ZvAPI_DATA(ZvObject *) _ZvTrash_delete_later;
ZvAPI_FUNC(void) _ZvTrash_deposit_object(ZvObject *);
ZvAPI_FUNC(void) _ZvTrash_destroy_chain(void);

#define ZvTrash_BEGIN(op)                                                     \
    if (_ZvTrash_delete_nesting < ZvTrash_UNWIND_LEVEL) {                     \
        ++_ZvTrash_delete_nesting;
#define ZvTrash_END(op)                                                       \
        --_ZvTrash_delete_nesting;                                            \
        if (_ZvTrash_delete_later && _ZvTrash_delete_nesting <= 0)            \
            _ZvTrash_destroy_chain();                                         \
    } else                                                                    \
        _ZvTrash_deposit_object((ZvObject *)(op));

ZV_END_DECLS

#endif /* ZVOBJECT_H */
