/* The immutable sequence `tuple`: items stored inline after the header. */
#ifndef ZVTUPLEOBJECT_H
#define ZVTUPLEOBJECT_H

#include "object.h"

ZV_BEGIN_DECLS

typedef struct {
    ZvObject_VAR_HEAD
    ZvObject *ob_item[1];
} ZvTupleObject;

ZvAPI_DATA(ZvTypeObject) ZvTuple_Type;
ZvAPI_DATA(ZvTypeObject) ZvTupleIter_Type; /* "tupleiterator" */

#define ZvTuple_Check(op) ZvObject_TypeCheck(op, &ZvTuple_Type)
#define ZvTuple_CheckExact(op) (Zv_TYPE(op) == &ZvTuple_Type)
#define ZvTuple_GET_ITEM(op, i) (((ZvTupleObject *)(op))->ob_item[i])
#define ZvTuple_GET_SIZE(op) (((ZvTupleObject *)(op))->ob_size)
/* Steals a reference; only for filling a fresh tuple. */
#define ZvTuple_SET_ITEM(op, i, v) (((ZvTupleObject *)(op))->ob_item[i] = (v))

ZvAPI_FUNC(ZvObject *) ZvTuple_New(int size);
ZvAPI_FUNC(int) ZvTuple_Size(ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvTuple_GetItem(ZvObject *, int);
ZvAPI_FUNC(int) ZvTuple_SetItem(ZvObject *, int, ZvObject *);
ZvAPI_FUNC(ZvObject *) ZvTuple_GetSlice(ZvObject *, int, int);
ZvAPI_FUNC(int) _ZvTuple_Resize(ZvObject **, int);
ZvAPI_FUNC(ZvObject *) ZvTuple_Pack(int, ...);
ZvAPI_FUNC(void) ZvTuple_Fini(void);

ZV_END_DECLS

#endif /* ZVTUPLEOBJECT_H */
