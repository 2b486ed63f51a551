/* The `float` type: one IEEE 754 double. */
#ifndef ZVFLOATOBJECT_H
#define ZVFLOATOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    double ob_fval;
} ZvFloatObject;

ZvAPI_DATA(ZvTypeObject) ZvFloat_Type;

#define ZvFloat_Check(op) ZvObject_TypeCheck(op, &ZvFloat_Type)
#define ZvFloat_CheckExact(op) (Zv_TYPE(op) == &ZvFloat_Type)
#define ZvFloat_AS_DOUBLE(op) (((ZvFloatObject *)(op))->ob_fval)

ZvAPI_FUNC(ZvObject *) ZvFloat_FromDouble(double);
/* The value of a float, or of any object through its nb_float slot;
 * -1.0 with an error set on failure. */
ZvAPI_FUNC(double) ZvFloat_AsDouble(ZvObject *);
/* Parses a string object; pend is unused and kept for callers' sake. */
ZvAPI_FUNC(ZvObject *) ZvFloat_FromString(ZvObject *, char **pend);

/* Locale-independent text of a value into buf (at least 100 bytes): str()
 * uses 12 significant digits, repr() 17; an integral result gets ".0". */
ZvAPI_FUNC(void) ZvFloat_AsStringEx(char *buf, ZvFloatObject *, int precision);
ZvAPI_FUNC(void) ZvFloat_AsString(char *buf, ZvFloatObject *);
ZvAPI_FUNC(void) ZvFloat_AsReprString(char *buf, ZvFloatObject *);

ZV_END_DECLS

#endif /* ZVFLOATOBJECT_H */
