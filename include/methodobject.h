/* Static method tables and the built-in function object.
 *
 * A type or module lists its native methods in a ZvMethodDef table; a
 * built-in function object pairs one entry with an optional bound `self`
 * (and the name of its module) and applies the entry's calling convention
 * when called. */
#ifndef ZVMETHODOBJECT_H
#define ZVMETHODOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef ZvObject *(*ZvCFunction)(ZvObject *, ZvObject *);
typedef ZvObject *(*ZvCFunctionWithKeywords)(ZvObject *, ZvObject *, ZvObject *);
typedef ZvObject *(*ZvNoArgsFunction)(ZvObject *);

struct ZvMethodDef {
    const char *ml_name; /* NULL ends a table */
    ZvCFunction ml_meth; /* cast to the convention's signature */
    int ml_flags;        /* METH_* */
    const char *ml_doc;  /* or NULL */
};
typedef struct ZvMethodDef ZvMethodDef;

/* Calling conventions (one of the first five), plus binding flags that
 * only mean something inside a type's table. */
#define METH_OLDARGS 0x0000
#define METH_VARARGS 0x0001
#define METH_KEYWORDS 0x0002
#define METH_NOARGS 0x0004
#define METH_O 0x0008
#define METH_CLASS 0x0010
#define METH_STATIC 0x0020
#define METH_COEXIST 0x0040

/* A built-in function: a table entry, the object it is bound to (NULL for
 * a plain function) and the name of the module that defined it. */
typedef struct {
    ZvObject_HEAD
    ZvMethodDef *m_ml;   /* not owned: tables are static */
    ZvObject *m_self;    /* owned, or NULL */
    ZvObject *m_module;  /* owned, or NULL */
} ZvCFunctionObject;

ZvAPI_DATA(ZvTypeObject) ZvCFunction_Type; /* "builtin_function_or_method" */

#define ZvCFunction_Check(op) (Zv_TYPE(op) == &ZvCFunction_Type)
#define ZvCFunction_GET_FUNCTION(op) (((ZvCFunctionObject *)(op))->m_ml->ml_meth)
#define ZvCFunction_GET_SELF(op) (((ZvCFunctionObject *)(op))->m_self)
#define ZvCFunction_GET_FLAGS(op) (((ZvCFunctionObject *)(op))->m_ml->ml_flags)

ZvAPI_FUNC(ZvObject *) ZvCFunction_NewEx(ZvMethodDef *, ZvObject *self, ZvObject *module);
#define ZvCFunction_New(ml, self) ZvCFunction_NewEx((ml), (self), NULL)
ZvAPI_FUNC(ZvObject *) ZvCFunction_Call(ZvObject *func, ZvObject *args, ZvObject *kwds);
/* Each of these is a bad internal call for anything but a built-in function. */
ZvAPI_FUNC(ZvCFunction) ZvCFunction_GetFunction(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvCFunction_GetSelf(ZvObject *);   /* borrowed */
ZvAPI_FUNC(int) ZvCFunction_GetFlags(ZvObject *);
/* Frees the records kept for reuse; called at shut-down. */
ZvAPI_FUNC(void) ZvCFunction_Fini(void);

/* Old-style attribute lookup for types that implement tp_getattr
 * themselves: a chain of method tables searched in order. */
typedef struct ZvMethodChain {
    ZvMethodDef *methods;
    struct ZvMethodChain *link; /* next table, or NULL */
} ZvMethodChain;

/* A bound built-in function for `name`, or NULL with AttributeError.
 * "__methods__" lists the chain's names, "__doc__" gives the type's doc. */
ZvAPI_FUNC(ZvObject *) Zv_FindMethodInChain(ZvMethodChain *, ZvObject *self, const char *name);
ZvAPI_FUNC(ZvObject *) Zv_FindMethod(ZvMethodDef *, ZvObject *self, const char *name);

ZV_END_DECLS

#endif /* ZVMETHODOBJECT_H */
