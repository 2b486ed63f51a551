/* The machine-word integer type `int`: one signed 32-bit value. */
#ifndef ZVINTOBJECT_H
#define ZVINTOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_HEAD
    int32_t ob_ival;
} ZvIntObject;

ZvAPI_DATA(ZvTypeObject) ZvInt_Type;

#define ZvInt_Check(op) ZvObject_TypeCheck(op, &ZvInt_Type)
#define ZvInt_CheckExact(op) (Zv_TYPE(op) == &ZvInt_Type)
#define ZvInt_AS_LONG(op) (((ZvIntObject *)(op))->ob_ival)

ZvAPI_FUNC(ZvObject *) ZvInt_FromLong(int32_t);
ZvAPI_FUNC(ZvObject *) ZvInt_FromString(const char *, char **, int);
ZvAPI_FUNC(int32_t) ZvInt_AsLong(ZvObject *);
ZvAPI_FUNC(uint32_t) ZvInt_AsUnsignedLongMask(ZvObject *);
ZvAPI_FUNC(unsigned long long) ZvInt_AsUnsignedLongLongMask(ZvObject *);
ZvAPI_FUNC(int32_t) ZvInt_GetMax(void);
ZvAPI_FUNC(void) ZvInt_Fini(void);

ZV_END_DECLS

#endif /* ZVINTOBJECT_H */
