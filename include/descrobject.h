/* Descriptors: the objects that readying stores in a type's dictionary for
 * each native method, member, computed attribute and slot, plus the
 * read-only dictionary proxy, the method-wrapper and `property`.
 *
 * Every descriptor records the type that defined it (d_type, owned) and
 * its name (d_name, a string).  Member and getset descriptors are data
 * descriptors (they have a set slot) and so take precedence over an
 * instance dictionary; method and wrapper descriptors do not. */
#ifndef ZVDESCROBJECT_H
#define ZVDESCROBJECT_H

#include "object.h"
#include "methodobject.h"
#include "structmember.h"

ZV_BEGIN_DECLS

/* The adapter between a call of a slot's special method and the slot's own
 * signature: (self, args tuple, the wrapped slot function). */
typedef ZvObject *(*wrapperfunc)(ZvObject *self, ZvObject *args, void *wrapped);
/* The same for slots that take keyword arguments (__call__, __init__). */
typedef ZvObject *(*wrapperfunc_kwds)(ZvObject *self, ZvObject *args, void *wrapped,
                                      ZvObject *kwds);

/* One entry of the special-method slot table; also what a wrapper
 * descriptor refers to. */
struct wrapperbase {
    const char *name;       /* special method name */
    int offset;             /* byte offset of the slot in a heap-type record */
    void *function;         /* generic slot function for classes, or NULL */
    wrapperfunc wrapper;    /* or NULL: no descriptor is made */
    const char *doc;
    int flags;              /* ZvWrapperFlag_* */
    ZvObject *name_strobj;  /* interned name, filled on first use */
};

#define ZvWrapperFlag_KEYWORDS 1 /* the wrapper is a wrapperfunc_kwds */

#define ZvDescr_COMMON                                                        \
    ZvObject_HEAD                                                             \
    ZvTypeObject *d_type; /* the defining type, owned */                      \
    ZvObject *d_name      /* the attribute name, owned */

typedef struct {
    ZvDescr_COMMON;
} ZvDescrObject;

typedef struct {
    ZvDescr_COMMON;
    ZvMethodDef *d_method;
} ZvMethodDescrObject;

typedef struct {
    ZvDescr_COMMON;
    ZvMemberDef *d_member;
} ZvMemberDescrObject;

typedef struct {
    ZvDescr_COMMON;
    ZvGetSetDef *d_getset;
} ZvGetSetDescrObject;

typedef struct {
    ZvDescr_COMMON;
    struct wrapperbase *d_base;
    void *d_wrapped; /* the native slot function */
} ZvWrapperDescrObject;

ZvAPI_DATA(ZvTypeObject) ZvMethodDescr_Type;      /* "method_descriptor" */
ZvAPI_DATA(ZvTypeObject) ZvClassMethodDescr_Type; /* "classmethod_descriptor" */
ZvAPI_DATA(ZvTypeObject) ZvMemberDescr_Type;      /* "member_descriptor" */
ZvAPI_DATA(ZvTypeObject) ZvGetSetDescr_Type;      /* "getset_descriptor" */
ZvAPI_DATA(ZvTypeObject) ZvWrapperDescr_Type;     /* "wrapper_descriptor" */
ZvAPI_DATA(ZvTypeObject) ZvMethodWrapper_Type;    /* "method-wrapper" */
ZvAPI_DATA(ZvTypeObject) ZvDictProxy_Type;        /* "dictproxy" */
ZvAPI_DATA(ZvTypeObject) ZvProperty_Type;         /* "property" */

ZvAPI_FUNC(ZvObject *) ZvDescr_NewMethod(ZvTypeObject *, ZvMethodDef *);
ZvAPI_FUNC(ZvObject *) ZvDescr_NewClassMethod(ZvTypeObject *, ZvMethodDef *);
ZvAPI_FUNC(ZvObject *) ZvDescr_NewMember(ZvTypeObject *, ZvMemberDef *);
ZvAPI_FUNC(ZvObject *) ZvDescr_NewGetSet(ZvTypeObject *, ZvGetSetDef *);
ZvAPI_FUNC(ZvObject *) ZvDescr_NewWrapper(ZvTypeObject *, struct wrapperbase *, void *wrapped);

/* True for a data descriptor: its type has a set slot. */
#define ZvDescr_IsData(d) (Zv_TYPE(d)->tp_descr_set != NULL)

/* A read-only view of a mapping (a type's __dict__). */
ZvAPI_FUNC(ZvObject *) ZvDictProxy_New(ZvObject *mapping);
/* A wrapper descriptor bound to `self` (what int.__add__ gives for 1). */
ZvAPI_FUNC(ZvObject *) ZvWrapper_New(ZvObject *descr, ZvObject *self);

ZV_END_DECLS

#endif /* ZVDESCROBJECT_H */
