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
/* Parses a string (or an object with a character buffer): white space
 * around one decimal number, inf or nan.  pend is unused and kept for
 * callers' sake. */
ZvAPI_FUNC(ZvObject *) ZvFloat_FromString(ZvObject *, char **pend);

/* Locale-independent text of a value into buf (at least 100 bytes): the %g
 * form at the given precision, with ".0" added when it shows only digits,
 * so that the text reads back as a float.  str() uses 12 significant
 * digits, repr() (and the marshal format) 17, which reads back exactly. */
ZvAPI_FUNC(void) ZvFloat_AsStringEx(char *buf, ZvFloatObject *, int precision);
ZvAPI_FUNC(void) ZvFloat_AsString(char *buf, ZvFloatObject *);
ZvAPI_FUNC(void) ZvFloat_AsReprString(char *buf, ZvFloatObject *);
/* The same for a bare double (the parts of a complex number). */
ZvAPI_FUNC(void) _ZvFloat_DoubleAsString(char *buf, double x, int precision);

/* IEEE 754 half, single and double byte layouts, little-endian when le is
 * non-zero, computed from the value (frexp/ldexp) so that the host's own
 * layout does not matter.  Pack returns 0, or -1 with OverflowError when a
 * finite value is too large for the format ("float too large to pack with
 * e/f/d format"); infinities and NaN pack as such.  Unpack cannot fail. */
ZvAPI_FUNC(int) _ZvFloat_Pack2(double x, unsigned char *p, int le);
ZvAPI_FUNC(int) _ZvFloat_Pack4(double x, unsigned char *p, int le);
ZvAPI_FUNC(int) _ZvFloat_Pack8(double x, unsigned char *p, int le);
ZvAPI_FUNC(double) _ZvFloat_Unpack2(const unsigned char *p, int le);
ZvAPI_FUNC(double) _ZvFloat_Unpack4(const unsigned char *p, int le);
ZvAPI_FUNC(double) _ZvFloat_Unpack8(const unsigned char *p, int le);

/* Shut-down: returns the blocks without live floats to the system. */
ZvAPI_FUNC(void) ZvFloat_Fini(void);

ZV_END_DECLS

#endif /* ZVFLOATOBJECT_H */
