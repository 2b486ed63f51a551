/* The immutable byte-string type `str` and its abstract base `basestring`.
 *
 * Header and bytes live in one allocation; ob_sval[ob_size] is always NUL
 * (the bytes themselves may contain NULs).  The empty string and every
 * one-byte string are shared, and interned strings are unique per value, so
 * names can be compared by identity. */
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

/* Construction.  A NULL source leaves the bytes for the caller to fill
 * (such a string must not be shared before it is filled). */
ZvAPI_FUNC(ZvObject *) ZvString_FromStringAndSize(const char *, int);
ZvAPI_FUNC(ZvObject *) ZvString_FromString(const char *);
/* printf-like: %c %d %ld %i %x %lx %s (with precision) %p and %%; width
 * digits are accepted and ignored; an unknown conversion copies the rest of
 * the format unchanged. */
ZvAPI_FUNC(ZvObject *) ZvString_FromFormatV(const char *, va_list);
ZvAPI_FUNC(ZvObject *) ZvString_FromFormat(const char *, ...);

/* Access.  A non-string argument raises TypeError. */
ZvAPI_FUNC(int) ZvString_Size(ZvObject *);
ZvAPI_FUNC(char *) ZvString_AsString(ZvObject *);
/* With len NULL, bytes containing a NUL raise TypeError. */
ZvAPI_FUNC(int) ZvString_AsStringAndSize(ZvObject *obj, char **s, int *len);

ZvAPI_FUNC(ZvObject *) ZvString_Repr(ZvObject *, int smartquotes);
/* Replace *pv by *pv + w; on any failure *pv is released and set to NULL. */
ZvAPI_FUNC(void) ZvString_Concat(ZvObject **pv, ZvObject *w);
/* The same, then releases w. */
ZvAPI_FUNC(void) ZvString_ConcatAndDel(ZvObject **pv, ZvObject *w);
/* Only for a fresh, uninterned string of exactly type str held by one
 * reference; anything else is released, *pv set to NULL, SystemError. */
ZvAPI_FUNC(int) _ZvString_Resize(ZvObject **, int);
/* Byte equality of two strings; cannot fail. */
ZvAPI_FUNC(int) _ZvString_Eq(ZvObject *, ZvObject *);
/* format % args */
ZvAPI_FUNC(ZvObject *) ZvString_Format(ZvObject *format, ZvObject *args);
/* The text of a long for the integer conversions d, u, o, x, X of the `%`
 * operator (flags as there: 8 keeps the base marker); a new string whose
 * bytes *pbuf and *plen describe. */
ZvAPI_FUNC(ZvObject *) _ZvString_FormatLong(ZvObject *val, int flags, int prec, int type,
                                            char **pbuf, int *plen);
/* sep.join(x) */
ZvAPI_FUNC(ZvObject *) _ZvString_Join(ZvObject *sep, ZvObject *x);
/* Decodes the backslash escapes of a string literal. */
ZvAPI_FUNC(ZvObject *) ZvString_DecodeEscape(const char *s, int len, const char *errors,
                                              int unicode, const char *recode_encoding);

/* Codec calls; a NULL encoding means the default encoding.  The String
 * forms insist on a byte-string result. */
ZvAPI_FUNC(ZvObject *) ZvString_Encode(const char *s, int size, const char *encoding,
                                       const char *errors);
ZvAPI_FUNC(ZvObject *) ZvString_Decode(const char *s, int size, const char *encoding,
                                       const char *errors);
ZvAPI_FUNC(ZvObject *) ZvString_AsEncodedObject(ZvObject *str, const char *encoding,
                                                const char *errors);
ZvAPI_FUNC(ZvObject *) ZvString_AsDecodedObject(ZvObject *str, const char *encoding,
                                                const char *errors);
ZvAPI_FUNC(ZvObject *) ZvString_AsEncodedString(ZvObject *str, const char *encoding,
                                                const char *errors);
ZvAPI_FUNC(ZvObject *) ZvString_AsDecodedString(ZvObject *str, const char *encoding,
                                                const char *errors);

/* Interning: *p is replaced by the interned string equal to it. */
ZvAPI_FUNC(void) ZvString_InternInPlace(ZvObject **p);
/* The same, and the string then lives until shut-down. */
ZvAPI_FUNC(void) ZvString_InternImmortal(ZvObject **p);
ZvAPI_FUNC(ZvObject *) ZvString_InternFromString(const char *);

/* Shut-down: give the interned strings back their references, then free
 * the shared empty and one-byte strings. */
ZvAPI_FUNC(void) _Zv_ReleaseInternedStrings(void);
ZvAPI_FUNC(void) ZvString_Fini(void);

ZV_END_DECLS

#endif /* ZVSTRINGOBJECT_H */
