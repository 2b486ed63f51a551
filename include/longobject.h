/* The arbitrary-precision integer type `long`: sign-magnitude, 15-bit digits. */
#ifndef ZVLONGOBJECT_H
#define ZVLONGOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef uint16_t digit;
typedef uint32_t twodigits;
typedef int32_t stwodigits;
#define SHIFT 15
#define BASE ((digit)1 << SHIFT)
#define MASK ((int)(BASE - 1))

/* |ob_size| digits, least significant first; the sign of ob_size is the
 * sign of the number and 0 digits means zero. */
typedef struct {
    ZvObject_VAR_HEAD
    digit ob_digit[1];
} ZvLongObject;

ZvAPI_DATA(ZvTypeObject) ZvLong_Type;

#define ZvLong_Check(op) ZvObject_TypeCheck(op, &ZvLong_Type)
#define ZvLong_CheckExact(op) (Zv_TYPE(op) == &ZvLong_Type)

ZvAPI_FUNC(ZvLongObject *) _ZvLong_New(int);
ZvAPI_FUNC(ZvObject *) _ZvLong_Copy(ZvLongObject *);
ZvAPI_FUNC(ZvObject *) ZvLong_FromLong(int32_t);
ZvAPI_FUNC(ZvObject *) ZvLong_FromUnsignedLong(uint32_t);
ZvAPI_FUNC(ZvObject *) ZvLong_FromLongLong(long long);
ZvAPI_FUNC(ZvObject *) ZvLong_FromUnsignedLongLong(unsigned long long);
ZvAPI_FUNC(ZvObject *) ZvLong_FromDouble(double);
ZvAPI_FUNC(ZvObject *) ZvLong_FromVoidPtr(void *);
ZvAPI_FUNC(ZvObject *) ZvLong_FromString(const char *, char **, int);
/* Unicode text (16-bit code units); needs the Unicode type. */
ZvAPI_FUNC(ZvObject *) ZvLong_FromUnicode(const uint16_t *, int, int);
ZvAPI_FUNC(int32_t) ZvLong_AsLong(ZvObject *);
ZvAPI_FUNC(uint32_t) ZvLong_AsUnsignedLong(ZvObject *);
ZvAPI_FUNC(uint32_t) ZvLong_AsUnsignedLongMask(ZvObject *);
ZvAPI_FUNC(long long) ZvLong_AsLongLong(ZvObject *);
ZvAPI_FUNC(unsigned long long) ZvLong_AsUnsignedLongLong(ZvObject *);
ZvAPI_FUNC(unsigned long long) ZvLong_AsUnsignedLongLongMask(ZvObject *);
ZvAPI_FUNC(double) ZvLong_AsDouble(ZvObject *);
ZvAPI_FUNC(void *) ZvLong_AsVoidPtr(ZvObject *);
ZvAPI_FUNC(int) _ZvLong_Sign(ZvObject *);
ZvAPI_FUNC(size_t) _ZvLong_NumBits(ZvObject *);
ZvAPI_FUNC(ZvObject *) _ZvLong_FromByteArray(const unsigned char *, size_t, int, int);
ZvAPI_FUNC(int) _ZvLong_AsByteArray(ZvLongObject *, unsigned char *, size_t, int, int);
ZvAPI_FUNC(double) _ZvLong_AsScaledDouble(ZvObject *, int *);
ZvAPI_FUNC(ZvObject *) _ZvLong_Format(ZvObject *, int, int);

ZV_END_DECLS

#endif /* ZVLONGOBJECT_H */
