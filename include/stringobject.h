/* The immutable byte-string type `str` and its abstract base `basestring`.
 * Header and bytes live in one allocation; ob_sval[ob_size] is always NUL. */
#ifndef ZVSTRINGOBJECT_H
#define ZVSTRINGOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_VAR_HEAD
    Zv_hash_t ob_shash; /* -1 until computed */
    int32_t ob_sstate;  /* SSTATE_* */
    char ob_sval[1];
} ZvStringObject;

#define SSTATE_NOT_INTERNED 0
#define SSTATE_INTERNED_MORTAL 1
#define SSTATE_INTERNED_IMMORTAL 2

ZvAPI_DATA(ZvTypeObject) ZvBaseString_Type;
ZvAPI_DATA(ZvTypeObject) ZvString_Type;

#define ZvString_Check(op) ZvObject_TypeCheck(op, &ZvString_Type)
#define ZvString_CheckExact(op) (Zv_TYPE(op) == &ZvString_Type)
#define ZvString_AS_STRING(op) (((ZvStringObject *)(op))->ob_sval)
#define ZvString_GET_SIZE(op) (((ZvStringObject *)(op))->ob_size)
#define ZvString_CHECK_INTERNED(op) (((ZvStringObject *)(op))->ob_sstate)

ZvAPI_FUNC(ZvObject *) ZvString_FromStringAndSize(const char *, int);
ZvAPI_FUNC(ZvObject *) ZvString_FromString(const char *);
ZvAPI_FUNC(ZvObject *) ZvString_FromFormatV(const char *, va_list);
ZvAPI_FUNC(ZvObject *) ZvString_FromFormat(const char *, ...);
ZvAPI_FUNC(int) ZvString_Size(ZvObject *);
ZvAPI_FUNC(char *) ZvString_AsString(ZvObject *);
ZvAPI_FUNC(int) ZvString_AsStringAndSize(ZvObject *obj, char **s, int *len);
ZvAPI_FUNC(ZvObject *) ZvString_Repr(ZvObject *, int smartquotes);
ZvAPI_FUNC(void) ZvString_Concat(ZvObject **, ZvObject *);
ZvAPI_FUNC(void) ZvString_ConcatAndDel(ZvObject **, ZvObject *);
ZvAPI_FUNC(int) _ZvString_Resize(ZvObject **, int);
ZvAPI_FUNC(int) _ZvString_Eq(ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvString_Format(ZvObject *, ZvObject *);
ZvAPI_FUNC(ZvObject *) _ZvString_Join(ZvObject *sep, ZvObject *x);
ZvAPI_FUNC(ZvObject *) ZvString_DecodeEscape(const char *, int, const char *, int,
                                              const char *);
ZvAPI_FUNC(void) ZvString_InternInPlace(ZvObject **);
ZvAPI_FUNC(void) ZvString_InternImmortal(ZvObject **);
ZvAPI_FUNC(ZvObject *) ZvString_InternFromString(const char *);
ZvAPI_FUNC(void) _Zv_ReleaseInternedStrings(void);
ZvAPI_FUNC(void) ZvString_Fini(void);

ZV_END_DECLS

#endif /* ZVSTRINGOBJECT_H */
