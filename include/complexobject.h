/* The `complex` type: a pair of doubles, and the arithmetic on plain pairs
 * that it is built from (also for native code). */
#ifndef ZVCOMPLEXOBJECT_H
#define ZVCOMPLEXOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

/* A complex value, not an object. */
typedef struct {
    double real;
    double imag;
} ZvComplex;

/* Arithmetic on values.  Division by zero and the power of zero to a
 * negative or complex exponent set errno to EDOM (the result is then
 * meaningless); the platform's functions may set ERANGE. */
ZvAPI_FUNC(ZvComplex) _Zv_c_sum(ZvComplex, ZvComplex);
ZvAPI_FUNC(ZvComplex) _Zv_c_diff(ZvComplex, ZvComplex);
ZvAPI_FUNC(ZvComplex) _Zv_c_neg(ZvComplex);
ZvAPI_FUNC(ZvComplex) _Zv_c_prod(ZvComplex, ZvComplex);
ZvAPI_FUNC(ZvComplex) _Zv_c_quot(ZvComplex, ZvComplex);
ZvAPI_FUNC(ZvComplex) _Zv_c_pow(ZvComplex, ZvComplex);

typedef struct {
    ZvObject_HEAD
    ZvComplex cval;
} ZvComplexObject;

ZvAPI_DATA(ZvTypeObject) ZvComplex_Type;

#define ZvComplex_Check(op) ZvObject_TypeCheck(op, &ZvComplex_Type)
#define ZvComplex_CheckExact(op) (Zv_TYPE(op) == &ZvComplex_Type)

ZvAPI_FUNC(ZvObject *) ZvComplex_FromCComplex(ZvComplex);
ZvAPI_FUNC(ZvObject *) ZvComplex_FromDoubles(double real, double imag);
/* The parts of a complex; another number counts as a real one (its value
 * through ZvFloat_AsDouble, -1.0 with an error set on failure). */
ZvAPI_FUNC(double) ZvComplex_RealAsDouble(ZvObject *op);
ZvAPI_FUNC(double) ZvComplex_ImagAsDouble(ZvObject *op);
ZvAPI_FUNC(ZvComplex) ZvComplex_AsCComplex(ZvObject *op);

ZV_END_DECLS

#endif /* ZVCOMPLEXOBJECT_H */
