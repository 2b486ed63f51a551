/* The interim exception class record shared by the error indicator and the
 * exception table.  Until classic classes exist, an exception class is this
 * small record: a name, a base and a dictionary.  Matching walks the base
 * chain, which is all the error indicator needs. */
#ifndef ZV_EXCEPTIONS_INTERNAL_H
#define ZV_EXCEPTIONS_INTERNAL_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    const char *name;   /* the class name (after the module's dot) */
    ZvObject *name_obj; /* owned storage for a run-time name; NULL for the table's */
    ZvObject *base;     /* owned; NULL for the root class */
    ZvObject *dict;     /* owned; NULL for the table's classes (module "exceptions") */
} ZvExcClassObject;

extern ZvTypeObject _ZvExcClass_Type;
#define _ZvExcClass_Check(op) (Zv_TYPE(op) == &_ZvExcClass_Type)

int _ZvExcClass_IsSubclass(ZvObject *cls, ZvObject *base);
/* A new class record named `name` (copied) with `base` and `dict` (both
 * borrowed, dict may be NULL); NULL with an error set on failure. */
ZvObject *_ZvExcClass_New(const char *name, ZvObject *base, ZvObject *dict);

ZV_END_DECLS

#endif
