/* Function objects, cells, and the classmethod and staticmethod wrappers. */
#ifndef ZVFUNCOBJECT_H
#define ZVFUNCOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    ZvObject *func_code;        /* code object (owned) */
    ZvObject *func_globals;     /* globals dictionary (owned) */
    ZvObject *func_defaults;    /* tuple of defaults for the last parameters, or NULL */
    ZvObject *func_closure;     /* tuple of cells, one per free variable, or NULL */
    ZvObject *func_doc;         /* docstring object, None when there is none */
    ZvObject *func_name;        /* string */
    ZvObject *func_dict;        /* attribute dictionary, made on first use, or NULL */
    ZvObject *func_weakreflist; /* weak references */
    ZvObject *func_module;      /* globals["__name__"] at creation, or NULL */
} ZvFunctionObject;

ZvAPI_DATA(ZvTypeObject) ZvFunction_Type;
#define ZvFunction_Check(op) (Zv_TYPE(op) == &ZvFunction_Type)

ZvAPI_FUNC(ZvObject *) ZvFunction_New(ZvObject *code, ZvObject *globals);
/* Borrowed field values; a non-function is a bad internal call. */
ZvAPI_FUNC(ZvObject *) ZvFunction_GetCode(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvFunction_GetGlobals(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvFunction_GetModule(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvFunction_GetDefaults(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvFunction_GetClosure(ZvObject *);
/* None stores NULL; otherwise a tuple.  0 or -1. */
ZvAPI_FUNC(int) ZvFunction_SetDefaults(ZvObject *, ZvObject *);
ZvAPI_FUNC(int) ZvFunction_SetClosure(ZvObject *, ZvObject *);

#define ZvFunction_GET_CODE(func) (((ZvFunctionObject *)(func))->func_code)
#define ZvFunction_GET_GLOBALS(func) (((ZvFunctionObject *)(func))->func_globals)
#define ZvFunction_GET_MODULE(func) (((ZvFunctionObject *)(func))->func_module)
#define ZvFunction_GET_DEFAULTS(func) (((ZvFunctionObject *)(func))->func_defaults)
#define ZvFunction_GET_CLOSURE(func) (((ZvFunctionObject *)(func))->func_closure)

/* classmethod and staticmethod. */
ZvAPI_DATA(ZvTypeObject) ZvClassMethod_Type;
ZvAPI_DATA(ZvTypeObject) ZvStaticMethod_Type;
ZvAPI_FUNC(ZvObject *) ZvClassMethod_New(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvStaticMethod_New(ZvObject *);

/* Cells: the shared variables of closures. */
typedef struct {
    ZvObject_HEAD
    ZvObject *ob_ref; /* content, or NULL when empty */
} ZvCellObject;

ZvAPI_DATA(ZvTypeObject) ZvCell_Type;
#define ZvCell_Check(op) (Zv_TYPE(op) == &ZvCell_Type)
ZvAPI_FUNC(ZvObject *) ZvCell_New(ZvObject *);
/* New reference to the content, NULL (no error) when empty. */
ZvAPI_FUNC(ZvObject *) ZvCell_Get(ZvObject *);
ZvAPI_FUNC(int) ZvCell_Set(ZvObject *, ZvObject *);
#define ZvCell_GET(op) (((ZvCellObject *)(op))->ob_ref)
#define ZvCell_SET(op, v) (((ZvCellObject *)(op))->ob_ref = (v))

ZV_END_DECLS

#endif /* ZVFUNCOBJECT_H */
