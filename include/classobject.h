/* Classic classes, their instances, and method objects (bound and
 * unbound). */
#ifndef ZVCLASSOBJECT_H
#define ZVCLASSOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    ZvObject *cl_bases;   /* tuple of base classes (owned) */
    ZvObject *cl_dict;    /* class dictionary (owned) */
    ZvObject *cl_name;    /* string (owned) */
    ZvObject *cl_getattr; /* cached hooks found by class lookup, or NULL (owned) */
    ZvObject *cl_setattr;
    ZvObject *cl_delattr;
} ZvClassObject;

typedef struct {
    ZvObject_HEAD
    ZvClassObject *in_class; /* owned */
    ZvObject *in_dict;       /* owned */
    ZvObject *in_weakreflist;
} ZvInstanceObject;

typedef struct {
    ZvObject_HEAD
    ZvObject *im_func;  /* the callable (owned) */
    ZvObject *im_self;  /* the instance, or NULL when unbound (owned) */
    ZvObject *im_class; /* the class, or NULL (owned) */
    ZvObject *im_weakreflist;
} ZvMethodObject;

ZvAPI_DATA(ZvTypeObject) ZvClass_Type;
ZvAPI_DATA(ZvTypeObject) ZvInstance_Type;
ZvAPI_DATA(ZvTypeObject) ZvMethod_Type;

#define ZvClass_Check(op) (Zv_TYPE(op) == &ZvClass_Type)
#define ZvInstance_Check(op) (Zv_TYPE(op) == &ZvInstance_Type)
#define ZvMethod_Check(op) (Zv_TYPE(op) == &ZvMethod_Type)

ZvAPI_FUNC(ZvObject *) ZvClass_New(ZvObject *bases, ZvObject *dict, ZvObject *name);
ZvAPI_FUNC(ZvObject *) ZvInstance_New(ZvObject *klass, ZvObject *args, ZvObject *kw);
ZvAPI_FUNC(ZvObject *) ZvInstance_NewRaw(ZvObject *klass, ZvObject *dict);
ZvAPI_FUNC(ZvObject *) ZvMethod_New(ZvObject *func, ZvObject *self, ZvObject *klass);

/* Borrowed fields; a non-method is a bad internal call. */
ZvAPI_FUNC(ZvObject *) ZvMethod_Function(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvMethod_Self(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvMethod_Class(ZvObject *);

#define ZvMethod_GET_FUNCTION(meth) (((ZvMethodObject *)(meth))->im_func)
#define ZvMethod_GET_SELF(meth) (((ZvMethodObject *)(meth))->im_self)
#define ZvMethod_GET_CLASS(meth) (((ZvMethodObject *)(meth))->im_class)

/* 1 if klass is base or derives from it (base may be a tuple of classes). */
ZvAPI_FUNC(int) ZvClass_IsSubclass(ZvObject *klass, ZvObject *base);

/* The value found in the instance dictionary or by class lookup, without
 * binding and without __getattr__; borrowed, NULL when absent. */
ZvAPI_FUNC(ZvObject *) _ZvInstance_Lookup(ZvObject *inst, ZvObject *name);

ZvAPI_FUNC(void) ZvMethod_Fini(void);

ZV_END_DECLS

#endif /* ZVCLASSOBJECT_H */
