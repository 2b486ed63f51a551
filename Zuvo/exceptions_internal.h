/* The interim exception class record shared by the error indicator and the
 * exception table. */
#ifndef ZV_EXCEPTIONS_INTERNAL_H
#define ZV_EXCEPTIONS_INTERNAL_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    const char *name;
    ZvObject *base; /* owned; NULL for the root class */
} ZvExcClassObject;

extern ZvTypeObject _ZvExcClass_Type;
int _ZvExcClass_IsSubclass(ZvObject *cls, ZvObject *base);

ZV_END_DECLS

#endif
