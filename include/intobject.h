/* The machine-word integer type `int`: one immutable signed 32-bit value.
 *
 * Every arithmetic slot detects overflow itself and hands its operands to
 * the `long` slot of the same name, so callers see one integer domain. */
#ifndef ZVINTOBJECT_H
#define ZVINTOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    int32_t ob_ival; /* never changes while another reference can see it */
} ZvIntObject;

ZvAPI_DATA(ZvTypeObject) ZvInt_Type;

#define ZvInt_Check(op) ZvObject_TypeCheck(op, &ZvInt_Type)
#define ZvInt_CheckExact(op) (Zv_TYPE(op) == &ZvInt_Type)
#define ZvInt_AS_LONG(op) (((ZvIntObject *)(op))->ob_ival)

/* Values -5..99 are shared objects; others come from the int free list. */
#define _ZvInt_NSMALLNEG 5
#define _ZvInt_NSMALLPOS 100
#define _ZvInt_IS_SMALL(v) \
    ((uint32_t)(v) + _ZvInt_NSMALLNEG < (uint32_t)(_ZvInt_NSMALLNEG + _ZvInt_NSMALLPOS))
ZvAPI_FUNC(ZvObject *) ZvInt_FromLong(int32_t);
/* Parses text in base 0 (prefix decides) or 2..36; a value out of the int
 * range yields a long.  *pend (when given) receives the end of the text. */
ZvAPI_FUNC(ZvObject *) ZvInt_FromString(const char *, char **, int);
/* Unicode text (16-bit code units) in the given base.  Needs the Unicode
 * type's decimal encoder, which arrives with that type. */
ZvAPI_FUNC(ZvObject *) ZvInt_FromUnicode(const uint16_t *, int, int);
/* The value of an int, or of any object through its nb_int slot; -1 with
 * an error set on failure. */
ZvAPI_FUNC(int32_t) ZvInt_AsLong(ZvObject *);
/* As ZvInt_AsLong, but a long argument is reduced modulo 2**32 (2**64)
 * instead of raising OverflowError. */
ZvAPI_FUNC(uint32_t) ZvInt_AsUnsignedLongMask(ZvObject *);
ZvAPI_FUNC(unsigned long long) ZvInt_AsUnsignedLongLongMask(ZvObject *);
ZvAPI_FUNC(int32_t) ZvInt_GetMax(void);

/* Start-up and shut-down of the small-int cache and the int blocks. */
ZvAPI_FUNC(int) _ZvInt_Init(void);
ZvAPI_FUNC(void) ZvInt_Fini(void);

/* Digit-string conversions used by the int parser.  They never raise:
 * overflow sets errno to ERANGE, *ptr receives the first unconsumed
 * character. */
ZvAPI_FUNC(uint32_t) ZvOS_strtoul(const char *, char **, int);
ZvAPI_FUNC(int32_t) ZvOS_strtol(const char *, char **, int);

ZV_END_DECLS

#endif /* ZVINTOBJECT_H */
